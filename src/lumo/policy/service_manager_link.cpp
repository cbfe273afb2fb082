#include "service_manager_link.h"

#include "common/base/servicenotifier.h"
#include "common/base/statusschema.h"
#include "status_board.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QTimer>
#include <QtDebug>

namespace key = vorn::status;

ServiceManagerLink::ServiceManagerLink(vorn::base::ServiceNotifier* notifier, StatusBoard* board,
                                       Usb usb, QObject* parent)
    : QObject(parent)
    , m_notifier(notifier)
    , m_board(board)
    , m_usb(usb)
{
    connect(m_board, &StatusBoard::written, this, &ServiceManagerLink::updateStatus);
}

void ServiceManagerLink::announceWhenReady()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        // Never ready: the manager's start time-out ends this run and starts another.
        qCritical() << "system bus not reachable, not ready:" << bus.lastError().message();
        return;
    }
    updateStatus();
    askBus();
}

void ServiceManagerLink::askBus()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::systemBus().asyncCall(call, kBusTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QString> reply = *watcher;
        if (reply.isError() && !QDBusConnection::systemBus().isConnected()) {
            qCritical() << "system bus connection lost, not ready:" << reply.error().message();
            return;
        }
        if (reply.isError()) {
            // A busy bus: ask again rather than claim the signals are heard.
            qWarning() << "system bus did not answer, not ready yet:" << reply.error().message();
            QTimer::singleShot(kRetryMs, this, &ServiceManagerLink::askBus);
            return;
        }
        // Logged first: the line is in the log before the manager calls us started.
        qInfo() << "ready: on the system bus and subscribed to the core client service";
        updateStatus();
        m_notifier->ready();
    });
}

void ServiceManagerLink::updateStatus()
{
    m_notifier->setStatus(statusLine(m_board->overview(), m_usb));
}

QString ServiceManagerLink::statusLine(const QJsonObject& overview, Usb usb)
{
    QStringList parts;
    const QJsonObject pull = overview.value(key::kLastPull).toObject();
    const QJsonObject policy = overview.value(key::kPolicy).toObject();
    const QString md5 = pull.value(key::kMd5).toString();
    const QString finished = policy.value(key::kFinished).toString();
    if (policy.isEmpty())
        parts << QStringLiteral("no policy applied yet");
    else if (finished.isEmpty())
        parts << QStringLiteral("applying a policy since %1")
                     .arg(policy.value(key::kStarted).toString());
    else if (md5.isEmpty())
        parts << QStringLiteral("policy applied %1").arg(finished);
    else
        parts << QStringLiteral("policy %1 applied %2").arg(md5, finished);

    if (pull.isEmpty()) {
        parts << QStringLiteral("no pull yet");
    } else {
        QString outcome = pull.value(key::kOutcome).toString();
        if (outcome.size() > kMaxOutcomeChars)
            outcome = outcome.left(kMaxOutcomeChars - 3) + QLatin1String("...");
        parts << QStringLiteral("last pull %1: %2")
                     .arg(pull.value(key::kTime).toString(), outcome);
    }
    parts << QStringLiteral("receipts owed: %1")
                 .arg(overview.value(key::kOwedReceipts).toInt());
    if (usb == WithUsb)
        parts << (overview.value(key::kUsbControl).toBool()
                      ? QStringLiteral("USB control on")
                      : QStringLiteral("USB control off"));
    return parts.join(QLatin1String("; "));
}
