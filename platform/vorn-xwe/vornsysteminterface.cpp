#include "vornsysteminterface.h"

#include "rootpath.h"
#include "settingsservice.h"
#include "status.h"

#include <QFileInfo>
#include <QJsonObject>

namespace {

// Time servers end up in configuration files: no blanks or control characters.
bool isServerName(const QString& server)
{
    if (server.size() > 253)
        return false;
    for (const QChar c : server) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

} // namespace

class VornSystemInterface::Private
{
public:
    Private()
        : service(xwe::SettingsBackend::Scope::System, xwe::sysrootPath(QStringLiteral("/var/lib/vorn-xwe")),
                  QStringLiteral("system.json"))
    {
    }

    xwe::SettingsService service;
};

VornSystemInterface* VornSystemInterface::Instance()
{
    static VornSystemInterface instance;
    return &instance;
}

VornSystemInterface::VornSystemInterface()
    : d(new Private)
{
}

VornSystemInterface::~VornSystemInterface() = default;

int VornSystemInterface::SetNTPServer(const QString& server)
{
    // Empty is valid: it means the distribution's default servers.
    return d->service.record(QStringLiteral("SetNTPServer"), {server}, server,
                             isServerName(server) ? xwe::Success : xwe::InvalidArgument);
}

QString VornSystemInterface::GetNTPServer()
{
    const QString server = d->service.value(QStringLiteral("SetNTPServer")).toString();
    d->service.logRead(QStringLiteral("GetNTPServer"), server);
    return server;
}

int VornSystemInterface::SetBluetoothEnable(bool enable)
{
    return d->service.record(QStringLiteral("SetBluetoothEnable"), {enable}, enable);
}

int VornSystemInterface::SetWirelessEnable(bool enable)
{
    return d->service.record(QStringLiteral("SetWirelessEnable"), {enable}, enable);
}

int VornSystemInterface::SetStorageGlobalPermPolicy(int deviceClass, int permission)
{
    const QString operation = QStringLiteral("SetStorageGlobalPermPolicy");
    return d->service.call(operation, {deviceClass, permission}, [&](xwe::SettingsBackend& backend) {
        // Classes: 1 USB storage, 2 optical drives. Permissions: 0 no access, 1 read only, 2 read and write.
        if ((deviceClass != 1 && deviceClass != 2) || permission < 0 || permission > 2)
            return int(xwe::InvalidArgument);
        return backend.change(operation, [&](const QJsonValue& current) {
            QJsonObject perms = current.toObject();
            perms.insert(QString::number(deviceClass), permission);
            return QJsonValue(perms);
        });
    });
}

int VornSystemInterface::SetAppCtrlBlacklist(const QString& list)
{
    return d->service.record(QStringLiteral("SetAppCtrlBlacklist"), {list}, list);
}

int VornSystemInterface::SetBackgroundSourceFile(const QString& path)
{
    const QFileInfo file(path);
    int refusal = xwe::Success;
    if (path.isEmpty() || file.isRelative())
        refusal = xwe::InvalidArgument;
    else if (!file.isFile())
        refusal = xwe::FileNotFound;
    return d->service.record(QStringLiteral("SetBackgroundSourceFile"), {path}, path, refusal);
}

int VornSystemInterface::SetLocalUserLogoinLimit(bool allowed)
{
    return d->service.record(QStringLiteral("SetLocalUserLogoinLimit"), {allowed}, allowed);
}

QList<uint> VornSystemInterface::GetLocalUIDList()
{
    const QList<uint> ids = d->service.localUsers(xwe::sysrootPath(QStringLiteral("/etc/passwd")));
    QJsonArray logged;
    for (const uint id : ids)
        logged.append(qint64(id));
    d->service.logRead(QStringLiteral("GetLocalUIDList"), logged);
    return ids;
}

int VornSystemInterface::RestoreDefaults()
{
    const int statuses[] = {
        SetLocalUserLogoinLimit(true),
        SetAppCtrlBlacklist(QString()),
        SetStorageGlobalPermPolicy(1, 2),
        SetStorageGlobalPermPolicy(2, 2),
        SetNTPServer(QString()),
        // Not a picture but the lack of one: only this call may set it empty.
        d->service.record(QStringLiteral("SetBackgroundSourceFile"), {QString()}, QString()),
        SetBluetoothEnable(true),
        SetWirelessEnable(true),
    };
    for (const int status : statuses) {
        if (status != xwe::Success && status != xwe::NotSupported)
            return status;
    }
    return xwe::Success;
}
