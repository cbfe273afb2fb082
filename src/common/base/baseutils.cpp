#include "baseutils.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
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
    const QDBusConnection bus = QDBusConnection::systemBus();
    QDBusInterface manager(kLogindService, kLogindPath, kManagerInterface, bus);
    if (!manager.isValid()) {
        qWarning() << "login1 service is not valid!";
        return 0;
    }

    const QDBusMessage reply = manager.call(QStringLiteral("ListUsers"));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        qWarning() << "get login ListUsers failed";
        return 0;
    }

    const auto users = readUsers(reply);
    for (auto it = users.constBegin(); it != users.constEnd(); ++it) {
        QDBusInterface user(kLogindService, it.value().second.path(), kUserInterface, bus);
        // An unreadable user object gives an invalid variant: not active.
        if (user.property("State").toString() == QLatin1String("active"))
            return it.key();
    }

    qWarning() << "no active user";
    return 0;
}

} // namespace base
} // namespace vorn
