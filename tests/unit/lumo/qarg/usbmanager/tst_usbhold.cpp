// Holding storage and mobile devices at the kernel's interface authorization:
// the root hubs' defaults, holding and releasing on the whitelist outcome and
// on the server's orders, and the detaching kept where the kernel cannot hold.
// The sysfs is a tree of plain files below the sandbox's sysroot.
#include "recordingusbmanager.h"
#include "usbtestsandbox.h"

#include "labsupport.h"
#include "lumo/qarg/usbmanager/usbhold.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

using namespace usbtest;

namespace {
const QString kMsg0 =
    QStringLiteral("请联系管理员将USB设备加入白名单并对终端授权，然后重新插入使用");
const QString kMsg1 = QStringLiteral("当前USB设备允许使用");
const QString kMsg2 = QStringLiteral("当前网络异常，USB设备限制使用");
const QString kMsg3 =
    QStringLiteral("该设备的硬件信息不齐全，存在安全风险，请使用正规的USB存储设备");

QString sysfs(const QString& relative)
{
    return qEnvironmentVariable("VORN_SYSROOT") + QStringLiteral("/sys/bus/usb/") + relative;
}

void put(const QString& relative, const QByteArray& value)
{
    const QString path = sysfs(relative);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(value);
}

QByteArray get(const QString& relative)
{
    QFile file(sysfs(relative));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("(missing)");
    return file.readAll().trimmed();
}

void addInterface(const QString& name, const QByteArray& cls, const QByteArray& authorized)
{
    put(QStringLiteral("devices/%1/bInterfaceClass").arg(name), cls);
    put(QStringLiteral("devices/%1/authorized").arg(name), authorized);
}

// Two root hubs; a stick (storage beside a keyboard interface) and a phone
// (vendor-specific), both plugged while new devices were held.
void makeSysfs(bool withHubs = true)
{
    QDir(sysfs(QStringLiteral("devices"))).removeRecursively();
    QFile::remove(sysfs(QStringLiteral("drivers_probe")));
    if (withHubs) {
        put(QStringLiteral("devices/usb1/interface_authorized_default"), "1\n");
        put(QStringLiteral("devices/usb2/interface_authorized_default"), "1\n");
    }
    put(QStringLiteral("devices/1-1/idVendor"), "0781\n");
    put(QStringLiteral("devices/1-1/idProduct"), "5567\n");
    put(QStringLiteral("devices/1-1/serial"), "S1\n");
    addInterface(QStringLiteral("1-1:1.0"), "08\n", "0\n");
    addInterface(QStringLiteral("1-1:1.1"), "03\n", "1\n");
    put(QStringLiteral("devices/1-2/idVendor"), "18d1\n");
    put(QStringLiteral("devices/1-2/idProduct"), "4ee1\n");
    put(QStringLiteral("devices/1-2/serial"), "PX0001\n");
    addInterface(QStringLiteral("1-2:1.0"), "ff\n", "0\n");
    put(QStringLiteral("drivers_probe"), QByteArray());
}

UsbConnectionInfo connection(const QString& sysPath, const QString& serial)
{
    UsbConnectionInfo conn;
    conn.name = QStringLiteral("Cruzer Blade");
    conn.action = QStringLiteral("add");
    conn.serial = serial;
    conn.vendorId = QStringLiteral("0781");
    conn.productId = QStringLiteral("5567");
    conn.sysPath = sysPath;
    return conn;
}

QStringList firstArgs(const QSignalSpy& spy)
{
    QStringList result;
    for (const QVariantList& args : spy)
        result.append(args.at(0).toString());
    return result;
}
} // namespace

class TstUsbHold : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        UsbSandbox::resetControlFiles();
        makeSysfs();
    }

    void startHolding_data()
    {
        QTest::addColumn<bool>("hubs");
        QTest::newRow("kernel can hold") << true;
        QTest::newRow("no interface authorization") << false;
    }

    void startHolding()
    {
        QFETCH(bool, hubs);
        makeSysfs(hubs);
        vorn::test::LogCapture log;
        UsbManager m;
        QCOMPARE(m.startHolding(), hubs);
        QCOMPARE(m.startHolding(), hubs);
        QCOMPARE(m.holding(), hubs);
        if (hubs) {
            QCOMPARE(get(QStringLiteral("devices/usb1/interface_authorized_default")), "0");
            QCOMPARE(get(QStringLiteral("devices/usb2/interface_authorized_default")), "0");
        }
        // Said once, however often the monitor starts.
        QCOMPARE(log.count(QStringLiteral("USB devices cannot be held")), hubs ? 0 : 1);
    }

    // Where the kernel can hold, the outcome authorizes or keeps holding the
    // storage interface only; texts, removal requests and reports are as
    // when detaching, and nothing is detached.
    void outcome_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("authorized");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("decision");

        QTest::newRow("whitelisted") << QStringLiteral("{\"code\":1}") << 200 << QByteArray("1")
                                     << QStringList{kMsg1} << QStringLiteral("allowed");
        QTest::newRow("refused") << QStringLiteral("{\"code\":0}") << 200 << QByteArray("0")
                                 << QStringList{kMsg0} << QStringLiteral("held");
        QTest::newRow("no answer") << QString() << 0 << QByteArray("0") << QStringList{kMsg2}
                                   << QStringLiteral("held");
        QTest::newRow("incomplete facts") << QString() << -1 << QByteArray("0")
                                          << QStringList{kMsg3} << QStringLiteral("held");
    }

    void outcome()
    {
        QFETCH(QString, body);
        QFETCH(int, code);
        QFETCH(QByteArray, authorized);
        QFETCH(QStringList, messages);
        QFETCH(QString, decision);

        UsbManager m;
        m.setCtrlStatus(true);
        QVERIFY(m.startHolding());
        m.processDevice(stickDevice());
        QSignalSpy notices(&m, &UsbManager::requestShowNormalSysNotify);
        QSignalSpy removes(&m, &UsbManager::requestRemoveDevice);
        QSignalSpy decided(&m, &UsbManager::deviceDecided);

        m.execDevWhiteListCallback(body, code,
                                   ofCurrentPlug(connection(kStick, QStringLiteral("S1")), m), 1);

        const bool allowed = authorized == "1";
        QCOMPARE(m.allowed(), allowed ? 1 : 0);
        QCOMPARE(get(QStringLiteral("devices/1-1:1.0/authorized")), authorized);
        QCOMPARE(get(QStringLiteral("devices/1-1:1.1/authorized")), QByteArray("1"));
        QCOMPARE(get(QStringLiteral("drivers_probe")),
                 allowed ? QByteArray("1-1:1.0") : QByteArray());
        QCOMPARE(UsbSandbox::writtenBusId(false), QString());
        QCOMPARE(firstArgs(notices), messages);
        QCOMPARE(firstArgs(removes), allowed ? QStringList() : QStringList{QStringLiteral("S1")});
        QCOMPARE(decided.count(), 1);
        QCOMPARE(decided.at(0).at(4).toString(), decision);
        // The phone plugged meanwhile waits for its own answer.
        QCOMPARE(get(QStringLiteral("devices/1-2:1.0/authorized")), QByteArray("0"));
    }

    // The server's orders: a revoke takes authorization away (the kernel
    // unbinds the driver), a grant gives it back, also to a held device of
    // the start-up scan, which is never listed.
    void orders()
    {
        UsbManager m;
        m.setCtrlStatus(true);
        QVERIFY(m.startHolding());
        put(QStringLiteral("devices/1-1:1.0/authorized"), "1\n");
        m.addToConnectedDevList(connection(kStick, QStringLiteral("S1")));
        QSignalSpy authors(&m, &UsbManager::requestShowUsbCtrlAuthorSysNotify);
        QSignalSpy finished(&m, &UsbManager::changeDevConnStatusByIdTaskExeFinished);

        m.exeChangeDevConnStatusByIdTask(1, 2, false, QStringLiteral("0781"),
                                         QStringLiteral("5567"), QStringLiteral("S1"));
        QCOMPARE(get(QStringLiteral("devices/1-1:1.0/authorized")), QByteArray("0"));
        QCOMPARE(authors.count(), 1);
        m.exeChangeDevConnStatusByIdTask(3, 4, true, QStringLiteral("0781"),
                                         QStringLiteral("5567"), QStringLiteral("S1"));
        QCOMPARE(get(QStringLiteral("devices/1-1:1.0/authorized")), QByteArray("1"));

        m.exeChangeDevConnStatusByIdTask(5, 6, true, QStringLiteral("18d1"),
                                         QStringLiteral("4ee1"), QStringLiteral("PX0001"));
        QCOMPARE(get(QStringLiteral("devices/1-2:1.0/authorized")), QByteArray("1"));
        QCOMPARE(get(QStringLiteral("drivers_probe")), QByteArray("1-1:1.0\n1-2:1.0"));
        QCOMPARE(finished.count(), 3);
        for (const QVariantList& args : finished)
            QVERIFY(args.at(2).toBool());
        QCOMPARE(UsbSandbox::writtenBusId(false), QString());
        QCOMPARE(UsbSandbox::writtenBusId(true), QString());
    }

    // A root hub that appears while devices are held holds its own too.
    void newRootHub()
    {
        UsbManager m;
        m.setCtrlStatus(true);
        QVERIFY(m.startHolding());
        put(QStringLiteral("devices/usb3/interface_authorized_default"), "1\n");
        m.processDevice(usbEvent(QStringLiteral("add"),
                                 QStringLiteral("/sys/devices/pci0000:00/0000:00:15.0/usb3"),
                                 QStringLiteral("usb_device")));
        QCOMPARE(get(QStringLiteral("devices/usb3/interface_authorized_default")), QByteArray("0"));
    }

    // A reply that comes after control went off (and released everything)
    // must not hold the device again.
    void replyAfterControlOff()
    {
        UsbManager m;
        m.setCtrlStatus(true);
        QVERIFY(m.startHolding());
        m.processDevice(stickDevice());
        m.setCtrlStatus(false);
        QCOMPARE(UsbHold::releaseAll(), 2);
        QSignalSpy notices(&m, &UsbManager::requestShowNormalSysNotify);
        m.execDevWhiteListCallback(QStringLiteral("{\"code\":0}"), 200,
                                   ofCurrentPlug(connection(kStick, QStringLiteral("S1")), m), 1);
        QCOMPARE(get(QStringLiteral("devices/1-1:1.0/authorized")), QByteArray("1"));
        QCOMPARE(notices.count(), 0);
    }

    // Stick A goes before its answer and stick B comes to the same port:
    // A's answer neither releases nor holds B; B's own answer decides it.
    void lateAnswerOfAnUnpluggedStick_data()
    {
        QTest::addColumn<QString>("body");
        QTest::newRow("allowed") << QStringLiteral("{\"code\":1}");
        QTest::newRow("refused") << QStringLiteral("{\"code\":0}");
    }

    void lateAnswerOfAnUnpluggedStick()
    {
        QFETCH(QString, body);
        RecordingUsbManager m;
        m.setCtrlStatus(true);
        QVERIFY(m.startHolding());
        m.processDevice(stickDevice(QStringLiteral("add"), QStringLiteral("S1")));
        m.processDevice(interfaceOf(kStick, QStringLiteral("08")));
        m.processDevice(interfaceOf(kStick, QStringLiteral("08"), QStringLiteral("remove")));
        m.processDevice(usbEvent(QStringLiteral("remove"), kStick, QStringLiteral("usb_device")));
        put(QStringLiteral("devices/1-1/serial"), "S2\n");
        m.processDevice(stickDevice(QStringLiteral("add"), QStringLiteral("S2")));
        m.processDevice(interfaceOf(kStick, QStringLiteral("08")));
        QCOMPARE(m.checks.size(), 2);
        QSignalSpy notices(&m, &UsbManager::requestShowNormalSysNotify);
        QSignalSpy removes(&m, &UsbManager::requestRemoveDevice);
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);

        m.execDevWhiteListCallback(body, 200, askedAbout(m.checks.at(0).device), 1);
        QCOMPARE(get(QStringLiteral("devices/1-1:1.0/authorized")), QByteArray("0"));
        QCOMPARE(get(QStringLiteral("drivers_probe")), QByteArray());
        QCOMPARE(m.allowed(), 1);
        QCOMPARE(notices.count() + removes.count() + reports.count(), 0);
        QVERIFY(m.connectedDevices().isEmpty());

        m.execDevWhiteListCallback(QStringLiteral("{\"code\":1}"), 200,
                                   askedAbout(m.checks.at(1).device), 1);
        QCOMPARE(get(QStringLiteral("devices/1-1:1.0/authorized")), QByteArray("1"));
        QCOMPARE(firstArgs(notices), QStringList{kMsg1});
    }

    // A grant names a held device as the server was asked about it: the
    // start-up scan asks with udev's rewritten serial; a device never asked
    // about has its own serial, however long. A held device that cannot be
    // released is no "changed".
    void grantOfAHeldDevice_data()
    {
        QTest::addColumn<QByteArray>("ownSerial");
        QTest::addColumn<QString>("granted");
        QTest::addColumn<bool>("scanned");
        QTest::addColumn<bool>("releasable");
        const QByteArray longSerial(100, 'L');
        QTest::newRow("found by the start-up scan")
            << QByteArray("AB CD 01\n") << QStringLiteral("AB_CD_01") << true << true;
        QTest::newRow("long serial") << longSerial + "\n" << QString::fromLatin1(longSerial)
                                     << false << true;
        QTest::newRow("serial ending in blanks") << QByteArray("SN 7  \n")
                                                 << QStringLiteral("SN 7  ") << false << true;
        QTest::newRow("cannot be released")
            << QByteArray("S3\n") << QStringLiteral("S3") << false << false;
    }

    void grantOfAHeldDevice()
    {
        QFETCH(QByteArray, ownSerial);
        QFETCH(QString, granted);
        QFETCH(bool, scanned);
        QFETCH(bool, releasable);
        UsbSandbox::clearTools();
        put(QStringLiteral("devices/1-3/idVendor"), "0781\n");
        put(QStringLiteral("devices/1-3/idProduct"), "5567\n");
        put(QStringLiteral("devices/1-3/serial"), ownSerial);
        addInterface(QStringLiteral("1-3:1.0"), "08\n", "0\n");
        if (!releasable) {
            // Reads as held, but is never written: sysfs writes do not follow links.
            const QString authorized = sysfs(QStringLiteral("devices/1-3:1.0/authorized"));
            QVERIFY(QFile::rename(authorized, authorized + QStringLiteral(".real")));
            QVERIFY(QFile::link(authorized + QStringLiteral(".real"), authorized));
        }
        if (scanned) {
            UsbSandbox::setToolOutput(QStringLiteral("find"), "/dev/bus/usb/001/009\n");
            UsbSandbox::setToolOutput(QStringLiteral("udevadm-/dev/bus/usb/001/009"),
                                      "P: /devices/x\nE: DEVPATH=/devices/pci0000:00/usb1/1-3\n"
                                      "E: ID_VENDOR_ID=0781\nE: ID_MODEL_ID=5567\n"
                                      "E: ID_SERIAL_SHORT=AB_CD_01\n"
                                      "E: ID_USB_INTERFACES=:080650:\n");
        }
        RecordingUsbManager m;
        m.forward = true;
        m.setCtrlStatus(true);
        QVERIFY(m.startHolding());
        m.init();
        QCOMPARE(m.checks.size(), scanned ? 1 : 0);
        QSignalSpy finished(&m, &UsbManager::changeDevConnStatusByIdTaskExeFinished);

        m.exeChangeDevConnStatusByIdTask(1, 2, true, QStringLiteral("0781"),
                                         QStringLiteral("5567"), granted);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(2).toBool(), releasable);
        if (releasable) {
            QCOMPARE(get(QStringLiteral("devices/1-3:1.0/authorized")), QByteArray("1"));
            QCOMPARE(get(QStringLiteral("drivers_probe")), QByteArray("1-3:1.0"));
        }
        // The other held devices are not touched.
        QCOMPARE(get(QStringLiteral("devices/1-1:1.0/authorized")), QByteArray("0"));
    }

    // Storage behind a vendor-specific interface without the MTP mark: the
    // udev rule authorized the interface, a storage driver took it. Its block
    // device starts the storage check and the device is held until the answer.
    void vendorClassStorageIsHeldAtItsBlockDevice()
    {
        UsbSandbox::clearTools();
        put(QStringLiteral("devices/1-2:1.0/authorized"), "1\n");
        const QString phone = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2");
        const QString disk = phone + QStringLiteral("/1-2:1.0/host7/target7:0:0/7:0:0:0/block/sdc");
        for (const char* node : {"sdc", "sdc1"})
            UsbSandbox::setToolOutput(QStringLiteral("size-%1").arg(QLatin1String(node)), "1G\n");
        UsbSandbox::setToolOutput(QStringLiteral("fstype-sdc1"), "vfat\n");
        RecordingUsbManager m;
        m.setCtrlStatus(true);
        QVERIFY(m.startHolding());
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);
        m.processDevice(usbEvent(QStringLiteral("add"), phone, QStringLiteral("usb_device"),
                                 {{QStringLiteral("serial"), QStringLiteral("PX0001")},
                                  {QStringLiteral("idVendor"), QStringLiteral("18d1")},
                                  {QStringLiteral("idProduct"), QStringLiteral("4ee1")}}));
        m.processDevice(interfaceOf(phone, QStringLiteral("ff")));
        QCOMPARE(m.checks.size(), 0);
        const auto block = [&](const QString& node) {
            const bool whole = node == QLatin1String("sdc");
            return usbEvent(QStringLiteral("add"), whole ? disk : disk + QLatin1Char('/') + node,
                            whole ? QStringLiteral("disk") : QStringLiteral("partition"), {},
                            QStringLiteral("/dev/") + node);
        };
        m.processDevice(block(QStringLiteral("sdc")));
        QCOMPARE(m.checks.size(), 1);
        QCOMPARE(m.checks.at(0).type, int(UsbManager::CheckStorage));
        QCOMPARE(m.checks.at(0).device.serial, QStringLiteral("PX0001"));
        QCOMPARE(get(QStringLiteral("devices/1-2:1.0/authorized")), QByteArray("0"));
        QCOMPARE(reports.count(), 0);

        m.execDevWhiteListCallback(QStringLiteral("{\"code\":1}"), 200,
                                   askedAbout(m.checks.at(0).device), 1);
        QCOMPARE(get(QStringLiteral("devices/1-2:1.0/authorized")), QByteArray("1"));
        // Released, the driver brings the block devices back; now reported.
        m.processDevice(block(QStringLiteral("sdc")));
        m.processDevice(block(QStringLiteral("sdc1")));
        QCOMPARE(m.checks.size(), 1);
        QCOMPARE(reports.count(), 1);
        QCOMPARE(reports.at(0).at(3).toString(), QStringLiteral("PX0001"));
    }

    void heldAndReleased()
    {
        QCOMPARE(UsbHold::heldDevices(),
                 (QStringList{QStringLiteral("1-1"), QStringLiteral("1-2")}));
        QCOMPARE(UsbHold::heldDevicesWith(QStringLiteral("18d1"), QStringLiteral("4ee1"),
                                          QStringLiteral("PX0001")),
                 QStringList{QStringLiteral("1-2")});
        QCOMPARE(UsbHold::governedInterfaces(QStringLiteral("1-1")),
                 QStringList{QStringLiteral("1-1:1.0")});
        QCOMPARE(UsbHold::setDefaults(false), 2);
        QCOMPARE(UsbHold::holdingRootHubs(), 2);
        QCOMPARE(UsbHold::releaseAll(), 2);
        QCOMPARE(UsbHold::heldDevices(), QStringList());
        QCOMPARE(UsbHold::setAuthorized(QStringLiteral("9-9"), false), UsbHold::NoInterface);
        QCOMPARE(UsbHold::setDefaults(true), 2);
        QCOMPARE(UsbHold::holdingRootHubs(), 0);
    }
};

USB_SANDBOX_TEST_MAIN(TstUsbHold)
#include "tst_usbhold.moc"
