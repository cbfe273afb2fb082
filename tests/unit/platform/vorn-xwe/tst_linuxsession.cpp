// The linux backend's desktop settings through GSettings with the key-file backend and the
// real compiled GNOME schemas, read back with the gsettings tool; desktop links checked
// with desktop-file-validate.

#include "platformlab.h"

#include "errorsdescription.h"
#include "vornsessioninterface.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUrl>
#include <QtTest>

#include <cstdio>
#include <functional>

using Call = std::function<int(VornSessionInterface*)>;
Q_DECLARE_METATYPE(Call)

namespace {

QString gsettings(const QString& schema, const QString& key)
{
    return QString::fromUtf8(PlatformLab::run(QStringLiteral("gsettings"), {QStringLiteral("get"), schema, key})).trimmed();
}

const QString kSession = QStringLiteral("org.gnome.desktop.session");
const QString kSaver = QStringLiteral("org.gnome.desktop.screensaver");
const QString kPower = QStringLiteral("org.gnome.settings-daemon.plugins.power");
const QString kBackground = QStringLiteral("org.gnome.desktop.background");

} // namespace

class TestLinuxSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void mappedKeys_data();
    void mappedKeys();
    void sleepCanBeSwitchedOff_data();
    void sleepCanBeSwitchedOff();
    void chosenSleepActionStays();
    void wallpaper();
    void screenShieldPicture();
    void desktopLinks();
    void unsupported_data();
    void unsupported();
    void missingSchemaIsNotSupported();

private:
    // This test program run as a child: mode "schema" or "sleep" (see main).
    QString runChild(const QString& mode, const QList<QPair<QString, QString>>& env) const;

    PlatformLab m_lab{{}};
    VornSessionInterface* m_session = nullptr;
};

void TestLinuxSession::initTestCase()
{
    QVERIFY(m_lab.isValid());
    if (gsettings(kPower, QStringLiteral("sleep-inactive-ac-type")).isEmpty())
        QFAIL("the GNOME schemas are not installed (gsettings-desktop-schemas, gnome-settings-daemon-common)");
    m_session = VornSessionInterface::Instance();
}

void TestLinuxSession::mappedKeys_data()
{
    QTest::addColumn<Call>("set");
    QTest::addColumn<Call>("get");
    QTest::addColumn<QString>("schema");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    const Call none;
    QTest::newRow("screen saver") << Call([](VornSessionInterface* s) { return s->SetScreenSaverTime(600); }) << none
                                  << kSession << "idle-delay" << "uint32 600";
    QTest::newRow("lock at wake") << Call([](VornSessionInterface* s) { return s->SetLockScreenAtAwake(false); })
                                  << none << kSaver << "lock-enabled" << "false";
    QTest::newRow("power lock") << Call([](VornSessionInterface* s) { return s->SetPowerLockDelay(120); })
                                << Call([](VornSessionInterface* s) { return s->GetPowerLockDelay(); }) << kSaver
                                << "lock-delay" << "uint32 120";
    QTest::newRow("battery lock") << Call([](VornSessionInterface* s) { return s->SetBatteryLockDelay(60); })
                                  << Call([](VornSessionInterface* s) { return s->GetBatteryLockDelay(); }) << kSaver
                                  << "lock-delay" << "uint32 60";
    QTest::newRow("power blank") << Call([](VornSessionInterface* s) { return s->SetPowerScreenBlackDelay(900); })
                                 << Call([](VornSessionInterface* s) { return s->GetPowerScreenBlackDelay(); })
                                 << kSession << "idle-delay" << "uint32 900";
    QTest::newRow("battery blank") << Call([](VornSessionInterface* s) { return s->SetBatteryScreenBlackDelay(300); })
                                   << Call([](VornSessionInterface* s) { return s->GetBatteryScreenBlackDelay(); })
                                   << kSession << "idle-delay" << "uint32 300";
    QTest::newRow("power sleep") << Call([](VornSessionInterface* s) { return s->SetPowerSleepDelay(3600); })
                                 << Call([](VornSessionInterface* s) { return s->GetPowerSleepDelay(); }) << kPower
                                 << "sleep-inactive-ac-timeout" << "3600";
    QTest::newRow("battery sleep") << Call([](VornSessionInterface* s) { return s->SetBatterySleepDelay(1800); })
                                   << Call([](VornSessionInterface* s) { return s->GetBatterySleepDelay(); })
                                   << kPower << "sleep-inactive-battery-timeout" << "1800";
}

void TestLinuxSession::mappedKeys()
{
    QFETCH(Call, set);
    QFETCH(Call, get);
    QFETCH(QString, schema);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QCOMPARE(set(m_session), 0);
    QCOMPARE(gsettings(schema, key), expected);
    if (get)
        QCOMPARE(QString::number(get(m_session)), expected.section(QLatin1Char(' '), -1));
}

void TestLinuxSession::sleepCanBeSwitchedOff_data()
{
    QTest::addColumn<bool>("battery");
    QTest::newRow("power") << false;
    QTest::newRow("battery") << true;
}

void TestLinuxSession::sleepCanBeSwitchedOff()
{
    QFETCH(bool, battery);
    const QString type = battery ? QStringLiteral("sleep-inactive-battery-type") : QStringLiteral("sleep-inactive-ac-type");
    auto set = [&](int seconds) {
        return battery ? m_session->SetBatterySleepDelay(seconds) : m_session->SetPowerSleepDelay(seconds);
    };
    auto get = [&] { return battery ? m_session->GetBatterySleepDelay() : m_session->GetPowerSleepDelay(); };
    QCOMPARE(set(0), 0);
    QCOMPARE(gsettings(kPower, type), QStringLiteral("'nothing'"));
    QCOMPARE(get(), 0);
    QCOMPARE(set(1200), 0);
    QCOMPARE(gsettings(kPower, type), QStringLiteral("'suspend'"));
    QCOMPARE(get(), 1200);
}

void TestLinuxSession::chosenSleepActionStays()
{
    // Set before the process starts: a key-file backend reads other writers only at start
    // or from its main loop.
    const QString config = m_lab.dir() + QStringLiteral("/child-config");
    QVERIFY(PlatformLab::writeFile(config + QStringLiteral("/glib-2.0/settings/keyfile"),
                                   "[org/gnome/settings-daemon/plugins/power]\n"
                                   "sleep-inactive-ac-type='hibernate'\n"));
    QCOMPARE(runChild(QStringLiteral("sleep"), {{QStringLiteral("XDG_CONFIG_HOME"), config}}), QStringLiteral("0 600\n"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    const QString type = gsettings(kPower, QStringLiteral("sleep-inactive-ac-type"));
    const QString timeout = gsettings(kPower, QStringLiteral("sleep-inactive-ac-timeout"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_lab.dir() + QStringLiteral("/config")));
    QCOMPARE(type, QStringLiteral("'hibernate'"));
    QCOMPARE(timeout, QStringLiteral("600"));
}

void TestLinuxSession::wallpaper()
{
    const QString first = m_lab.dir() + QStringLiteral("/tmp/sea.png");
    const QString second = m_lab.dir() + QStringLiteral("/tmp/hills.png");
    QVERIFY(PlatformLab::writeFile(first, "sea"));
    QVERIFY(PlatformLab::writeFile(second, "hills"));

    QCOMPARE(m_session->SetMonitorBackground(m_session->GetPrimaryScreenMonitorName(), first), 0);
    QVERIFY(QFile::remove(first)); // what the agent does after success
    const QString uri = gsettings(kBackground, QStringLiteral("picture-uri"));
    QCOMPARE(gsettings(kBackground, QStringLiteral("picture-uri-dark")), uri);
    QVERIFY2(uri.startsWith(QLatin1String("'file://")), qPrintable(uri));
    const QString kept = QUrl(uri.mid(1, uri.size() - 2)).toLocalFile();
    QCOMPARE(PlatformLab::readAll(kept), QByteArray("sea"));
    QVERIFY(kept.startsWith(m_lab.dir() + QStringLiteral("/state/vorn-xwe/files/")));

    // A new picture gets a new URI (GNOME reloads on change) and the old copy goes.
    QCOMPARE(m_session->SetMonitorBackground(QStringLiteral("eDP-1"), second), 0);
    const QString next = gsettings(kBackground, QStringLiteral("picture-uri"));
    QVERIFY(next != uri);
    QCOMPARE(PlatformLab::readAll(QUrl(next.mid(1, next.size() - 2)).toLocalFile()), QByteArray("hills"));
    QVERIFY(!QFile::exists(kept));
    QCOMPARE(m_session->SetMonitorBackground(QStringLiteral("eDP-1"), first), 2);
}

void TestLinuxSession::screenShieldPicture()
{
    const QString dir = m_lab.home() + QStringLiteral("/.config/kestal/kestal-screensaver/saverpic/vorn");
    QVERIFY(PlatformLab::writeFile(dir + QStringLiteral("/lock.jpg"), "lock"));
    QCOMPARE(m_session->SetScreenSaverPolicy(dir + QLatin1Char('/')), 0);
    const QString uri = gsettings(kSaver, QStringLiteral("picture-uri"));
    QCOMPARE(PlatformLab::readAll(QUrl(uri.mid(1, uri.size() - 2)).toLocalFile()), QByteArray("lock"));
    QVERIFY(QFile::remove(dir + QStringLiteral("/lock.jpg")));
    QCOMPARE(m_session->SetScreenSaverPolicy(dir + QLatin1Char('/')), 2);
}

void TestLinuxSession::desktopLinks()
{
    const QString icon = m_lab.home() + QStringLiteral("/.local/share/icons/webpageIcon/intranet.png");
    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("Intranet"), icon, QStringLiteral("https://intranet.lab/")), 0);
    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("../Help\ndesk"), QString(), QStringLiteral("https://help.lab/")), 0);
    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("Intranet"), icon, QStringLiteral("https://intranet2.lab/")), 0);

    const QString desktop = m_lab.home() + QStringLiteral("/Desktop");
    QStringList files = QDir(desktop).entryList(QDir::Files);
    files.sort();
    QCOMPARE(files, (QStringList{"Intranet.desktop", "_._Help_desk.desktop"}));
    const QString entry = desktop + QStringLiteral("/Intranet.desktop");
    QCOMPARE(PlatformLab::readAll(entry), ("[Desktop Entry]\nVersion=1.0\nType=Link\nName=Intranet\n"
                                           "URL=https://intranet2.lab/\nIcon=" + icon + "\n").toUtf8());
    for (const QString& file : QDir(desktop).entryList(QDir::Files)) {
        QVERIFY2(!PlatformLab::run(QStringLiteral("desktop-file-validate"), {desktop + QLatin1Char('/') + file}).isNull(),
                 qPrintable(file));
    }
    QVERIFY(PlatformLab::readAll(desktop + QStringLiteral("/_._Help_desk.desktop")).contains("\nName=../Help\\ndesk\n"));
}

void TestLinuxSession::unsupported_data()
{
    QTest::addColumn<Call>("set");
    QTest::newRow("recycle bin") << Call([](VornSessionInterface* s) { return s->SetRecycleBinDisplayable(true); });
    QTest::newRow("shortcut keys") << Call([](VornSessionInterface* s) { return s->SetShortcutKeyEnable(false); });
    QTest::newRow("taskbar apps") << Call([](VornSessionInterface* s) { return s->SetResidentTaskbarAppDisplayable(true); });
    QTest::newRow("launcher") << Call([](VornSessionInterface* s) { return s->SetLauncherDisplayable(true); });
    QTest::newRow("right-click menu") << Call([](VornSessionInterface* s) { return s->SetTaskbarRightclickMenuEnable(true); });
    QTest::newRow("network tray") << Call([](VornSessionInterface* s) { return s->SetWebTrayIconClickable(true); });
    QTest::newRow("usb tray") << Call([](VornSessionInterface* s) { return s->SetUsbTrayIconClickable(true); });
    QTest::newRow("display mode") << Call([](VornSessionInterface* s) { return s->SetDisplayMode(QStringLiteral("fashion")); });
    QTest::newRow("hotspot") << Call([](VornSessionInterface* s) { return s->SetHotspotEnable(0); });
    QTest::newRow("control centre") << Call([](VornSessionInterface* s) {
        return s->SetControlConfig({QStringLiteral("display")}, {QStringLiteral("display")}, true);
    });
}

void TestLinuxSession::unsupported()
{
    QFETCH(Call, set);
    const int status = set(m_session);
    QCOMPARE(status, 8);
    QVERIFY(ErrorsDescription::toErrorDescription(status).startsWith(QLatin1String("failed")));
}

QString TestLinuxSession::runChild(const QString& mode, const QList<QPair<QString, QString>>& env) const
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_STATE_HOME"), m_lab.dir() + QStringLiteral("/child-state-") + mode);
    for (const auto& variable : env)
        environment.insert(variable.first, variable.second);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), mode});
    if (!child.waitForFinished(30000) || child.exitStatus() != QProcess::NormalExit)
        return QString();
    return QString::fromUtf8(child.readAllStandardOutput());
}

void TestLinuxSession::missingSchemaIsNotSupported()
{
    // GIO aborts a process that opens an unknown schema: a desktop without GNOME's schemas
    // must get a status instead. A child with no schemas at all shows it.
    const QString none = m_lab.dir() + QStringLiteral("/no-schemas");
    QCOMPARE(runChild(QStringLiteral("schema"), {{QStringLiteral("XDG_DATA_DIRS"), none},
                                                 {QStringLiteral("XDG_DATA_HOME"), none}}),
             QStringLiteral("8 8 0\n"));
}

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--child") == 0) {
        VornSessionInterface* session = VornSessionInterface::Instance();
        if (qstrcmp(argv[2], "sleep") == 0) {
            const int sleep = session->SetPowerSleepDelay(600);
            std::printf("%d %d\n", sleep, session->GetPowerSleepDelay());
            return 0;
        }
        const int time = session->SetScreenSaverTime(60);
        const int sleep = session->SetPowerSleepDelay(60);
        std::printf("%d %d %d\n", time, sleep, session->GetPowerSleepDelay());
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestLinuxSession test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_linuxsession.moc"
