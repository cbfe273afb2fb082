// Facts about devices from the system's tools: the start-up scan, the MTP
// mark, volume label, size and file-system type.
#include "usbmanager.h"

#include "usbmanager_p.h"

#include "common/shared/childprocess.h"

#include <QStringList>
#include <QTextCodec>

namespace {
using vorn::base::ChildLog;
using vorn::base::ChildProcess;
using vorn::base::ChildResult;

constexpr int kToolTimeoutMs = 30000;
// Asking udev for the MTP mark normally takes a few ms. A 50 ms limit missed
// the mark on a busy machine, and a phone whose mark is missed is never
// checked against the whitelist; one second still keeps the monitor responsive.
constexpr int kMtpQueryTimeoutMs = 1000;

// What the tools' runs write to the log. Their arguments are passed apart,
// so device names never reach a shell.
const ChildLog& toolLog()
{
    static const ChildLog log = [] {
        ChildLog lines;
        lines.stopped = "usb monitor stopping, command not run to its end: {command}";
        lines.notStarted = "command could not run: {command} {error}";
        lines.timedOut = "command did not finish in {limit} ms: {command}";
        return lines;
    }();
    return log;
}

// A tool's standard output; empty when it could not run to its end.
QByteArray completeOutput(const ChildResult& result)
{
    return result.started && !result.stopped && !result.timedOut ? result.output : QByteArray();
}

QStringList outputLines(const QByteArray& output)
{
    return QString::fromUtf8(output).trimmed().split(QLatin1Char('\n'));
}

QString firstLine(const QByteArray& output)
{
    return outputLines(output).constFirst().trimmed();
}

QString valueAfter(const QString& line, const QString& prefix)
{
    return line.mid(prefix.size());
}
} // namespace

QList<UsbDeviceInfo> UsbManager::getCurrentUsbDevList() const
{
    const QString devPathKey = QStringLiteral("E: DEVPATH=");
    const QString modelKey = QStringLiteral("E: ID_MODEL=");
    const QString vendorKey = QStringLiteral("E: ID_VENDOR_ID=");
    const QString modelIdKey = QStringLiteral("E: ID_MODEL_ID=");
    const QString serialKey = QStringLiteral("E: ID_SERIAL_SHORT=");
    const QString interfacesKey = QStringLiteral("E: ID_USB_INTERFACES=");
    const QString mtpKey = QStringLiteral("E: ID_MTP_DEVICE");

    QList<UsbDeviceInfo> devices;
    const QStringList paths = outputLines(completeOutput(ChildProcess::run(
        QStringLiteral("find"), {QStringLiteral("/dev/bus")}, kToolTimeoutMs, toolLog(),
        toolOptions())));
    for (const QString& path : paths) {
        if (path.isEmpty())
            continue;
        const QStringList lines = outputLines(completeOutput(ChildProcess::run(
            QStringLiteral("udevadm"), {QStringLiteral("info"), path}, kToolTimeoutMs, toolLog(),
            toolOptions())));
        if (lines.size() < 2)
            continue;

        UsbDeviceInfo device;
        QString mtpMark;
        for (const QString& line : lines) {
            if (line.startsWith(devPathKey))
                device.devPath = valueAfter(line, devPathKey);
            else if (line.startsWith(modelKey))
                device.name = valueAfter(line, modelKey);
            else if (line.startsWith(vendorKey))
                device.vendorId = valueAfter(line, vendorKey);
            else if (line.startsWith(modelIdKey))
                device.productId = valueAfter(line, modelIdKey);
            else if (line.startsWith(serialKey))
                device.serial = valueAfter(line, serialKey);
            else if (line.startsWith(interfacesKey))
                device.interfaceClass =
                    valueAfter(line, interfacesKey).remove(QLatin1Char(':')).left(2);
            else if (line.startsWith(mtpKey))
                mtpMark = line.section(QLatin1Char('='), 1);
        }
        const QString& cls = device.interfaceClass;
        if (cls == QLatin1String("08") || cls == QLatin1String("06")
            || (cls == QLatin1String("ff") && !mtpMark.isEmpty())) {
            devices.append(device);
        }
    }
    return devices;
}

bool UsbManager::isbMtpDevice(const QString& busNum, const QString& devNum) const
{
    const QString node = QStringLiteral("/dev/bus/usb/%1/%2")
                             .arg(busNum.toInt(), 3, 10, QLatin1Char('0'))
                             .arg(devNum.toInt(), 3, 10, QLatin1Char('0'));
    const QStringList lines = outputLines(completeOutput(ChildProcess::run(
        QStringLiteral("udevadm"), {QStringLiteral("info"), node}, kMtpQueryTimeoutMs, toolLog(),
        toolOptions())));
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("E: ID_MTP_DEVICE")))
            return !line.section(QLatin1Char('='), -1).isEmpty();
    }
    return false;
}

QString UsbManager::getDevLabel(const QString& devNode) const
{
    // The daemon is root: blkid needs no sudo in front of it.
    const QByteArray output = completeOutput(ChildProcess::run(
        QStringLiteral("blkid"),
        {QStringLiteral("-d"), QStringLiteral("-s"), QStringLiteral("LABEL"), QStringLiteral("-o"),
         QStringLiteral("value"), devNode},
        kToolTimeoutMs, toolLog(), toolOptions()));
    QTextCodec::ConverterState state;
    QString label = QTextCodec::codecForName("UTF-8")->toUnicode(output.constData(),
                                                                 output.size(), &state);
    if (state.invalidChars > 0) {
        // Volumes formatted on Chinese Windows carry GBK labels.
        if (QTextCodec* gbk = QTextCodec::codecForName("GBK"))
            label = gbk->toUnicode(output);
    }
    return label.trimmed();
}

QString UsbManager::getDevSize(const QString& devNode) const
{
    const QString line = firstLine(completeOutput(ChildProcess::run(
        QStringLiteral("lsblk"), {QStringLiteral("-no"), QStringLiteral("SIZE"), devNode},
        kToolTimeoutMs, toolLog(), toolOptions())));
    return line.isEmpty() ? QString() : line + QLatin1Char('B');
}

QString UsbManager::getDevFsType(const QString& devNode) const
{
    return firstLine(completeOutput(ChildProcess::run(
        QStringLiteral("lsblk"), {QStringLiteral("-no"), QStringLiteral("FSTYPE"), devNode},
        kToolTimeoutMs, toolLog(), toolOptions())));
}
