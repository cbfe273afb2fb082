// SessionConfig against the adaption library's state store: every operation
// is checked by reading back what the store recorded.
#include "labsupport.h"
#include "lumo/qars/session_config.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using SwitchOperation = QString (SessionConfig::*)(const QString&);
Q_DECLARE_METATYPE(SwitchOperation)

namespace {

bool writeJson(const QString& path, const QJsonObject& object)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const QByteArray data = QJsonDocument(object).toJson();
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QJsonObject readJson(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

QJsonObject delays(int batteryLock, int batteryScreen, int batterySleep, int powerLock,
                   int powerScreen, int powerSleep)
{
    return QJsonObject{{QStringLiteral("SetBatteryLockDelay"), batteryLock},
                       {QStringLiteral("SetBatteryScreenBlackDelay"), batteryScreen},
                       {QStringLiteral("SetBatterySleepDelay"), batterySleep},
                       {QStringLiteral("SetPowerLockDelay"), powerLock},
                       {QStringLiteral("SetPowerScreenBlackDelay"), powerScreen},
                       {QStringLiteral("SetPowerSleepDelay"), powerSleep}};
}

} // namespace

class TestSessionConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void switches_data();
    void switches();
    void taskbarMode_data();
    void taskbarMode();
    void hotspot();
    void screenSaveTimeOut_data();
    void screenSaveTimeOut();
    void screenSaverBg();
    void powerConfig_data();
    void powerConfig();
    void controlCenter_data();
    void controlCenter();
    void webpageLinkArgumentOrder();
    void backgroundAtOnce();
    void backgroundRetry();

private:
    QString statePath() const { return m_dir.filePath(QStringLiteral("state/vorn-xwe/session.json")); }
    QString faultsPath() const { return m_dir.filePath(QStringLiteral("state/vorn-xwe/faults.json")); }
    QJsonObject state() const { return readJson(statePath()); }
    QString picture(const QString& name);

    QTemporaryDir m_dir;
};

void TestSessionConfig::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The store fixes its paths at its first use, which comes after this.
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("state"))));
    qputenv("VORN_XWE_BACKEND", "store");
    qunsetenv("VORN_XWE_FAIL");
}

void TestSessionConfig::init()
{
    QFile::remove(statePath());
    QFile::remove(faultsPath());
}

QString TestSessionConfig::picture(const QString& name)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("picture") != 7)
        return QString();
    return path;
}

void TestSessionConfig::switches_data()
{
    QTest::addColumn<SwitchOperation>("operation");
    QTest::addColumn<QString>("stateKey");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("expected");

    const struct
    {
        const char* name;
        SwitchOperation operation;
        const char* key;
    } operations[] = {
        {"trash", &SessionConfig::setAppTrash, "SetRecycleBinDisplayable"},
        {"shortcut", &SessionConfig::setShortcut, "SetShortcutKeyEnable"},
        {"dock app", &SessionConfig::setTaskbarDockApp, "SetResidentTaskbarAppDisplayable"},
        {"launcher", &SessionConfig::setTaskbarLauncher, "SetLauncherDisplayable"},
        {"right menu", &SessionConfig::setTaskbarRightMenu, "SetTaskbarRightclickMenuEnable"},
        {"network tray", &SessionConfig::setTrayIconNetwork, "SetWebTrayIconClickable"},
        {"usb tray", &SessionConfig::setTrayIconUsb, "SetUsbTrayIconClickable"},
    };
    const struct
    {
        const char* value;
        bool on;
    } values[] = {{"0", false}, {"2", true}, {"1", true}, {"on", false}, {"", false}};

    for (const auto& op : operations) {
        for (const auto& v : values) {
            QTest::addRow("%s %s", op.name, v.value)
                << op.operation << QString::fromLatin1(op.key) << QString::fromLatin1(v.value)
                << v.on;
        }
    }
}

void TestSessionConfig::switches()
{
    QFETCH(SwitchOperation, operation);
    QFETCH(QString, stateKey);
    QFETCH(QString, value);
    QFETCH(bool, expected);

    QCOMPARE((SessionConfig::GetInstance()->*operation)(value), QStringLiteral("success"));
    const QJsonValue stored = state().value(stateKey);
    QVERIFY2(stored.isBool(), qPrintable(stateKey));
    QCOMPARE(stored.toBool(), expected);

    // A failing adaption call becomes the result text and changes nothing.
    QVERIFY(writeJson(faultsPath(), {{stateKey, QJsonObject{{QStringLiteral("status"), 7},
                                                            {QStringLiteral("count"), 1}}}}));
    QVERIFY((SessionConfig::GetInstance()->*operation)(value == QLatin1String("0") ? QStringLiteral("1")
                                                                                   : QStringLiteral("0"))
                .startsWith(QLatin1String("failed")));
    QCOMPARE(state().value(stateKey).toBool(), expected);
}

void TestSessionConfig::taskbarMode_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("mode");
    QTest::newRow("1") << "1" << "fashion";
    QTest::newRow("0") << "0" << "efficient";
    QTest::newRow("2") << "2" << "efficient";
    QTest::newRow("not a number") << "x" << "efficient";
}

void TestSessionConfig::taskbarMode()
{
    QFETCH(QString, value);
    QFETCH(QString, mode);
    QCOMPARE(SessionConfig::GetInstance()->setTaskbarMode(value), QStringLiteral("success"));
    QCOMPARE(state().value(QStringLiteral("SetDisplayMode")).toString(), mode);
}

void TestSessionConfig::hotspot()
{
    SessionConfig* config = SessionConfig::GetInstance();
    QCOMPARE(config->setHotspot(3), QStringLiteral("success"));
    QCOMPARE(state().value(QStringLiteral("SetHotspotEnable")).toInt(), 3);
    QCOMPARE(config->setHotspot(0), QStringLiteral("success"));
    QCOMPARE(state().value(QStringLiteral("SetHotspotEnable")).toInt(), 0);
    // The store refuses negative states; the refusal is the result.
    QVERIFY(config->setHotspot(-2).startsWith(QLatin1String("failed")));
}

void TestSessionConfig::screenSaveTimeOut_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("timeFails");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QJsonValue>("seconds");
    QTest::addColumn<QJsonValue>("lock");

    QTest::newRow("10 minutes") << "10" << false << "successsuccess" << QJsonValue(600)
                                << QJsonValue(true);
    QTest::newRow("0 minutes") << "0" << false << "successsuccess" << QJsonValue(0)
                               << QJsonValue(true);
    QTest::newRow("negative") << "-1" << false << "" << QJsonValue(QJsonValue::Undefined)
                              << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("time-out fails, no lock")
        << "10" << true << "failed (status 7): operation refused by the platform"
        << QJsonValue(QJsonValue::Undefined) << QJsonValue(QJsonValue::Undefined);
}

void TestSessionConfig::screenSaveTimeOut()
{
    QFETCH(QString, value);
    QFETCH(bool, timeFails);
    QFETCH(QString, result);
    QFETCH(QJsonValue, seconds);
    QFETCH(QJsonValue, lock);

    if (timeFails) {
        QVERIFY(writeJson(faultsPath(), {{QStringLiteral("SetScreenSaverTime"),
                                          QJsonObject{{QStringLiteral("status"), 7}}}}));
    }
    QCOMPARE(SessionConfig::GetInstance()->setScreenSaveTimeOut(value), result);
    QCOMPARE(state().value(QStringLiteral("SetScreenSaverTime")), seconds);
    QCOMPARE(state().value(QStringLiteral("SetLockScreenAtAwake")), lock);
}

void TestSessionConfig::screenSaverBg()
{
    const QString dir = m_dir.filePath(QStringLiteral("saverpic"));
    QVERIFY(QDir().mkpath(dir));
    QCOMPARE(SessionConfig::GetInstance()->setScreenSaverBg(dir), QStringLiteral("success"));
    QCOMPARE(state().value(QStringLiteral("SetScreenSaverPolicy")).toString(), dir + QLatin1Char('/'));
}

void TestSessionConfig::powerConfig_data()
{
    QTest::addColumn<QJsonObject>("current");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QJsonObject>("after");

    const QString all = QStringLiteral(
        "{\"batteryLock\":5,\"batteryScreen\":10,\"batterySleep\":30,"
        "\"powerLock\":10,\"powerScreen\":15,\"powerSleep\":60}");
    const QJsonObject inPlace = delays(300, 600, 1800, 600, 900, 3600);

    QTest::newRow("all equal") << inPlace << all
                               << "BatteryLockDelay success;BatterySleepDelayy success;"
                                  "PowerLockDelay success;PowerScreenBlackDelay success;"
                               << inPlace;
    QTest::newRow("all different") << delays(1, 1, 1, 1, 1, 1) << all
                                   << "successsuccesssuccesssuccesssuccesssuccess" << inPlace;
    QTest::newRow("screen and sleep equal")
        << delays(1, 600, 1, 1, 1, 3600) << all
        << "successsuccesssuccesssuccess" << inPlace;
    QTest::newRow("missing and non-numeric members are 0")
        << delays(60, 60, 60, 60, 60, 60)
        << "{\"batteryLock\":\"5\",\"powerSleep\":2}"
        << "successsuccesssuccesssuccesssuccesssuccess" << delays(0, 0, 0, 0, 0, 120);
    QTest::newRow("not json") << inPlace << "{batteryLock" << "" << inPlace;
    QTest::newRow("not an object") << inPlace << "[5]" << "" << inPlace;
}

void TestSessionConfig::powerConfig()
{
    QFETCH(QJsonObject, current);
    QFETCH(QString, value);
    QFETCH(QString, result);
    QFETCH(QJsonObject, after);

    QVERIFY(writeJson(statePath(), current));
    // Every setter would fail: a result without "failed" proves which were skipped.
    QJsonObject faults;
    for (auto it = after.begin(); it != after.end(); ++it) {
        if (current.value(it.key()) == it.value())
            faults.insert(it.key(), QJsonObject{{QStringLiteral("status"), 7}});
    }
    QVERIFY(writeJson(faultsPath(), faults));

    QCOMPARE(SessionConfig::GetInstance()->setPowerConfig(value), result);
    const QJsonObject now = state();
    for (auto it = after.begin(); it != after.end(); ++it)
        QCOMPARE(now.value(it.key()).toInt(), it.value().toInt());
}

void TestSessionConfig::controlCenter_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QJsonArray>("shown");
    QTest::newRow("two modules") << "[\"display\",\"sound\"]"
                                 << QJsonArray{QStringLiteral("display"), QStringLiteral("sound")};
    QTest::newRow("not an array") << "{\"a\":1}" << QJsonArray();
    QTest::newRow("not json") << "display" << QJsonArray();
}

void TestSessionConfig::controlCenter()
{
    QFETCH(QString, value);
    QFETCH(QJsonArray, shown);
    const QStringList all{QStringLiteral("display"), QStringLiteral("network"),
                          QStringLiteral("sound")};
    QCOMPARE(SessionConfig::GetInstance()->setControlCenter(all, value), QStringLiteral("success"));
    const QJsonObject stored = state().value(QStringLiteral("SetControlConfig")).toObject();
    QCOMPARE(stored.value(QStringLiteral("all")).toArray(), QJsonArray::fromStringList(all));
    QCOMPARE(stored.value(QStringLiteral("shown")).toArray(), shown);
    QCOMPARE(stored.value(QStringLiteral("apply")).toBool(), true);
}

void TestSessionConfig::webpageLinkArgumentOrder()
{
    QCOMPARE(SessionConfig::GetInstance()->setWebpageLink(QStringLiteral("Intranet"),
                                                          QStringLiteral("https://intranet.lab/"),
                                                          QStringLiteral("/icons/intranet.png")),
             QStringLiteral("success"));
    const QJsonArray links = state().value(QStringLiteral("CreateDesktopNetAddress")).toArray();
    QCOMPARE(links.size(), 1);
    const QJsonObject link = links.first().toObject();
    QCOMPARE(link.value(QStringLiteral("name")).toString(), QStringLiteral("Intranet"));
    QCOMPARE(link.value(QStringLiteral("icon")).toString(), QStringLiteral("/icons/intranet.png"));
    QCOMPARE(link.value(QStringLiteral("url")).toString(), QStringLiteral("https://intranet.lab/"));
}

void TestSessionConfig::backgroundAtOnce()
{
    const QString path = picture(QStringLiteral("at-once.png"));
    QVERIFY(!path.isEmpty());
    QCOMPARE(SessionConfig::GetInstance()->setBackground(path), QStringLiteral("success"));
    QVERIFY(!QFile::exists(path));
    QCOMPARE(state().value(QStringLiteral("SetMonitorBackground")).toObject()
                 .value(QStringLiteral("eDP-1")).toString(),
             path);
    QCOMPARE(SessionConfig::backgroundRetryCount(), 0);
}

void TestSessionConfig::backgroundRetry()
{
    // Twice in a row: the second retry must start counting from 0 again.
    for (int round = 0; round < 2; ++round) {
        vorn::test::LogCapture log;
        const QString path = picture(QStringLiteral("retry-%1.png").arg(round));
        QVERIFY(!path.isEmpty());
        QVERIFY(writeJson(faultsPath(), {{QStringLiteral("SetMonitorBackground"),
                                          QJsonObject{{QStringLiteral("status"), 7},
                                                      {QStringLiteral("count"), 1}}}}));

        const QString result = SessionConfig::GetInstance()->setBackground(path);
        QVERIFY2(result.startsWith(QLatin1String("failed")), qPrintable(result));
        QVERIFY(QFile::exists(path));
        QVERIFY(!state().contains(QStringLiteral("SetMonitorBackground")) || round > 0);

        // The first tick comes 5 s later and succeeds.
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(path), 8000);
        QCOMPARE(state().value(QStringLiteral("SetMonitorBackground")).toObject()
                     .value(QStringLiteral("eDP-1")).toString(),
                 path);
        QCOMPARE(SessionConfig::backgroundRetryCount(), 0);
        QCOMPARE(log.count(QStringLiteral("set wallpaper end, count: 1 ")), 1);
        QCOMPARE(log.count(QStringLiteral("set wallpaper failed again")), 0);
    }
}

QTEST_GUILESS_MAIN(TestSessionConfig)
#include "tst_sessionconfig.moc"
