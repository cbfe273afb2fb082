#pragma once

#include <QString>

// Paths and URL templates shared by both programs. In URL templates %1 is the
// server host and %2 the server port. Absolute paths are taken below
// VORN_SYSROOT when it is set (see sysroot.h).
namespace vorn {

extern const int DefaultPullInterval;

extern const QString kSystemPolicyPath;
extern const QString KTempSystemPolicyPath;
extern const QString KSessionPolicyPath;
extern const QString KTempSessionPolicyPath;
extern const QString kUserinfoPath;
extern const QString kMachineidPath;
extern const QString kAppBlackListPath;
extern const QString kScriptsPath;
extern const QString kServerCertPath;
extern const QString kPrivateKeyPath;
extern const QString kPublicKeyPath;
extern const QString kQARGSoftwareListPath;
// The daemon's receipts still owed to the server, and its pulls under way.
extern const QString kQargReceiptJournalPath;
// What the running daemon shows administrators (lumoctl); statusschema.h
// has the same paths worked out when asked, and the keys.
extern const QString kQargStatusPath;
// The same with the whole result texts of root's scripts, firewall commands
// and installs: root alone may read it.
extern const QString kQargStatusDetailPath;
// Which one-shot items of the latest system policy succeeded.
extern const QString kQargAppliedPath;
// One directory per software installation under way, whose result is owed.
extern const QString kQargInstallsPath;
// Exists while systemd runs as the service manager.
extern const QString kServiceManagerPath;
// Differs for every boot of the machine.
extern const QString kBootIdPath;
// Present while new USB storage devices are held; the udev rule reads it.
extern const QString kQargUsbHoldMarkPath;
extern const QString kWebpageLinkIconPath;
extern const QString kBackupConfigPath;
extern const QString kScreensaverBackgroundPath;
extern const QString kUploadInfoLogUrl;
extern const QString kSystemPolicyUrl;
extern const QString kSessionPolicyUrl;
extern const QString kUsbWhiteListCheckUrl;
extern const QString kUrlHead;
extern const QString KControlCenterKeys;

// Further fixed absolute paths of the daemon (also below VORN_SYSROOT).
extern const QString kQargLogDir;          // "/var/log/qarg/"
extern const QString kLogindSessionsDir;   // "/run/systemd/sessions/"
extern const QString kUsbBindPath;         // "/sys/bus/usb/drivers/usb/bind"
extern const QString kUsbUnbindPath;       // "/sys/bus/usb/drivers/usb/unbind"
extern const QString kInstallerMarkerPath; // "/kestal-installer/lightdm-stop.sh"

} // namespace vorn
