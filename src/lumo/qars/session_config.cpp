#include "session_config.h"

#include "common/external/errorsdescription.h"
#include "common/external/vornsessioninterface.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <atomic>
#include <climits>
#include <iterator>

namespace {

// One counter for every pending wallpaper retry of the process.
std::atomic<int> g_backgroundRetryCount{0};

QString describe(int code)
{
    return ErrorsDescription::toErrorDescription(code);
}

// Switches are decimal integers; anything that is not a number is off.
bool isOn(const QString& value)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok && number != 0;
}

// Minutes from the server, seconds for the adaption service; saturates
// instead of overflowing on absurd values.
int minutesToSeconds(qint64 minutes)
{
    return int(qBound<qint64>(INT_MIN, minutes * 60, INT_MAX));
}

VornSessionInterface* session()
{
    return VornSessionInterface::Instance();
}

// The adaption setters each setting key calls.
struct SettingSetters
{
    const char* key;
    const char* setters; // blank-separated
};

const SettingSetters kSettingSetters[] = {
    {"control_center/control_center_configs", "SetControlConfig"},
    {"desktop_shortcuts/desktop_shortcuts_list", "CreateDesktopNetAddress"},
    {"personal_hotdot/personal_hotdot_status", "SetHotspotEnable"},
    {"power/power_config", "SetBatteryLockDelay SetBatteryScreenBlackDelay SetBatterySleepDelay "
                           "SetPowerLockDelay SetPowerScreenBlackDelay SetPowerSleepDelay"},
    {"screen_saver/screen_saver_time_out", "SetScreenSaverTime SetLockScreenAtAwake"},
    {"screen_saver_wallpaper/screen_saver_wallpaper_name", "SetScreenSaverPolicy"},
    {"shortcut/shortcut_status", "SetShortcutKeyEnable"},
    {"taskbar/app_setting_trash", "SetRecycleBinDisplayable"},
    {"taskbar/taskbar_display_mode", "SetDisplayMode"},
    {"taskbar/taskbar_dock_app", "SetResidentTaskbarAppDisplayable"},
    {"taskbar/taskbar_launcher", "SetLauncherDisplayable"},
    {"taskbar/taskbar_right_menu", "SetTaskbarRightclickMenuEnable"},
    {"taskbar/tray_icon_network", "SetWebTrayIconClickable"},
    {"taskbar/tray_icon_usb", "SetUsbTrayIconClickable"},
    {"wallpaper/wallpaper_name", "SetMonitorBackground"},
};

// The six power delays, in the order they are applied. A delay already in
// place records its own text, or nothing for the two screen-off and sleep
// delays that never had one.
struct PowerDelay
{
    const char* member;
    int (VornSessionInterface::*get)();
    int (VornSessionInterface::*set)(int);
    const char* inPlaceText;
    const char* logText;
    const char* logSeparator;
};

const PowerDelay kPowerDelays[] = {
    {"batteryLock", &VornSessionInterface::GetBatteryLockDelay,
     &VornSessionInterface::SetBatteryLockDelay, "BatteryLockDelay success;", nullptr, nullptr},
    {"batteryScreen", &VornSessionInterface::GetBatteryScreenBlackDelay,
     &VornSessionInterface::SetBatteryScreenBlackDelay, nullptr, nullptr, nullptr},
    {"batterySleep", &VornSessionInterface::GetBatterySleepDelay,
     &VornSessionInterface::SetBatterySleepDelay, "BatterySleepDelayy success;", nullptr, nullptr},
    {"powerLock", &VornSessionInterface::GetPowerLockDelay,
     &VornSessionInterface::SetPowerLockDelay, "PowerLockDelay success;", "----PowerLock---", ":"},
    {"powerScreen", &VornSessionInterface::GetPowerScreenBlackDelay,
     &VornSessionInterface::SetPowerScreenBlackDelay, "PowerScreenBlackDelay success;",
     "---PowerScreenBlackr---", nullptr},
    {"powerSleep", &VornSessionInterface::GetPowerSleepDelay,
     &VornSessionInterface::SetPowerSleepDelay, nullptr, "---PowerSleep---", nullptr},
};

} // namespace

SessionConfig::SessionConfig() = default;

SessionConfig* SessionConfig::GetInstance()
{
    static SessionConfig instance;
    return &instance;
}

int SessionConfig::holdSettingsOf(const QStringList& settingKeys)
{
    QStringList setters;
    for (const SettingSetters& entry : kSettingSetters) {
        if (settingKeys.contains(QLatin1String(entry.key)))
            setters << QString::fromLatin1(entry.setters).split(QLatin1Char(' '));
    }
    return session()->HoldSettings(setters);
}

QString SessionConfig::setAppTrash(const QString& value)
{
    return describe(session()->SetRecycleBinDisplayable(isOn(value)));
}

QString SessionConfig::setShortcut(const QString& value)
{
    return describe(session()->SetShortcutKeyEnable(isOn(value)));
}

QString SessionConfig::setTaskbarMode(const QString& value)
{
    const QString mode = value.toInt() == 1 ? QStringLiteral("fashion") : QStringLiteral("efficient");
    return describe(session()->SetDisplayMode(mode));
}

QString SessionConfig::setTaskbarDockApp(const QString& value)
{
    return describe(session()->SetResidentTaskbarAppDisplayable(isOn(value)));
}

QString SessionConfig::setTaskbarLauncher(const QString& value)
{
    return describe(session()->SetLauncherDisplayable(isOn(value)));
}

QString SessionConfig::setTaskbarRightMenu(const QString& value)
{
    return describe(session()->SetTaskbarRightclickMenuEnable(isOn(value)));
}

QString SessionConfig::setTrayIconNetwork(const QString& value)
{
    return describe(session()->SetWebTrayIconClickable(isOn(value)));
}

QString SessionConfig::setTrayIconUsb(const QString& value)
{
    return describe(session()->SetUsbTrayIconClickable(isOn(value)));
}

QString SessionConfig::setHotspot(int value)
{
    return describe(session()->SetHotspotEnable(value));
}

QString SessionConfig::setLockScreenAtAwake(int code)
{
    // Locking on wake only makes sense once the time-out took effect.
    if (code != 0)
        return QString();
    return describe(session()->SetLockScreenAtAwake(true));
}

QString SessionConfig::setScreenSaveTimeOut(const QString& value)
{
    qInfo() << "setScreenSaveTimeOut" << "----------------value" << value;
    const int seconds = minutesToSeconds(value.toInt());
    int code = -1;
    QString result;
    if (seconds >= 0) {
        code = session()->SetScreenSaverTime(seconds);
        result = describe(code);
    }
    return result + setLockScreenAtAwake(code);
}

QString SessionConfig::setScreenSaverBg(const QString& directory)
{
    return describe(session()->SetScreenSaverPolicy(directory + QLatin1Char('/')));
}

QString SessionConfig::setPowerConfig(const QString& value)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(value.toUtf8(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError || !doc.isObject())
        return QString();

    const QJsonObject object = doc.object();
    // Absent or non-numeric members count as 0.
    qint64 minutes[std::size(kPowerDelays)];
    for (std::size_t i = 0; i < std::size(kPowerDelays); ++i) {
        const QJsonValue v = object.value(QLatin1String(kPowerDelays[i].member));
        minutes[i] = v.isDouble() ? qint64(qBound(-1e12, v.toDouble(), 1e12)) : 0;
    }
    qInfo() << "------" << minutes[0] << ":" << minutes[1] << ":" << minutes[2] << ":"
            << minutes[3] << ":" << minutes[4] << ":" << minutes[5];

    VornSessionInterface* s = session();
    QString result;
    for (std::size_t i = 0; i < std::size(kPowerDelays); ++i) {
        const PowerDelay& delay = kPowerDelays[i];
        const int wanted = minutesToSeconds(minutes[i]);
        const int current = (s->*delay.get)();
        if (delay.logText && delay.logSeparator)
            qInfo() << delay.logText << current << delay.logSeparator << wanted;
        else if (delay.logText)
            qInfo() << delay.logText << current << wanted;
        if (current != wanted)
            result += describe((s->*delay.set)(wanted));
        else if (delay.inPlaceText)
            result += QLatin1String(delay.inPlaceText);
    }
    return result;
}

QString SessionConfig::setControlCenter(const QStringList& allModules, const QString& value)
{
    qInfo() << "control center-----allconfig:" << allModules;
    const QJsonArray array = QJsonDocument::fromJson(value.toUtf8()).array();
    QStringList shown;
    for (int i = 0; i < array.size(); ++i) {
        const QString module = array.at(i).toString();
        qInfo() << "-------i:" << i << module;
        shown << module;
    }
    return describe(session()->SetControlConfig(allModules, shown, true));
}

QString SessionConfig::setWebpageLink(const QString& name, const QString& url, const QString& text)
{
    // The adaption service takes the icon second and the target last.
    return describe(session()->CreateDesktopNetAddress(name, text, url));
}

QString SessionConfig::setBackground(const QString& path)
{
    const QString monitor = session()->GetPrimaryScreenMonitorName();
    const int code = session()->SetMonitorBackground(monitor, path);
    if (code == 0) {
        QFile::remove(path);
        return describe(0);
    }
    startBackgroundRetry(path);
    return describe(code);
}

int SessionConfig::backgroundRetryCount()
{
    return g_backgroundRetryCount;
}

void SessionConfig::startBackgroundRetry(const QString& path)
{
    auto start = [path]() {
        // No parent: the timer deletes itself when the retries end.
        auto* timer = new QTimer;
        timer->setInterval(kBackgroundRetryInterval);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, path]() {
            const int count = ++g_backgroundRetryCount;
            const QString monitor = session()->GetPrimaryScreenMonitorName();
            if (count < kBackgroundRetryTicks) {
                if (session()->SetMonitorBackground(monitor, path) != 0) {
                    qWarning() << "set wallpaper failed again, count:" << count << ", path:"
                               << path;
                    return;
                }
            }
            timer->stop();
            timer->deleteLater();
            QFile::remove(path);
            qCritical() << "set wallpaper end, count:" << count << ", path:" << path;
            g_backgroundRetryCount = 0;
        });
        timer->start();
    };

    // Timers only fire in the thread that runs them: keep it on the main thread.
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        start();
    else
        QMetaObject::invokeMethod(app, start, Qt::QueuedConnection);
}
