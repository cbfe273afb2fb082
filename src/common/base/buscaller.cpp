#include "buscaller.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace vorn {
namespace base {

bool BusCaller::timedOut() const
{
    return !known
        && (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout
            || error.type() == QDBusError::TimedOut);
}

void askBusCaller(const QDBusConnection& bus, const QString& sender, int timeoutMs, QObject* context,
                  std::function<void(const BusCaller&)> then)
{
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixUser"));
    ask << sender;
    QDBusConnection connection = bus;
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(ask, timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, then = std::move(then)] {
                         watcher->deleteLater();
                         const QDBusPendingReply<uint> reply = *watcher;
                         BusCaller caller;
                         caller.known = !reply.isError();
                         if (caller.known)
                             caller.uid = reply.value();
                         else
                             caller.error = reply.error();
                         then(caller);
                     });
}

} // namespace base
} // namespace vorn
