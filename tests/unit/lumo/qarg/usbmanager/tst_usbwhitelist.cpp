// The whitelist outcome, detaching through the driver's control files, the
// server's grant and revoke orders and the connected-device list.
#include "recordingusbmanager.h"
#include "usbtestsandbox.h"

#include "labsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace usbtest;

namespace {
const QString kMsg0 =
    QStringLiteral("请联系管理员将USB设备加入白名单并对终端授权，然后重新插入使用");
const QString kMsg1 = QStringLiteral("当前USB设备允许使用");
const QString kMsg2 = QStringLiteral("当前网络异常，USB设备限制使用");
const QString kMsg3 =
    QStringLiteral("该设备的硬件信息不齐全，存在安全风险，请使用正规的USB存储设备");
const QString kOther = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-3");

UsbConnectionInfo connection(const QString& sysPath, const QString& serial,
                             const QString& name = QStringLiteral("Cruzer Blade"),
                             const QString& action = QStringLiteral("add"))
{
    UsbConnectionInfo conn;
    conn.name = name;
    conn.action = action;
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

enum ControlFile { Regular, Missing, Directory, FullDevice };
} // namespace

Q_DECLARE_METATYPE(ControlFile)

class TstUsbWhiteList : public QObject
{
    Q_OBJECT

private slots:
    void init() { UsbSandbox::resetControlFiles(); }

    void callbackDecision_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("allowed");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("authorNotices");
        QTest::addColumn<bool>("reported");

        const QString yes = QStringLiteral("{\"code\":1}");
        const QString no = QStringLiteral("{\"code\":0}");
        QTest::newRow("whitelisted storage") << yes << 200 << 1 << 1 << QStringList{kMsg1} << 0 << false;
        QTest::newRow("whitelisted at start-up") << yes << 200 << 0 << 1 << QStringList{} << 0 << false;
        QTest::newRow("whitelisted phone") << yes << 200 << 2 << 1 << QStringList{kMsg1} << 0 << true;
        QTest::newRow("refused storage") << no << 200 << 1 << 0 << QStringList{kMsg0} << 0 << true;
        QTest::newRow("refused at start-up") << no << 200 << 0 << 0 << QStringList{} << 1 << false;
        QTest::newRow("refused phone") << no << 200 << 2 << 0 << QStringList{kMsg0} << 0 << true;
        QTest::newRow("no answer") << QString() << 0 << 1 << 0 << QStringList{kMsg2} << 0 << true;
        QTest::newRow("timeout") << QString() << 4003 << 2 << 0 << QStringList{kMsg2} << 0 << true;
        QTest::newRow("no answer at start-up") << QString() << 0 << 0 << 0 << QStringList{kMsg2} << 0 << false;
        QTest::newRow("incomplete facts") << QString() << -1 << 1 << 0 << QStringList{kMsg3} << 0 << true;
        QTest::newRow("not json") << QStringLiteral("<html>") << 200 << 1 << 0 << QStringList{kMsg0} << 0 << true;
        QTest::newRow("no code") << QStringLiteral("{}") << 500 << 1 << 0 << QStringList{kMsg0} << 0 << true;
        QTest::newRow("code as text") << QStringLiteral("{\"code\":\"1\"}") << 200 << 1 << 0 << QStringList{kMsg0} << 0 << true;
        QTest::newRow("json array") << QStringLiteral("[1]") << 200 << 1 << 0 << QStringList{kMsg0} << 0 << true;
    }

    void callbackDecision()
    {
        QFETCH(QString, body);
        QFETCH(int, code);
        QFETCH(int, type);
        QFETCH(int, allowed);
        QFETCH(QStringList, messages);
        QFETCH(int, authorNotices);
        QFETCH(bool, reported);

        UsbManager m;
        m.processDevice(stickDevice());
        QSignalSpy notices(&m, &UsbManager::requestShowNormalSysNotify);
        QSignalSpy authors(&m, &UsbManager::requestShowUsbCtrlAuthorSysNotify);
        QSignalSpy removes(&m, &UsbManager::requestRemoveDevice);
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);

        m.execDevWhiteListCallback(body, code,
                                   ofCurrentPlug(connection(kStick, QStringLiteral("S1")), m), type);

        QCOMPARE(m.allowed(), allowed);
        QCOMPARE(UsbSandbox::writtenBusId(false), allowed ? QString() : QStringLiteral("1-1"));
        QCOMPARE(firstArgs(notices), messages);
        QCOMPARE(authors.count(), authorNotices);
        if (authorNotices)
            QCOMPARE(authors.at(0), (QVariantList{false, QStringLiteral("Cruzer Blade")}));
        QCOMPARE(firstArgs(removes), allowed ? QStringList() : QStringList{QStringLiteral("S1")});
        QCOMPARE(reports.count(), reported ? 1 : 0);
        QCOMPARE(m.connectedDevices().size(), reported ? 1 : 0);
        if (reported) {
            QCOMPARE(reports.at(0).at(4).toString(), QStringLiteral("add"));
            QCOMPARE(m.connectedDevices().at(0).sysPath, kStick);
        }
    }

    // A detach that fails shows nothing, but the removal request, the report
    // and the list entry still happen.
    void callbackWhenDetachFails()
    {
        QFile::remove(UsbSandbox::controlFile(false));
        UsbManager m;
        m.processDevice(stickDevice());
        QSignalSpy notices(&m, &UsbManager::requestShowNormalSysNotify);
        QSignalSpy removes(&m, &UsbManager::requestRemoveDevice);
        QSignalSpy reports(&m, &UsbManager::notifyReportUsbConnInfo);
        m.execDevWhiteListCallback(QStringLiteral("{\"code\":0}"), 200,
                                   ofCurrentPlug(connection(kStick, QStringLiteral("S1")), m), 1);
        QCOMPARE(m.allowed(), 0);
        QCOMPARE(notices.count(), 0);
        QCOMPARE(removes.count(), 1);
        QCOMPARE(reports.count(), 1);
        QCOMPARE(m.connectedDevices().size(), 1);
    }

    // A reply that arrives after another device began decides only for its
    // own device.
    void lateReplyForAnotherDevice()
    {
        UsbManager m;
        m.processDevice(stickDevice());
        const UsbConnectionInfo stick = ofCurrentPlug(connection(kStick, QStringLiteral("S1")), m);
        m.processDevice(usbEvent(QStringLiteral("add"), kOther, QStringLiteral("usb_device")));
        m.execDevWhiteListCallback(QStringLiteral("{\"code\":0}"), 200, stick, 1);
        QCOMPARE(m.allowed(), 1);
        QCOMPARE(UsbSandbox::writtenBusId(false), QStringLiteral("1-1"));

        // The current device blocked by its own reply stays blocked when a
        // late approval of the earlier one comes in.
        UsbSandbox::resetControlFiles();
        m.execDevWhiteListCallback(QStringLiteral("{\"code\":0}"), 200,
                                   ofCurrentPlug(connection(kOther, QStringLiteral("S2")), m), 1);
        QCOMPARE(m.allowed(), 0);
        QCOMPARE(UsbSandbox::writtenBusId(false), QStringLiteral("2-3"));
        m.execDevWhiteListCallback(QStringLiteral("{\"code\":1}"), 200, stick, 1);
        QCOMPARE(m.allowed(), 0);
    }

    void changeDevConnStatus_data()
    {
        QTest::addColumn<ControlFile>("file");
        QTest::addColumn<bool>("bind");
        QTest::addColumn<QString>("sysPath");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("written");

        QTest::newRow("detach") << Regular << false << kStick + QStringLiteral(".4") << 0
                                << QStringLiteral("1-1.4");
        QTest::newRow("attach") << Regular << true << kStick << 0 << QStringLiteral("1-1");
        QTest::newRow("start-up scan path")
            << Regular << false << QStringLiteral("/devices/pci0000:00/usb1/1-2") << 0
            << QStringLiteral("1-2");
        QTest::newRow("long name cut") << Regular << false << QString(300, QLatin1Char('a')) << 0
                                       << QString(255, QLatin1Char('a'));
        QTest::newRow("no control file") << Missing << false << kStick << 2004 << QString();
        QTest::newRow("control file is a directory") << Directory << false << kStick << 2004
                                                     << QString();
        QTest::newRow("write fails") << FullDevice << false << kStick << 2006 << QString();
        QTest::newRow("path names no device")
            << Regular << false << QStringLiteral("/sys/devices/usb1/") << 2007 << QString();
        QTest::newRow("empty path") << Regular << true << QString() << 2007 << QString();
    }

    void changeDevConnStatus()
    {
        QFETCH(ControlFile, file);
        QFETCH(bool, bind);
        QFETCH(QString, sysPath);
        QFETCH(int, result);
        QFETCH(QString, written);

        const QString path = UsbSandbox::controlFile(bind);
        if (file != Regular)
            QVERIFY(QFile::remove(path));
        if (file == Directory)
            QVERIFY(QDir().mkdir(path));
        if (file == FullDevice) {
            // Opens for writing, but every write fails (ENOSPC), like /dev/full.
            if (::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0600, makedev(1, 7)) != 0)
                QSKIP("cannot create a device node here");
        }

        UsbManager m;
        QCOMPARE(m.changeDevConnStatus(bind, sysPath), result);
        if (file == Regular) {
            QCOMPARE(UsbSandbox::writtenBusId(bind), written);
            QCOMPARE(QFileInfo(path).size(), result == 0 ? 256 : 0);
            QCOMPARE(QFileInfo(UsbSandbox::controlFile(!bind)).size(), 0);
        }
    }

    void changeDevConnStatusById_data()
    {
        QTest::addColumn<bool>("isAdd");
        QTest::addColumn<QString>("vendorId");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<bool>("controlFile");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QString>("written");
        QTest::addColumn<int>("notices");

        const QString v = QStringLiteral("0781");
        QTest::newRow("revoke listed") << false << v << QStringLiteral("S1") << true << true
                                       << QStringLiteral("1-1") << 1;
        QTest::newRow("grant listed") << true << v << QStringLiteral("S1") << true << true
                                      << QStringLiteral("1-1") << 0;
        QTest::newRow("grant unlisted") << true << v << QStringLiteral("S9") << true << true
                                        << QString() << 0;
        QTest::newRow("revoke unplugged") << false << v << QStringLiteral("S2") << true << true
                                          << QString() << 0;
        QTest::newRow("other vendor") << false << QStringLiteral("abcd") << QStringLiteral("S1")
                                      << true << true << QString() << 0;
        QTest::newRow("revoke fails") << false << v << QStringLiteral("S1") << false << false
                                      << QString() << 0;
    }

    void changeDevConnStatusById()
    {
        QFETCH(bool, isAdd);
        QFETCH(QString, vendorId);
        QFETCH(QString, serial);
        QFETCH(bool, controlFile);
        QFETCH(bool, result);
        QFETCH(QString, written);
        QFETCH(int, notices);

        if (!controlFile)
            QFile::remove(UsbSandbox::controlFile(isAdd));
        UsbManager m;
        m.addToConnectedDevList(connection(kStick, QStringLiteral("S1"), QStringLiteral("MYSTICK")));
        m.addToConnectedDevList(connection(kOther, QStringLiteral("S2"), QStringLiteral("OLD"),
                                           QStringLiteral("remove")));
        QSignalSpy authors(&m, &UsbManager::requestShowUsbCtrlAuthorSysNotify);
        QSignalSpy finished(&m, &UsbManager::changeDevConnStatusByIdTaskExeFinished);

        m.exeChangeDevConnStatusByIdTask(9, 7, isAdd, vendorId, QStringLiteral("5567"), serial);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0), (QVariantList{9, 7, result}));
        if (controlFile)
            QCOMPARE(UsbSandbox::writtenBusId(isAdd), written);
        QCOMPARE(authors.count(), notices);
        if (notices)
            QCOMPARE(authors.at(0), (QVariantList{false, QStringLiteral("MYSTICK")}));
    }

    void connectedList()
    {
        UsbManager m;
        m.addToConnectedDevList(connection(kStick, QStringLiteral("S1"), QStringLiteral("A")));
        m.addToConnectedDevList(connection(kOther, QStringLiteral("S2"), QStringLiteral("B")));
        m.addToConnectedDevList(connection(kStick, QStringLiteral("S1"), QStringLiteral("C")));
        const QList<UsbConnectionInfo> list = m.connectedDevices();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(0).name, QStringLiteral("B"));
        QCOMPARE(list.at(1).name, QStringLiteral("C"));
        QVERIFY(!m.getConnInfoFromDevListBySysPath(kStick + QStringLiteral("/1-1:1.0")));
        UsbConnectionInfo* entry = m.getConnInfoFromDevListBySysPath(kOther);
        QVERIFY(entry);
        entry->action = QStringLiteral("remove");
        QCOMPARE(m.connectedDevices().at(0).action, QStringLiteral("remove"));
    }

    // The request goes to the HTTPS client; its reply comes back on the main
    // thread later, and never reaches a monitor that is gone.
    void replyThroughHttpClient()
    {
        vorn::test::LogCapture log;
        // Nothing listens on port 1: the client answers "no answer".
        const QString userinfo = qEnvironmentVariable("VORN_SYSROOT")
            + QStringLiteral("/etc/vorn/userinfo.json");
        QDir().mkpath(QFileInfo(userinfo).path());
        QFile file(userinfo);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{\"server_host\":\"127.0.0.1\",\"server_port\":\"1\"}");
        file.close();

        auto* gone = new UsbManager;
        gone->getLocalConfig();
        gone->processDevice(stickDevice());
        gone->execDevWhiteList(gone->currentDevice(), UsbManager::CheckStorage);
        delete gone;

        UsbManager m;
        m.getLocalConfig();
        m.processDevice(stickDevice());
        QSignalSpy notices(&m, &UsbManager::requestShowNormalSysNotify);
        m.execDevWhiteList(m.currentDevice(), UsbManager::CheckStorage);
        QCOMPARE(notices.count(), 0); // never inside the call
        QTRY_COMPARE_WITH_TIMEOUT(notices.count(), 1, 10000);
        QCOMPARE(notices.at(0).at(0).toString(), kMsg2);
        QCOMPARE(m.allowed(), 0);
        QCOMPARE(UsbSandbox::writtenBusId(false), QStringLiteral("1-1"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("whitelist reply after the usb monitor ended")), 10000);
        QCOMPARE(log.count(QStringLiteral("WhiteListCallback")), 1);
    }
};

USB_SANDBOX_TEST_MAIN(TstUsbWhiteList)
#include "tst_usbwhitelist.moc"
