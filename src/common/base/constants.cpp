#include "constants.h"

#include "statusschema.h"
#include "common/shared/sysroot.h"

namespace vorn {

namespace {
// Fixed absolute paths may be moved below a sysroot; resolved once at load time.
QString rooted(const char* path)
{
    return base::sysrootPath(QString::fromLatin1(path));
}
} // namespace

const int DefaultPullInterval = 5;

const QString kSystemPolicyPath = rooted("/etc/vorn/system_policy.json");
const QString KTempSystemPolicyPath = rooted("/root/.cache/vorn/cache_policy");
// %1 is a per-user directory chosen at run time.
const QString KSessionPolicyPath = QStringLiteral("%1/vorn/session_policy.json");
const QString KTempSessionPolicyPath = QStringLiteral("%1/vorn/cache_policy");
const QString kUserinfoPath = rooted("/etc/vorn/userinfo.json");
const QString kMachineidPath = rooted("/usr/share/vorn/machine.txt");
const QString kAppBlackListPath = rooted("/usr/share/vorn/appblacklist.txt");
const QString kScriptsPath = rooted("/usr/share/vorn/scripts/");
const QString kServerCertPath = rooted("/etc/vorn/clientapi_ca.crt");
const QString kPrivateKeyPath = rooted("/etc/vorn/.IRO_Vorn.key");
const QString kPublicKeyPath = rooted("/etc/vorn/IRO_Vorn.pem");
const QString kQARGSoftwareListPath = rooted("/var/lib/qarg/software_list.list");
const QString kQargReceiptJournalPath = rooted("/var/lib/qarg/receipts");
const QString kQargStatusPath = status::qargStatusPath();
const QString kQargStatusDetailPath = status::qargDetailPath();
const QString kQargAppliedPath = rooted("/var/lib/qarg/applied.json");
const QString kQargInstallsPath = rooted("/var/lib/qarg/installs");
const QString kServiceManagerPath = rooted("/run/systemd/system");
const QString kBootIdPath = rooted("/proc/sys/kernel/random/boot_id");
const QString kQargUsbHoldMarkPath = rooted("/var/lib/qarg/usb-hold");
const QString kWebpageLinkIconPath = QStringLiteral("%1/icons/webpageIcon/");
const QString kBackupConfigPath = rooted("/etc/vorn/config.ini");
// Relative to the user's home directory, so never below the sysroot.
const QString kScreensaverBackgroundPath =
    QStringLiteral("/.config/kestal/kestal-screensaver/saverpic/vorn");
const QString kUploadInfoLogUrl = QStringLiteral("https://%1:%2/uim/v3/client/upinfo_log");
const QString kSystemPolicyUrl = QStringLiteral(
    "https://%1:%2/policy/v1/client/pc_policy_details?machine_id=%3&policy_level=system&md5=%4");
const QString kSessionPolicyUrl = QStringLiteral(
    "https://%1:%2/policy/v1/client/pc_policy_details?machine_id=%3&policy_level=session&md5=%4");
const QString kUsbWhiteListCheckUrl = QStringLiteral(
    "https://%1:%2/api/usb_whitelist_check?machine_id=%3&vendorId=%4&productId=%5&serialNumber=%6");
const QString kUrlHead = QStringLiteral("https://%1:%2/");
const QString KControlCenterKeys =
    QStringLiteral("https://%1:%2/policy/v1/client/all_control_center_info");

const QString kQargLogDir = rooted("/var/log/qarg/");
const QString kLogindSessionsDir = rooted("/run/systemd/sessions/");
const QString kUsbBindPath = rooted("/sys/bus/usb/drivers/usb/bind");
const QString kUsbUnbindPath = rooted("/sys/bus/usb/drivers/usb/unbind");
const QString kInstallerMarkerPath = rooted("/kestal-installer/lightdm-stop.sh");

} // namespace vorn
