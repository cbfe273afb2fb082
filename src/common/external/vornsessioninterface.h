#pragma once

#include <QString>
#include <QStringList>

#include <memory>

// Desktop settings of the user's session (liblibvorn-xwe.so).
// Setters return 0 on success; delays are in seconds. Thread-safe.
class VornSessionInterface
{
public:
    static VornSessionInterface* Instance();

    int SetRecycleBinDisplayable(bool on);
    int SetShortcutKeyEnable(bool on);
    int SetResidentTaskbarAppDisplayable(bool on);
    int SetLauncherDisplayable(bool on);
    int SetTaskbarRightclickMenuEnable(bool on);
    int SetWebTrayIconClickable(bool on);
    int SetUsbTrayIconClickable(bool on);
    int SetLockScreenAtAwake(bool on);
    int SetDisplayMode(const QString& mode);
    int SetHotspotEnable(int state);
    int SetScreenSaverTime(int seconds);
    int SetScreenSaverPolicy(const QString& pictureDir);
    QString GetPrimaryScreenMonitorName();
    int SetMonitorBackground(const QString& monitor, const QString& path);
    int CreateDesktopNetAddress(const QString& name, const QString& icon, const QString& url);
    int SetControlConfig(const QStringList& allModules, const QStringList& shown, bool apply);

    // The settings of these operations (setter names) stay as the policy set them, a change
    // by anyone else undone; the holds of every other operation end.
    int HoldSettings(const QStringList& operations);
    // Every hold ends, and what the restrictions changed of the user's own desktop
    // (shortcut keys, favourites, panels, the dock's and desktop icons' switches) is given back.
    int GiveBackSettings();

    int GetPowerLockDelay();
    int SetPowerLockDelay(int seconds);
    int GetPowerScreenBlackDelay();
    int SetPowerScreenBlackDelay(int seconds);
    int GetPowerSleepDelay();
    int SetPowerSleepDelay(int seconds);
    int GetBatteryLockDelay();
    int SetBatteryLockDelay(int seconds);
    int GetBatteryScreenBlackDelay();
    int SetBatteryScreenBlackDelay(int seconds);
    int GetBatterySleepDelay();
    int SetBatterySleepDelay(int seconds);

    ~VornSessionInterface();

private:
    VornSessionInterface();
    VornSessionInterface(const VornSessionInterface&) = delete;
    VornSessionInterface& operator=(const VornSessionInterface&) = delete;

    class Private;
    std::unique_ptr<Private> d;
};
