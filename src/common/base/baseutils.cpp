#include "baseutils.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMap>
#include <QPair>
#include <QtDebug>

namespace vorn {
namespace base {

namespace {
const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString kUserInterface = QStringLiteral("org.freedesktop.login1.User");
constexpr int kLogindTimeoutMs = 500;

// Reads the a(uso) reply of ListUsers, ordered by uid.
QMap<uint, QPair<QString, QDBusObjectPath>> readUsers(const QDBusMessage& reply)
{
    QMap<uint, QPair<QString, QDBusObjectPath>> users;
    if (reply.arguments().isEmpty())
        return users;
    const QDBusArgument arg = reply.arguments().constFirst().value<QDBusArgument>();
    if (arg.currentType() != QDBusArgument::ArrayType)
        return users;
    arg.beginArray();
    while (!arg.atEnd()) {
        uint uid = 0;
        QString name;
        QDBusObjectPath path;
        arg.beginStructure();
        arg >> uid >> name >> path;
        arg.endStructure();
        users.insert(uid, qMakePair(name, path));
    }
    arg.endArray();
    return users;
}
} // namespace

uint BaseUtils::getCurActiveUid()
{
    // Called on the main thread: every question to logind is bounded, and
    // plain messages avoid the blocking introspection of an interface object.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qWarning() << "login1 service is not valid!";
        return 0;
    }

    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall(kLogindService, kLogindPath, kManagerInterface,
                                       QStringLiteral("ListUsers")),
        QDBus::Block, kLogindTimeoutMs);
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")) {
        qWarning() << "login1 service is not valid!";
        return 0;
    }
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning() << "get login ListUsers failed";
        return 0;
    }

    const auto users = readUsers(reply);
    for (auto it = users.constBegin(); it != users.constEnd(); ++it) {
        QDBusMessage get = QDBusMessage::createMethodCall(
            kLogindService, it.value().second.path(),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << kUserInterface << QStringLiteral("State");
        const QDBusMessage state = bus.call(get, QDBus::Block, kLogindTimeoutMs);
        // An unreadable user object: not active.
        if (state.type() == QDBusMessage::ReplyMessage && !state.arguments().isEmpty()
            && state.arguments().constFirst().value<QDBusVariant>().variant().toString()
                == QLatin1String("active"))
            return it.key();
    }

    qWarning() << "no active user";
    return 0;
}

} // namespace base
} // namespace vorn
