// Event rules of the USB monitor, its start-up scan and its thread loop.
#include "recordingusbmanager.h"
#include "usbtestsandbox.h"

#include "common/base/constants.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

using namespace usbtest;

namespace {
const QString kStatus3 =
    QStringLiteral("该设备的硬件信息不齐全，存在安全风险，请使用正规的USB存储设备");

QStringList callsOf(const QString& tool)
{
    QStringList result;
    for (const QString& call : UsbSandbox::toolCalls()) {
        if (call.startsWith(tool + QLatin1Char(' ')))
            result.append(call);
    }
    return result;
}

void plugStick(UsbManager& manager)
{
    manager.processDevice(stickDevice());
    manager.processDevice(interfaceOf(kStick, QStringLiteral("08")));
    manager.processDevice(stickBlock(QStringLiteral("sdb")));
    manager.processDevice(stickBlock(QStringLiteral("sdb1")));
}
} // namespace

class TstUsbManager : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        UsbSandbox::clearTools();
        UsbSandbox::resetControlFiles();
        QFile::remove(vorn::kInstallerMarkerPath);
        UsbSandbox::setToolOutput(QStringLiteral("size-sdb"), "14.9G\n");
        UsbSandbox::setToolOutput(QStringLiteral("size-sdb1"), "14.9G\n");
        UsbSandbox::setToolOutput(QStringLiteral("fstype-sdb1"), "vfat\n");
        UsbSandbox::setToolOutput(QStringLiteral("label-sdb1"), "MYSTICK\n");
    }

    void stickPlug_data()
    {
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<QString>("name");
        QTest::newRow("label") << QByteArray("MYSTICK\n") << QStringLiteral("MYSTICK");
        QTest::newRow("no label: disk size") << QByteArray() << QStringLiteral("14.9GB");
        QTest::newRow("utf-8 label") << QString::fromUtf8("数据盘\n").toUtf8()
                                     << QStringLiteral("数据盘");
        QTest::newRow("gbk label")
            << QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("资料\n"))
            << QStringLiteral("资料");
    }

    void stickPlug()
    {
        QFETCH(QByteArray, label);
        QFETCH(QString, name);
        UsbSandbox::setToolOutput(QStringLiteral("label-sdb1"), label);
        RecordingUsbManager m;
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);

        m.processDevice(stickDevice());
        UsbDeviceInfo cur = m.currentDevice();
        QCOMPARE(cur.sysPath, kStick);
        QCOMPARE(cur.name, QStringLiteral("Cruzer Blade"));
        QCOMPARE(cur.serial, QStringLiteral("4C530001"));
        QCOMPARE(cur.vendorId, QStringLiteral("0781"));
        QCOMPARE(cur.productId, QStringLiteral("5567"));
        QCOMPARE(cur.busNum, QStringLiteral("1"));
        QCOMPARE(cur.devNum, QStringLiteral("5"));
        QVERIFY(m.checks.isEmpty());

        m.processDevice(interfaceOf(kStick, QStringLiteral("08")));
        QCOMPARE(m.checks.size(), 1);
        QCOMPARE(m.checks.at(0).type, int(UsbManager::CheckStorage));
        QCOMPARE(m.checks.at(0).device.serial, QStringLiteral("4C530001"));
        QCOMPARE(m.checks.at(0).device.interfaceClass, QStringLiteral("08"));
        QCOMPARE(m.checks.at(0).device.sysPath, kStick);

        // The whole disk has no file system of its own: not reported.
        m.processDevice(stickBlock(QStringLiteral("sdb")));
        QCOMPARE(reports.count(), 0);
        QCOMPARE(m.currentDevice().diskSize, QStringLiteral("14.9GB"));

        m.processDevice(stickBlock(QStringLiteral("sdb1")));
        QCOMPARE(reports.count(), 1);
        QCOMPARE(reports.at(0),
                 (QVariantList{name, QStringLiteral("0781"), QStringLiteral("5567"),
                               QStringLiteral("4C530001"), QStringLiteral("add")}));
        const QList<UsbConnectionInfo> list = m.connectedDevices();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.at(0).sysPath, kStick);
        QCOMPARE(list.at(0).action, QStringLiteral("add"));
        QCOMPARE(list.at(0).name, name);

        // Repeated events (udev sends them, also interleaved) change nothing.
        m.processDevice(interfaceOf(kStick, QStringLiteral("08")));
        m.processDevice(stickBlock(QStringLiteral("sdb1")));
        m.processDevice(stickBlock(QStringLiteral("sdb")));
        m.processDevice(stickBlock(QStringLiteral("sdb1")));
        QCOMPARE(reports.count(), 1);
        QCOMPARE(m.checks.size(), 1);
        QVERIFY(UsbSandbox::writtenBusId(false).isEmpty());
    }

    void secondPartitionIsReportedAgain()
    {
        RecordingUsbManager m;
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);
        plugStick(m);
        UsbSandbox::setToolOutput(QStringLiteral("size-sdb2"), "1G\n");
        UsbSandbox::setToolOutput(QStringLiteral("fstype-sdb2"), "ext4\n");
        UsbSandbox::setToolOutput(QStringLiteral("label-sdb2"), "DATA\n");
        m.processDevice(stickBlock(QStringLiteral("sdb2")));
        QCOMPARE(reports.count(), 2);
        QCOMPARE(reports.at(1).at(0).toString(), QStringLiteral("DATA"));
        // One entry per device: the second volume replaces the first.
        QCOMPARE(m.connectedDevices().size(), 1);
        QCOMPARE(m.connectedDevices().at(0).name, QStringLiteral("DATA"));
    }

    void blockWithoutSizeIsNotReported()
    {
        UsbSandbox::setToolOutput(QStringLiteral("size-sdb1"), "");
        RecordingUsbManager m;
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);
        plugStick(m);
        QCOMPARE(reports.count(), 0);
        QCOMPARE(callsOf(QStringLiteral("lsblk")).filter(QStringLiteral("FSTYPE /dev/sdb1")).size(), 0);
    }

    void changeEvent_data()
    {
        QTest::addColumn<QString>("sysPath");
        QTest::addColumn<bool>("startsNew");
        QTest::newRow("own interface") << kStick + QStringLiteral("/1-1:1.0") << false;
        QTest::newRow("own device") << kStick << false;
        QTest::newRow("own block device") << kStickDisk << false;
        QTest::newRow("unrelated device")
            << QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-3") << true;
        QTest::newRow("port with the same prefix") << kStick + QStringLiteral("0") << true;
    }

    void changeEvent()
    {
        QFETCH(QString, sysPath);
        QFETCH(bool, startsNew);
        RecordingUsbManager m;
        m.processDevice(stickDevice());
        m.processDevice(usbEvent(QStringLiteral("change"), sysPath, QStringLiteral("usb_device")));
        const UsbDeviceInfo cur = m.currentDevice();
        QCOMPARE(cur.sysPath, startsNew ? sysPath : kStick);
        QCOMPARE(cur.serial, startsNew ? QString() : QStringLiteral("4C530001"));
    }

    void unplugReportsRemove()
    {
        RecordingUsbManager m;
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);
        plugStick(m);
        QCOMPARE(reports.count(), 1);

        const QString remove = QStringLiteral("remove");
        m.processDevice(stickBlock(QStringLiteral("sdb1"), remove));
        m.processDevice(stickBlock(QStringLiteral("sdb"), remove));
        m.processDevice(interfaceOf(kStick, QStringLiteral("08"), remove));
        QCOMPARE(reports.count(), 1);
        m.processDevice(usbEvent(remove, kStick, QStringLiteral("usb_device")));
        QCOMPARE(reports.count(), 2);
        QCOMPARE(reports.at(1),
                 (QVariantList{QStringLiteral("MYSTICK"), QStringLiteral("0781"),
                               QStringLiteral("5567"), QStringLiteral("4C530001"), remove}));
        QCOMPARE(m.currentDevice().sysPath, QStringLiteral("*"));
        QCOMPARE(m.currentDevice().serial, QString());
        QCOMPARE(m.connectedDevices().size(), 1);
        QCOMPARE(m.connectedDevices().at(0).action, remove);

        // A repeated remove event does not report the unplug twice.
        m.processDevice(usbEvent(remove, kStick, QStringLiteral("usb_device")));
        QCOMPARE(reports.count(), 2);

        // Plugged in again: a fresh record and a fresh check.
        m.processDevice(stickDevice());
        m.processDevice(interfaceOf(kStick, QStringLiteral("08")));
        QCOMPARE(m.checks.size(), 2);
        QCOMPARE(m.allowed(), 1);
    }

    void mobileDevice_data()
    {
        QTest::addColumn<QString>("cls");
        QTest::addColumn<QByteArray>("udevadm");
        QTest::addColumn<bool>("checked");
        const QByteArray info = "P: /devices/pci0000:00/0000:00:14.0/usb3/3-2\nN: bus/usb/003/012\n";
        QTest::newRow("mtp phone") << QStringLiteral("ff") << info + "E: ID_MTP_DEVICE=1\n" << true;
        QTest::newRow("vendor class, no mark") << QStringLiteral("ff") << info << false;
        QTest::newRow("vendor class, empty mark")
            << QStringLiteral("ff") << info + "E: ID_MTP_DEVICE=\n" << false;
        QTest::newRow("vendor class, no udev data") << QStringLiteral("ff") << QByteArray() << false;
        QTest::newRow("camera") << QStringLiteral("06") << QByteArray() << true;
        QTest::newRow("hub") << QStringLiteral("09") << info + "E: ID_MTP_DEVICE=1\n" << false;
    }

    void mobileDevice()
    {
        QFETCH(QString, cls);
        QFETCH(QByteArray, udevadm);
        QFETCH(bool, checked);
        if (!udevadm.isEmpty())
            UsbSandbox::setToolOutput(QStringLiteral("udevadm-/dev/bus/usb/003/012"), udevadm);
        const QString phone = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb3/3-2");
        RecordingUsbManager m;
        m.processDevice(usbEvent(QStringLiteral("add"), phone, QStringLiteral("usb_device"),
                                 {{QStringLiteral("product"), QStringLiteral("Pixel")},
                                  {QStringLiteral("serial"), QStringLiteral("P1")},
                                  {QStringLiteral("idVendor"), QStringLiteral("18d1")},
                                  {QStringLiteral("idProduct"), QStringLiteral("4ee1")},
                                  {QStringLiteral("busnum"), QStringLiteral("3")},
                                  {QStringLiteral("devnum"), QStringLiteral("12")}}));
        m.processDevice(interfaceOf(phone, cls));
        m.processDevice(interfaceOf(phone, cls, QStringLiteral("bind")));
        QCOMPARE(m.checks.size(), checked ? 1 : 0);
        if (checked) {
            QCOMPARE(m.checks.at(0).type, int(UsbManager::CheckMobile));
            QCOMPARE(m.checks.at(0).device.name, QStringLiteral("Pixel"));
        }
        if (cls == QLatin1String("ff"))
            QVERIFY(callsOf(QStringLiteral("udevadm"))
                        .contains(QStringLiteral("udevadm info /dev/bus/usb/003/012")));
    }

    // Storage behind a vendor-specific interface without the MTP mark (a
    // storage driver binds such devices by their ids): checked as storage,
    // at the interface when the udev rule marked it, else at its block device.
    void vendorClassStorage_data()
    {
        QTest::addColumn<bool>("marked");
        QTest::newRow("marked by the udev rule") << true;
        QTest::newRow("found at its block device") << false;
    }

    void vendorClassStorage()
    {
        QFETCH(bool, marked);
        RecordingUsbManager m;
        m.forward = true;
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);
        QSignalSpy removes(&m, &UsbManager::requestRemoveDevice);
        m.processDevice(stickDevice(QStringLiteral("add"), QString()));
        UsbDeviceEvent iface = interfaceOf(kStick, QStringLiteral("ff"));
        iface.storageDriver = marked;
        m.processDevice(iface);
        QCOMPARE(m.checks.size(), marked ? 1 : 0);
        m.processDevice(stickBlock(QStringLiteral("sdb")));
        m.processDevice(stickBlock(QStringLiteral("sdb1")));
        QCOMPARE(m.checks.size(), 1);
        QCOMPARE(m.checks.at(0).type, int(UsbManager::CheckStorage));
        // Without a serial it is blocked at once, its volume never reported.
        QCOMPARE(m.allowed(), 0);
        QCOMPARE(UsbSandbox::writtenBusId(false), QStringLiteral("1-1"));
        QCOMPARE(removes.count(), 1);
        QCOMPARE(reports.count(), 1);
        QCOMPARE(reports.at(0).at(0).toString(), QStringLiteral("Cruzer Blade"));
    }

    void blockedDeviceIsDetachedAgain()
    {
        RecordingUsbManager m;
        m.forward = true;
        QSignalSpy notices(&m, &UsbManager::requestShowNormalSysNotify);
        QSignalSpy removes(&m, &UsbManager::requestRemoveDevice);
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);

        // Without a serial no request is made; the stick is blocked at once.
        m.processDevice(stickDevice(QStringLiteral("add"), QString()));
        m.processDevice(interfaceOf(kStick, QStringLiteral("08")));
        QCOMPARE(m.allowed(), 0);
        QCOMPARE(UsbSandbox::writtenBusId(false), QStringLiteral("1-1"));
        QCOMPARE(notices.count(), 1);
        QCOMPARE(notices.at(0).at(0).toString(), kStatus3);
        QCOMPARE(removes.count(), 1);
        QCOMPARE(removes.at(0).at(0).toString(), QString());
        QCOMPARE(reports.count(), 1);
        QCOMPARE(reports.at(0).at(0).toString(), QStringLiteral("Cruzer Blade"));
        QCOMPARE(m.connectedDevices().size(), 1);

        UsbSandbox::resetControlFiles();
        m.processDevice(stickBlock(QStringLiteral("sdb")));
        QCOMPARE(UsbSandbox::writtenBusId(false), QStringLiteral("1-1"));
        QCOMPARE(reports.count(), 1);
        QCOMPARE(m.checks.size(), 1);

        // Unplugged: the next device starts allowed.
        m.processDevice(usbEvent(QStringLiteral("remove"), kStick, QStringLiteral("usb_device")));
        QCOMPARE(m.allowed(), 1);
    }

    void startupScan()
    {
        UsbSandbox::setToolOutput(QStringLiteral("find"),
                                  "/dev/bus\n/dev/bus/usb\n/dev/bus/usb/001\n/dev/bus/usb/001/005\n"
                                  "/dev/bus/usb/001/006\n/dev/bus/usb/001/007\n"
                                  "/dev/bus/usb/001/008\n/dev/bus/usb/001/009\n");
        const QByteArray head = "P: /devices/x\nN: bus/usb/001/00x\n";
        UsbSandbox::setToolOutput(QStringLiteral("udevadm-/dev/bus/usb/001/005"),
                                  head + "E: DEVPATH=/devices/pci0000:00/usb1/1-1\n"
                                         "E: ID_MODEL=Cruzer_Blade\nE: ID_VENDOR_ID=0781\n"
                                         "E: ID_MODEL_ID=5567\nE: ID_SERIAL_SHORT=4C530001\n"
                                         "E: ID_USB_INTERFACES=:080650:\n");
        UsbSandbox::setToolOutput(QStringLiteral("udevadm-/dev/bus/usb/001/006"),
                                  head + "E: DEVPATH=/devices/pci0000:00/usb1/1-2\n"
                                         "E: ID_MODEL=Pixel\nE: ID_VENDOR_ID=18d1\n"
                                         "E: ID_MODEL_ID=4ee1\nE: ID_SERIAL_SHORT=P1\n"
                                         "E: ID_USB_INTERFACES=:ff4201:\nE: ID_MTP_DEVICE=1\n");
        UsbSandbox::setToolOutput(QStringLiteral("udevadm-/dev/bus/usb/001/007"),
                                  head + "E: DEVPATH=/devices/pci0000:00/usb1/1-3\n"
                                         "E: ID_SERIAL_SHORT=X9\nE: ID_USB_INTERFACES=:ff0000:\n");
        // A card reader without serial: nothing carries over from the path before.
        UsbSandbox::setToolOutput(QStringLiteral("udevadm-/dev/bus/usb/001/008"),
                                  head + "E: DEVPATH=/devices/pci0000:00/usb1/1-4\n"
                                         "E: ID_MODEL=Reader\nE: ID_USB_INTERFACES=:080650:\n");
        UsbSandbox::setToolOutput(QStringLiteral("udevadm-/dev/bus/usb/001/009"),
                                  head + "E: DEVPATH=/devices/pci0000:00/usb1/1-5\n"
                                         "E: ID_USB_INTERFACES=:090000:\n");

        RecordingUsbManager m;
        const QList<UsbDeviceInfo> devices = m.getCurrentUsbDevList();
        QCOMPARE(devices.size(), 3);
        QCOMPARE(devices.at(0).name, QStringLiteral("Cruzer_Blade"));
        QCOMPARE(devices.at(0).serial, QStringLiteral("4C530001"));
        QCOMPARE(devices.at(0).vendorId, QStringLiteral("0781"));
        QCOMPARE(devices.at(0).productId, QStringLiteral("5567"));
        QCOMPARE(devices.at(0).interfaceClass, QStringLiteral("08"));
        QCOMPARE(devices.at(0).devPath, QStringLiteral("/devices/pci0000:00/usb1/1-1"));
        QVERIFY(devices.at(0).sysPath.isEmpty());
        QCOMPARE(devices.at(1).interfaceClass, QStringLiteral("ff"));
        QCOMPARE(devices.at(1).name, QStringLiteral("Pixel"));
        QCOMPARE(devices.at(2).name, QStringLiteral("Reader"));
        QCOMPARE(devices.at(2).serial, QString());
        QCOMPARE(devices.at(2).vendorId, QString());
    }

    void preManage_data()
    {
        QTest::addColumn<bool>("control");
        QTest::addColumn<bool>("installer");
        QTest::addColumn<int>("checks");
        QTest::newRow("control on") << true << false << 1;
        QTest::newRow("control off") << false << false << 0;
        QTest::newRow("installer verifying") << true << true << 0;
    }

    void preManage()
    {
        QFETCH(bool, control);
        QFETCH(bool, installer);
        QFETCH(int, checks);
        UsbSandbox::setToolOutput(QStringLiteral("find"), "/dev/bus/usb/001/005\n");
        UsbSandbox::setToolOutput(QStringLiteral("udevadm-/dev/bus/usb/001/005"),
                                  "P: /devices/x\nE: DEVPATH=/devices/usb1/1-1\n"
                                  "E: ID_SERIAL_SHORT=S\nE: ID_USB_INTERFACES=:080650:\n");
        if (installer) {
            QDir().mkpath(QFileInfo(vorn::kInstallerMarkerPath).path());
            QFile marker(vorn::kInstallerMarkerPath);
            QVERIFY(marker.open(QIODevice::WriteOnly));
        }
        RecordingUsbManager m;
        m.setCtrlStatus(control);
        m.init();
        QCOMPARE(m.checks.size(), checks);
        QCOMPARE(callsOf(QStringLiteral("find")).size(), checks);
        if (checks) {
            QCOMPARE(m.checks.at(0).type, int(UsbManager::CheckStartup));
            QCOMPARE(m.checks.at(0).device.devPath, QStringLiteral("/devices/usb1/1-1"));
        }
        QCOMPARE(m.currentDevice().sysPath, QStringLiteral("*"));
    }

    // The loop runs on its own thread, executes queued calls between waits,
    // and ends at once when asked, also after a restart.
    void threadLoop()
    {
        RecordingUsbManager m;
        m.setCtrlStatus(true);
        UsbSandbox::setToolOutput(QStringLiteral("find"), "/dev/bus/usb/001/005\n");
        QThread thread;
        m.moveToThread(&thread);
        connect(&thread, &QThread::started, &m, &UsbManager::run);
        QList<bool> finished;
        connect(&m, &UsbManager::changeDevConnStatusByIdTaskExeFinished, this,
                [&finished](int taskId, int jobId, bool sus) {
                    QCOMPARE(taskId, 9);
                    QCOMPARE(jobId, 7);
                    finished.append(sus);
                });

        for (int round = 0; round < 2; ++round) {
            thread.start();
            QMetaObject::invokeMethod(&m, "exeChangeDevConnStatusByIdTask", Qt::QueuedConnection,
                                      Q_ARG(int, 9), Q_ARG(int, 7), Q_ARG(bool, true),
                                      Q_ARG(QString, QStringLiteral("0781")),
                                      Q_ARG(QString, QStringLiteral("5567")),
                                      Q_ARG(QString, QStringLiteral("S")));
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), round + 1, 5000);
            QVERIFY(thread.isRunning());

            QElapsedTimer timer;
            timer.start();
            m.quit();
            thread.quit();
            QVERIFY(thread.wait(2000));
            QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
        }
        // The start-up scan runs on the first start only.
        QCOMPARE(callsOf(QStringLiteral("find")).size(), 1);
    }

    // A stop asked for before the loop begins must still end it.
    void stopBeforeLoopBegins()
    {
        for (int i = 0; i < 20; ++i) {
            UsbManager m;
            QThread thread;
            m.moveToThread(&thread);
            connect(&thread, &QThread::started, &m, &UsbManager::run);
            thread.start();
            m.quit();
            thread.requestInterruption();
            thread.quit();
            QVERIFY(thread.wait(2000));
        }
    }
};

USB_SANDBOX_TEST_MAIN(TstUsbManager)
#include "tst_usbmanager.moc"
