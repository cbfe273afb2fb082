#include "vornsessioninterface.h"

#include "settingsservice.h"
#include "status.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

namespace {

QString sessionStateDirectory()
{
    // XDG: a relative XDG_STATE_HOME is invalid and must be ignored.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/vorn-xwe");
}

QJsonValue asJson(const QStringList& list)
{
    return QJsonArray::fromStringList(list);
}

} // namespace

class VornSessionInterface::Private
{
public:
    Private()
        : service(xwe::SettingsBackend::Scope::Session, sessionStateDirectory(), QStringLiteral("session.json"))
    {
    }

    int setSwitch(const QString& operation, bool on)
    {
        return service.record(operation, {on}, on);
    }

    int setDelay(const QString& operation, int seconds)
    {
        return service.record(operation, {seconds}, seconds, seconds < 0 ? xwe::InvalidArgument : xwe::Success);
    }

    // Delays never set are 0: nothing has been configured yet.
    int delay(const QString& setter, const QString& getter)
    {
        const int seconds = service.value(setter).toInt(0);
        service.logRead(getter, seconds);
        return seconds;
    }

    xwe::SettingsService service;
};

VornSessionInterface* VornSessionInterface::Instance()
{
    static VornSessionInterface instance;
    return &instance;
}

VornSessionInterface::VornSessionInterface()
    : d(new Private)
{
}

VornSessionInterface::~VornSessionInterface() = default;

int VornSessionInterface::SetRecycleBinDisplayable(bool on)
{
    return d->setSwitch(QStringLiteral("SetRecycleBinDisplayable"), on);
}

int VornSessionInterface::SetShortcutKeyEnable(bool on)
{
    return d->setSwitch(QStringLiteral("SetShortcutKeyEnable"), on);
}

int VornSessionInterface::SetResidentTaskbarAppDisplayable(bool on)
{
    return d->setSwitch(QStringLiteral("SetResidentTaskbarAppDisplayable"), on);
}

int VornSessionInterface::SetLauncherDisplayable(bool on)
{
    return d->setSwitch(QStringLiteral("SetLauncherDisplayable"), on);
}

int VornSessionInterface::SetTaskbarRightclickMenuEnable(bool on)
{
    return d->setSwitch(QStringLiteral("SetTaskbarRightclickMenuEnable"), on);
}

int VornSessionInterface::SetWebTrayIconClickable(bool on)
{
    return d->setSwitch(QStringLiteral("SetWebTrayIconClickable"), on);
}

int VornSessionInterface::SetUsbTrayIconClickable(bool on)
{
    return d->setSwitch(QStringLiteral("SetUsbTrayIconClickable"), on);
}

int VornSessionInterface::SetLockScreenAtAwake(bool on)
{
    return d->setSwitch(QStringLiteral("SetLockScreenAtAwake"), on);
}

int VornSessionInterface::SetDisplayMode(const QString& mode)
{
    const bool known = mode == QLatin1String("fashion") || mode == QLatin1String("efficient");
    return d->service.record(QStringLiteral("SetDisplayMode"), {mode}, mode,
                             known ? xwe::Success : xwe::InvalidArgument);
}

int VornSessionInterface::SetHotspotEnable(int state)
{
    // 0 forbids the hotspot; any positive state allows it (1 is what the agent restores).
    return d->service.record(QStringLiteral("SetHotspotEnable"), {state}, state,
                             state < 0 ? xwe::InvalidArgument : xwe::Success);
}

int VornSessionInterface::SetScreenSaverTime(int seconds)
{
    return d->setDelay(QStringLiteral("SetScreenSaverTime"), seconds);
}

int VornSessionInterface::SetScreenSaverPolicy(const QString& pictureDir)
{
    int refusal = xwe::Success;
    if (pictureDir.isEmpty() || QDir::isRelativePath(pictureDir))
        refusal = xwe::InvalidArgument;
    else if (!QFileInfo(pictureDir).isDir())
        refusal = xwe::FileNotFound;
    return d->service.record(QStringLiteral("SetScreenSaverPolicy"), {pictureDir}, pictureDir, refusal);
}

QString VornSessionInterface::GetPrimaryScreenMonitorName()
{
    QString name = d->service.value(QStringLiteral("PrimaryScreenMonitorName")).toString();
    if (name.isEmpty())
        name = QStringLiteral("eDP-1");
    d->service.logRead(QStringLiteral("GetPrimaryScreenMonitorName"), name);
    return name;
}

int VornSessionInterface::SetMonitorBackground(const QString& monitor, const QString& path)
{
    const QString operation = QStringLiteral("SetMonitorBackground");
    return d->service.call(operation, {monitor, path}, [&](xwe::SettingsBackend& backend) {
        if (monitor.isEmpty() || path.isEmpty())
            return int(xwe::InvalidArgument);
        if (!QFileInfo(path).isFile())
            return int(xwe::FileNotFound);
        // Callers delete the picture once this succeeded, so the wallpaper needs a copy of its own.
        QString kept;
        int status = backend.keepFile(path, QStringLiteral("background-") + monitor, &kept);
        if (status != xwe::Success)
            return status;
        status = backend.change(QStringLiteral("MonitorBackgroundFile"), [&](const QJsonValue& current) {
            QJsonObject files = current.toObject();
            files.insert(monitor, kept);
            return QJsonValue(files);
        });
        if (status != xwe::Success)
            return status;
        return backend.change(operation, [&](const QJsonValue& current) {
            QJsonObject backgrounds = current.toObject();
            backgrounds.insert(monitor, path);
            return QJsonValue(backgrounds);
        });
    });
}

int VornSessionInterface::CreateDesktopNetAddress(const QString& name, const QString& icon, const QString& url)
{
    const QString operation = QStringLiteral("CreateDesktopNetAddress");
    return d->service.call(operation, {name, icon, url}, [&](xwe::SettingsBackend& backend) {
        if (name.isEmpty() || url.isEmpty())
            return int(xwe::InvalidArgument);
        return backend.change(operation, [&](const QJsonValue& current) {
            const QJsonObject link{{QStringLiteral("name"), name},
                                   {QStringLiteral("icon"), icon},
                                   {QStringLiteral("url"), url}};
            // A desktop link is known by its title: the same title again replaces it,
            // so that re-applied policies do not pile up copies.
            QJsonArray links = current.toArray();
            for (int i = 0; i < links.size(); ++i) {
                if (links.at(i).toObject().value(QStringLiteral("name")).toString() == name) {
                    links.replace(i, link);
                    return QJsonValue(links);
                }
            }
            links.append(link);
            return QJsonValue(links);
        });
    });
}

int VornSessionInterface::SetControlConfig(const QStringList& allModules, const QStringList& shown, bool apply)
{
    const QJsonObject config{{QStringLiteral("all"), asJson(allModules)},
                             {QStringLiteral("shown"), asJson(shown)},
                             {QStringLiteral("apply"), apply}};
    return d->service.record(QStringLiteral("SetControlConfig"), {asJson(allModules), asJson(shown), apply},
                             config);
}

int VornSessionInterface::HoldSettings(const QStringList& operations)
{
    return d->service.call(QStringLiteral("HoldSettings"), {asJson(operations)},
                           [&](xwe::SettingsBackend& backend) { return backend.holdOnly(operations); });
}

int VornSessionInterface::GiveBackSettings()
{
    return d->service.call(QStringLiteral("GiveBackSettings"), {},
                           [&](xwe::SettingsBackend& backend) { return backend.giveBack(); });
}

int VornSessionInterface::GetPowerLockDelay()
{
    return d->delay(QStringLiteral("SetPowerLockDelay"), QStringLiteral("GetPowerLockDelay"));
}

int VornSessionInterface::SetPowerLockDelay(int seconds)
{
    return d->setDelay(QStringLiteral("SetPowerLockDelay"), seconds);
}

int VornSessionInterface::GetPowerScreenBlackDelay()
{
    return d->delay(QStringLiteral("SetPowerScreenBlackDelay"), QStringLiteral("GetPowerScreenBlackDelay"));
}

int VornSessionInterface::SetPowerScreenBlackDelay(int seconds)
{
    return d->setDelay(QStringLiteral("SetPowerScreenBlackDelay"), seconds);
}

int VornSessionInterface::GetPowerSleepDelay()
{
    return d->delay(QStringLiteral("SetPowerSleepDelay"), QStringLiteral("GetPowerSleepDelay"));
}

int VornSessionInterface::SetPowerSleepDelay(int seconds)
{
    return d->setDelay(QStringLiteral("SetPowerSleepDelay"), seconds);
}

int VornSessionInterface::GetBatteryLockDelay()
{
    return d->delay(QStringLiteral("SetBatteryLockDelay"), QStringLiteral("GetBatteryLockDelay"));
}

int VornSessionInterface::SetBatteryLockDelay(int seconds)
{
    return d->setDelay(QStringLiteral("SetBatteryLockDelay"), seconds);
}

int VornSessionInterface::GetBatteryScreenBlackDelay()
{
    return d->delay(QStringLiteral("SetBatteryScreenBlackDelay"), QStringLiteral("GetBatteryScreenBlackDelay"));
}

int VornSessionInterface::SetBatteryScreenBlackDelay(int seconds)
{
    return d->setDelay(QStringLiteral("SetBatteryScreenBlackDelay"), seconds);
}

int VornSessionInterface::GetBatterySleepDelay()
{
    return d->delay(QStringLiteral("SetBatterySleepDelay"), QStringLiteral("GetBatterySleepDelay"));
}

int VornSessionInterface::SetBatterySleepDelay(int seconds)
{
    return d->setDelay(QStringLiteral("SetBatterySleepDelay"), seconds);
}
