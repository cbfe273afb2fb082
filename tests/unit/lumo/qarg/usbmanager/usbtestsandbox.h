#pragma once

// A sandbox for the USB monitor's tests: the test runs in a child process
// whose VORN_SYSROOT holds the USB driver's bind and unbind files and whose
// PATH starts with small fake versions of find, udevadm, lsblk, sudo and
// blkid. The fakes answer from files under data/ and log each call.
//
//   usbSandboxMain(argc, argv, body)   sets the sandbox up and runs body in it
//   UsbSandbox::setToolOutput(key, bytes)  answer of a fake (keys below)
//   UsbSandbox::clearTools()           no answers, empty call log
//   UsbSandbox::toolCalls()            "tool args..." per call, oldest first
//   UsbSandbox::controlFile(bind)      path of the bind or unbind file
//   UsbSandbox::writtenBusId(bind)     text up to the first NUL in that file
//   UsbSandbox::resetControlFiles()    both files back to empty regular files
//
// Answer keys: "size-sdb1", "fstype-sdb1", "label-sdb1" (by node name),
// "udevadm-/dev/bus/usb/001/005" (by the path asked for), "find".

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace usbtest {

int usbSandboxMain(int argc, char** argv, const std::function<int()>& body);

class UsbSandbox
{
public:
    static QString dir();
    static void setToolOutput(const QString& key, const QByteArray& output);
    static void clearTools();
    static QStringList toolCalls();
    static QString controlFile(bool bind);
    static QString writtenBusId(bool bind);
    static void resetControlFiles();
};

} // namespace usbtest

#define USB_SANDBOX_TEST_MAIN(TestClass)                                                     \
    int main(int argc, char** argv)                                                          \
    {                                                                                        \
        return usbtest::usbSandboxMain(argc, argv, [&]() {                                   \
            QCoreApplication app(argc, argv);                                                \
            TestClass test;                                                                  \
            return QTest::qExec(&test, argc, argv);                                          \
        });                                                                                  \
    }
