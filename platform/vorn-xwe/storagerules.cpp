#include "storagerules.h"

#include "platformfiles.h"
#include "platformtools.h"
#include "rootpath.h"
#include "status.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace xwe {
namespace storage {

namespace {

// Block devices of each class: disks and partitions behind a USB bridge (USB sticks, card
// readers, disks), and every SCSI CD/DVD/BD drive (sr), internal or on USB.
QByteArray match(int deviceClass)
{
    if (deviceClass == UsbStorage)
        return "ACTION!=\"remove\", SUBSYSTEM==\"block\", KERNEL==\"sd*\", SUBSYSTEMS==\"usb\"";
    return "ACTION!=\"remove\", SUBSYSTEM==\"block\", KERNEL==\"sr[0-9]*\"";
}

QByteArray header(int deviceClass, int permission)
{
    const QByteArray what = deviceClass == UsbStorage ? "USB storage" : "Optical drives";
    const QByteArray how = permission == NoAccess ? "no access" : "read only";
    return "# " + what + ": " + how + " (endpoint-management policy; rewritten by it).\n";
}

// No access: hidden from the desktop (udisks), no device node access for anybody but root,
// no seat ACL, and the SCSI device taken offline so that no I/O reaches the medium.
QByteArray noAccessRules(int deviceClass)
{
    const QByteArray m = match(deviceClass);
    return m + ", ENV{UDISKS_IGNORE}=\"1\", ENV{UDISKS_AUTO}=\"0\", OWNER=\"root\", GROUP=\"root\", "
               "MODE=\"0000\", TAG-=\"uaccess\"\n"
        + m + ", ENV{DEVTYPE}==\"disk\", ATTR{device/state}=\"offline\"\n";
}

// Read only: the kernel's read-only flag on every disk and partition, so every mount is
// read-only and every write fails; optical drives also lose the write access that burning
// programs need (no group write, no seat ACL).
QByteArray readOnlyRules(int deviceClass)
{
    QByteArray rules = match(deviceClass) + ", RUN+=\"/usr/sbin/blockdev --setro $devnode\"\n";
    if (deviceClass == Optical)
        rules += match(deviceClass) + ", MODE=\"0444\", TAG-=\"uaccess\"\n";
    return rules;
}

bool inClass(int deviceClass, const QString& name, const QString& sysPath)
{
    if (deviceClass == Optical)
        return name.startsWith(QLatin1String("sr"));
    return name.startsWith(QLatin1String("sd")) && sysPath.contains(QLatin1String("/usb"));
}

// Rules act on devices as udev handles them; what they did to devices present stays in the
// kernel: devices taken offline come back when the class is allowed again, and the
// read-only flag is lifted when it is writable again.
void releasePresentDevices(int deviceClass, int permission)
{
    const QDir blocks(sysrootPath(QStringLiteral("/sys/class/block")));
    for (const QString& name : blocks.entryList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        const QString device = blocks.filePath(name);
        if (!inClass(deviceClass, name, QFileInfo(device).canonicalFilePath()))
            continue;
        QFile state(device + QStringLiteral("/device/state"));
        if (state.open(QIODevice::ReadWrite) && state.readAll().trimmed() == "offline") {
            state.seek(0);
            if (state.write("running\n") < 0)
                qWarning() << "vorn-xwe: cannot bring" << name << "back online" << state.errorString();
        }
        if (permission == ReadWrite && readFile(device + QStringLiteral("/ro")).trimmed() == "1")
            runTool(QStringLiteral("blockdev"), {QStringLiteral("--setrw"), sysrootPath(QStringLiteral("/dev/") + name)});
    }
}

} // namespace

QString rulesPath(int deviceClass)
{
    return sysrootPath(deviceClass == UsbStorage ? QStringLiteral("/etc/udev/rules.d/70-vorn-xwe-usb-storage.rules")
                                                 : QStringLiteral("/etc/udev/rules.d/70-vorn-xwe-optical.rules"));
}

QByteArray rulesText(int deviceClass, int permission)
{
    if (permission == ReadWrite)
        return QByteArray();
    return header(deviceClass, permission)
        + (permission == NoAccess ? noAccessRules(deviceClass) : readOnlyRules(deviceClass));
}

int apply(int deviceClass, int permission)
{
    if (!toolAvailable(QStringLiteral("udevadm")))
        return NotSupported;
    const QString path = rulesPath(deviceClass);
    const QByteArray text = rulesText(deviceClass, permission);
    const int status = text.isEmpty() ? removeFile(path) : writeFileAtomic(path, text, 0644);
    if (status != Success)
        return status;
    if (permission != NoAccess)
        releasePresentDevices(deviceClass, permission);
    if (runTool(QStringLiteral("udevadm"), {QStringLiteral("control"), QStringLiteral("--reload")}) != ToolOutcome::Ok)
        return Refused;
    const ToolOutcome trigger = runTool(QStringLiteral("udevadm"),
                                        {QStringLiteral("trigger"), QStringLiteral("--action=change"),
                                         QStringLiteral("--subsystem-match=block")});
    return trigger == ToolOutcome::Ok ? Success : Refused;
}

} // namespace storage
} // namespace xwe
