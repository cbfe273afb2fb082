// The server's whitelist answer for a USB device, with any body, result code
// and check kind, detaching through the sysfs files of the sandbox.
//
// Input: byte 0 picks the result code, byte 1 the kind of check, the rest is
// the body up to the first NUL byte and after it the device's bus id.
#include "fuzz_support.h"

#include "common/base/constants.h"
#include "common/external/asynchttpclientapi.h"
#include "lumo/qarg/usbmanager/usbmanager.h"

namespace {
const int kCodes[] = {AsyncHttpClientApi::NoAnswer,
                      AsyncHttpClientApi::Timeout,
                      -1,
                      200,
                      404,
                      500,
                      AsyncHttpClientApi::BodyTooLarge,
                      AsyncHttpClientApi::RedirectRefused};
constexpr int kCodeCount = int(sizeof kCodes / sizeof kCodes[0]);
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzsupport::prepare(argc, argv);
    // Never let a run write the machine's own USB driver files.
    if (!vorn::kUsbUnbindPath.startsWith(fuzzsupport::root() + QLatin1Char('/'))
        || !vorn::kUsbBindPath.startsWith(fuzzsupport::root() + QLatin1Char('/'))) {
        fuzzsupport::fail("usb control files are outside the sandbox");
    }
    fuzzsupport::writeFile(QStringLiteral("sys/bus/usb/drivers/usb/bind"), QByteArray());
    fuzzsupport::writeFile(QStringLiteral("sys/bus/usb/drivers/usb/unbind"), QByteArray());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int code = kCodes[data[0] % kCodeCount];
    const int type = data[1] % 4; // one more than the known kinds
    const QByteArray rest = fuzzsupport::bytes(data + 2, size - 2);
    const int split = rest.indexOf('\0');
    const QString body = QString::fromUtf8(split < 0 ? rest : rest.left(split));
    const QString busId = split < 0 ? QStringLiteral("1-1") : QString::fromUtf8(rest.mid(split + 1));

    UsbConnectionInfo conn;
    conn.name = QStringLiteral("Lab Stick");
    conn.action = QStringLiteral("add");
    conn.serial = QStringLiteral("LAB0000000001");
    conn.vendorId = QStringLiteral("0951");
    conn.productId = QStringLiteral("1666");
    conn.sysPath = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/") + busId;

    UsbManager manager;
    manager.execDevWhiteListCallback(body, code, conn, type);

    // No answer or incomplete facts never let a storage device through:
    // it is detached and reported as connected-but-blocked.
    const bool failed = code == AsyncHttpClientApi::NoAnswer || code == AsyncHttpClientApi::Timeout
                        || code == -1;
    if (failed && type == UsbManager::CheckStorage) {
        const QList<UsbConnectionInfo> connected = manager.connectedDevices();
        if (connected.size() != 1 || connected.first().sysPath != conn.sysPath)
            fuzzsupport::fail("device allowed without a whitelist answer");
    }
    return 0;
}
