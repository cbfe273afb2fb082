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
const QStringList kShortcutSchemas{"org.gnome.desktop.wm.keybindings", "org.gnome.shell.keybindings",
                                   "org.gnome.mutter.keybindings", "org.gnome.mutter.wayland.keybindings",
                                   "org.gnome.settings-daemon.plugins.media-keys"};

void gsettingsSet(const QString& schema, const QString& key, const QString& value)
{
    QVERIFY(!PlatformLab::run(QStringLiteral("gsettings"), {QStringLiteral("set"), schema, key, value}).isNull());
}

QString gsettingsIn(const QString& config, const QString& schema, const QString& key)
{
    const QByteArray own = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    const QString value = gsettings(schema, key);
    qputenv("XDG_CONFIG_HOME", own);
    return value;
}

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
    void screenShieldPictureHasNoCounterpart();
    void desktopLinks();
    void desktopLinksOnDrawnDesktop();
    void noSuchSetting_data();
    void noSuchSetting();
    void extensionSwitches_data();
    void extensionSwitches();
    void shortcutKeysComeBack();
    void favouritesComeBack();
    void heldKeyIsPutBack();
    void controlCentrePanels();
    void giveBackEndsEverything();
    void missingSchemaIsNotSupported();
    void withoutExtensionsNotSupported();
    void userValuesSurviveARestart();
    void holdsSurviveARestart();

private:
    // Every shortcut schema's keys and values, and the overlay key, as gsettings lists them.
    QString shortcutSnapshot() const;
    // This test program run as a child: mode "schema" or "sleep" (see main).
    QString runChild(const QString& mode, const QList<QPair<QString, QString>>& env) const;

    PlatformLab m_lab{{}};
    VornSessionInterface* m_session = nullptr;
};

void TestLinuxSession::initTestCase()
{
    QVERIFY(m_lab.isValid());
    // The dock's and desktop icons' schemas, as ./run compiles them for the lab.
    const QString extensions = qEnvironmentVariable("VORN_BUILD_DIR") + QStringLiteral("/lab-schemas");
    if (!QFile::exists(extensions + QStringLiteral("/gschemas.compiled")))
        QFAIL("no extension schemas in the build directory (tools/lab/extension-schemas.sh)");
    qputenv("GSETTINGS_SCHEMA_DIR", QFile::encodeName(extensions));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_lab.home() + QStringLiteral("/.local/share")));
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

void TestLinuxSession::screenShieldPictureHasNoCounterpart()
{
    // The shell draws its lock screen from the desktop background: no key to set.
    const QString dir = m_lab.home() + QStringLiteral("/.config/kestal/kestal-screensaver/saverpic/vorn");
    QVERIFY(PlatformLab::writeFile(dir + QStringLiteral("/lock.jpg"), "lock"));
    const QString before = gsettings(kSaver, QStringLiteral("picture-uri"));
    QCOMPARE(m_session->SetScreenSaverPolicy(dir + QLatin1Char('/')), 10);
    QCOMPARE(gsettings(kSaver, QStringLiteral("picture-uri")), before);
    QVERIFY(QFile::remove(dir + QStringLiteral("/lock.jpg")));
}

void TestLinuxSession::desktopLinks()
{
    const QString icon = m_lab.home() + QStringLiteral("/.local/share/icons/webpageIcon/intranet.png");
    const QString desktop = m_lab.home() + QStringLiteral("/Desktop");
    // What an earlier version left on the desktop, which GNOME never showed.
    const QByteArray oldLink = "[Desktop Entry]\nVersion=1.0\nType=Link\nName=Intranet\nURL=https://intranet2.lab/\nIcon="
        + icon.toUtf8() + "\n";
    QVERIFY(PlatformLab::writeFile(desktop + QStringLiteral("/Intranet.desktop"), oldLink));

    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("Intranet"), icon, QStringLiteral("https://intranet.lab/")), 0);
    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("../Help\ndesk"), QString(), QStringLiteral("https://help.lab/a$b?c=%41")), 0);
    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("Intranet"), icon, QStringLiteral("https://intranet2.lab/")), 0);
    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("Script"), QString(), QStringLiteral("javascript:alert(1)")), 1);

    const QString apps = m_lab.home() + QStringLiteral("/.local/share/applications");
    const QStringList files = QDir(apps).entryList({QStringLiteral("vorn-weblink-*.desktop")}, QDir::Files);
    QCOMPARE(files.size(), 2);
    QByteArray intranet;
    QByteArray help;
    for (const QString& file : files) {
        const QString path = apps + QLatin1Char('/') + file;
        QVERIFY2(!PlatformLab::run(QStringLiteral("desktop-file-validate"), {path}).isNull(), qPrintable(file));
        const QByteArray text = PlatformLab::readAll(path);
        (text.contains("Name=Intranet\n") ? intranet : help) = text;
    }
    QCOMPARE(intranet, ("[Desktop Entry]\nVersion=1.0\nType=Application\nName=Intranet\n"
                        "Exec=xdg-open \"https://intranet2.lab/\"\nTerminal=false\nIcon=" + icon + "\n").toUtf8());
    // Quoted for Exec (\$, %%), then string-escaped (\\).
    QVERIFY2(help.contains("\nName=../Help\\ndesk\n"), help.constData());
    QVERIFY2(help.contains("\nExec=xdg-open \"https://help.lab/a\\\\$b?c=%%41\"\n"), help.constData());
    // No desktop-icons extension runs: nothing on the desktop, the old link gone.
    QCOMPARE(QDir(desktop).entryList(QDir::Files), QStringList());

    // A file taken away comes back at the next application.
    QVERIFY(QFile::remove(apps + QLatin1Char('/') + files.first()));
    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("Intranet"), icon, QStringLiteral("https://intranet2.lab/")), 0);
    QCOMPARE(m_session->CreateDesktopNetAddress(QStringLiteral("../Help\ndesk"), QString(), QStringLiteral("https://help.lab/a$b?c=%41")), 0);
    QCOMPARE(QDir(apps).entryList({QStringLiteral("vorn-weblink-*.desktop")}, QDir::Files), files);
}

void TestLinuxSession::desktopLinksOnDrawnDesktop()
{
    const QString config = m_lab.dir() + QStringLiteral("/ding-config");
    QVERIFY(PlatformLab::writeFile(config + QStringLiteral("/glib-2.0/settings/keyfile"),
                                   "[org/gnome/shell]\nenabled-extensions=['ding@rastersoft.com']\n"));
    QCOMPARE(runChild(QStringLiteral("ding"), {{QStringLiteral("XDG_CONFIG_HOME"), config},
                                               {QStringLiteral("XDG_DATA_HOME"), m_lab.dir() + QStringLiteral("/ding-data")}}),
             QStringLiteral("0\n"));
    const QString link = m_lab.home() + QStringLiteral("/Desktop/Wiki.desktop");
    QCOMPARE(PlatformLab::fileMode(link), 0755);
    QVERIFY(PlatformLab::readAll(link).contains("\nType=Application\nName=Wiki\nExec=xdg-open \"https://wiki.lab/\"\n"));
    QVERIFY(!PlatformLab::run(QStringLiteral("desktop-file-validate"), {link}).isNull());
    QVERIFY(QFile::remove(link));
}

void TestLinuxSession::noSuchSetting_data()
{
    QTest::addColumn<Call>("set");
    QTest::newRow("right-click menu") << Call([](VornSessionInterface* s) { return s->SetTaskbarRightclickMenuEnable(false); });
    QTest::newRow("network tray") << Call([](VornSessionInterface* s) { return s->SetWebTrayIconClickable(false); });
    QTest::newRow("hotspot off") << Call([](VornSessionInterface* s) { return s->SetHotspotEnable(0); });
    QTest::newRow("hotspot on") << Call([](VornSessionInterface* s) { return s->SetHotspotEnable(1); });
}

void TestLinuxSession::noSuchSetting()
{
    QFETCH(Call, set);
    const int status = set(m_session);
    QCOMPARE(ErrorsDescription::toErrorDescription(status), QStringLiteral("failed (status 10): this desktop has no such setting"));
}

void TestLinuxSession::extensionSwitches_data()
{
    QTest::addColumn<Call>("set");
    QTest::addColumn<QStringList>("keys"); // schema, key, value after
    const QString dock = QStringLiteral("org.gnome.shell.extensions.dash-to-dock");
    const QString ding = QStringLiteral("org.gnome.shell.extensions.ding");
    QTest::newRow("trash") << Call([](VornSessionInterface* s) { return s->SetRecycleBinDisplayable(false); })
                           << QStringList{ding, "show-trash", "false", dock, "show-trash", "false"};
    QTest::newRow("launcher") << Call([](VornSessionInterface* s) { return s->SetLauncherDisplayable(false); })
                              << QStringList{dock, "show-show-apps-button", "false"};
    QTest::newRow("usb") << Call([](VornSessionInterface* s) { return s->SetUsbTrayIconClickable(false); })
                         << QStringList{dock, "show-mounts", "false", ding, "show-volumes", "false"};
    QTest::newRow("efficient") << Call([](VornSessionInterface* s) { return s->SetDisplayMode(QStringLiteral("efficient")); })
                               << QStringList{dock, "extend-height", "true"};
    QTest::newRow("fashion") << Call([](VornSessionInterface* s) { return s->SetDisplayMode(QStringLiteral("fashion")); })
                             << QStringList{dock, "extend-height", "false"};
    QTest::newRow("trash shown") << Call([](VornSessionInterface* s) { return s->SetRecycleBinDisplayable(true); })
                                 << QStringList{ding, "show-trash", "true", dock, "show-trash", "true"};
}

void TestLinuxSession::extensionSwitches()
{
    QFETCH(Call, set);
    QFETCH(QStringList, keys);
    QCOMPARE(set(m_session), 0);
    for (int i = 0; i + 2 < keys.size(); i += 3)
        QCOMPARE(gsettings(keys.at(i), keys.at(i + 1)), keys.at(i + 2));
}

QString TestLinuxSession::shortcutSnapshot() const
{
    QString all;
    for (const QString& schema : kShortcutSchemas)
        all += QString::fromUtf8(PlatformLab::run(QStringLiteral("gsettings"), {QStringLiteral("list-recursively"), schema}));
    return all + gsettings(QStringLiteral("org.gnome.mutter"), QStringLiteral("overlay-key"));
}

void TestLinuxSession::shortcutKeysComeBack()
{
    const QString before = shortcutSnapshot();
    QVERIFY(before.contains(QLatin1String("'<Alt>F4'")));
    QCOMPARE(m_session->SetShortcutKeyEnable(false), 0);
    const QString off = shortcutSnapshot();
    // Every list key of every schema is empty, whatever this GNOME's keys are.
    int lists = 0;
    for (const QString& line : off.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString value = line.section(QLatin1Char(' '), 2);
        if (value.startsWith(QLatin1Char('[')) || value.startsWith(QLatin1String("@as"))) {
            QCOMPARE(value, QStringLiteral("@as []"));
            ++lists;
        }
    }
    QVERIFY2(lists > 100, qPrintable(QString::number(lists)));
    QVERIFY(off.endsWith(QLatin1String("''")));
    const QString dock = QStringLiteral("org.gnome.shell.extensions.dash-to-dock");
    QCOMPARE(gsettings(dock, QStringLiteral("hot-keys")), QStringLiteral("false"));
    QCOMPARE(m_session->SetShortcutKeyEnable(true), 0);
    QCOMPARE(shortcutSnapshot(), before);
    QCOMPARE(gsettings(dock, QStringLiteral("hot-keys")), QStringLiteral("true"));
}

void TestLinuxSession::favouritesComeBack()
{
    const QString dock = QStringLiteral("org.gnome.shell.extensions.dash-to-dock");
    const QString before = gsettings(QStringLiteral("org.gnome.shell"), QStringLiteral("favorite-apps"));
    QVERIFY(before.contains(QLatin1String(".desktop'")));
    QCOMPARE(m_session->SetResidentTaskbarAppDisplayable(false), 0);
    QCOMPARE(gsettings(QStringLiteral("org.gnome.shell"), QStringLiteral("favorite-apps")), QStringLiteral("@as []"));
    QCOMPARE(gsettings(dock, QStringLiteral("show-favorites")), QStringLiteral("false"));
    QCOMPARE(m_session->SetResidentTaskbarAppDisplayable(false), 0); // a second time keeps the user's list
    QCOMPARE(m_session->SetResidentTaskbarAppDisplayable(true), 0);
    QCOMPARE(gsettings(QStringLiteral("org.gnome.shell"), QStringLiteral("favorite-apps")), before);
    QCOMPARE(gsettings(dock, QStringLiteral("show-favorites")), QStringLiteral("true"));
}

void TestLinuxSession::heldKeyIsPutBack()
{
    const QString shell = QStringLiteral("org.gnome.shell");
    const QString dock = QStringLiteral("org.gnome.shell.extensions.dash-to-dock");
    QCOMPARE(m_session->SetResidentTaskbarAppDisplayable(false), 0);
    QCOMPARE(m_session->SetLauncherDisplayable(false), 0);
    QCOMPARE(m_session->SetScreenSaverTime(480), 0);

    // Another writer (the user in Settings): back without any call into the library.
    gsettingsSet(shell, QStringLiteral("favorite-apps"), QStringLiteral("['mine.desktop']"));
    gsettingsSet(kSession, QStringLiteral("idle-delay"), QStringLiteral("60"));
    QTRY_COMPARE_WITH_TIMEOUT(gsettings(shell, QStringLiteral("favorite-apps")), QStringLiteral("@as []"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(gsettings(kSession, QStringLiteral("idle-delay")), QStringLiteral("uint32 480"), 10000);

    // A document without the favourites lets them go; the launcher stays held.
    QCOMPARE(m_session->HoldSettings({QStringLiteral("SetLauncherDisplayable")}), 0);
    gsettingsSet(shell, QStringLiteral("favorite-apps"), QStringLiteral("['mine.desktop']"));
    gsettingsSet(kSession, QStringLiteral("idle-delay"), QStringLiteral("60"));
    gsettingsSet(dock, QStringLiteral("show-show-apps-button"), QStringLiteral("true"));
    QTRY_COMPARE_WITH_TIMEOUT(gsettings(dock, QStringLiteral("show-show-apps-button")), QStringLiteral("false"), 10000);
    QCOMPARE(gsettings(shell, QStringLiteral("favorite-apps")), QStringLiteral("['mine.desktop']"));
    QCOMPARE(gsettings(kSession, QStringLiteral("idle-delay")), QStringLiteral("uint32 60"));
    QCOMPARE(m_session->SetResidentTaskbarAppDisplayable(true), 0);
}

void TestLinuxSession::controlCentrePanels()
{
    const QString apps = m_lab.home() + QStringLiteral("/.local/share/applications/");
    auto panel = [&](const QString& id) { return apps + QStringLiteral("gnome-") + id + QStringLiteral("-panel.desktop"); };
    const QByteArray own = "[Desktop Entry]\nType=Application\nName=My sound\nExec=true\n";
    QVERIFY(PlatformLab::writeFile(panel(QStringLiteral("sound")), own));

    const QStringList all{"display", "network", "sound", "update"};
    // "update" has no GNOME panel: the rest is hidden, and the status says it is not all.
    QCOMPARE(m_session->SetControlConfig(all, {QStringLiteral("display")}, true), 9);
    for (const QString id : {"network", "wifi", "wwan", "sound"}) {
        QVERIFY2(PlatformLab::readAll(panel(id)).contains("\nHidden=true\n"), qPrintable(id));
        QVERIFY(!PlatformLab::run(QStringLiteral("desktop-file-validate"), {panel(id)}).isNull());
    }
    QVERIFY(!QFile::exists(panel(QStringLiteral("display"))));

    // Shown again: the overrides go, the user's own file is back.
    QCOMPARE(m_session->SetControlConfig(all, {"display", "network", "sound", "update"}, true), 0);
    QVERIFY(!QFile::exists(panel(QStringLiteral("wifi"))));
    QCOMPARE(PlatformLab::readAll(panel(QStringLiteral("sound"))), own);

    QCOMPARE(m_session->SetControlConfig({QStringLiteral("display")}, {}, true), 0);
    QVERIFY(QFile::exists(panel(QStringLiteral("display"))));
    QVERIFY(QFile::remove(panel(QStringLiteral("display"))));
    QCOMPARE(m_session->SetControlConfig({QStringLiteral("display")}, {}, true), 0); // comes back
    QVERIFY(QFile::exists(panel(QStringLiteral("display"))));
    QCOMPARE(m_session->SetControlConfig({QStringLiteral("display")}, {QString()}, false), 0);
    QVERIFY(!QFile::exists(panel(QStringLiteral("display"))));
    QCOMPARE(PlatformLab::readAll(panel(QStringLiteral("sound"))), own);

    // GNOME Settings 48's own entries installed: the accounts and the system information are
    // hidden through its panel names; the default applications have no panel of their own.
    const QString system = m_lab.home() + QStringLiteral("/system-data");
    for (const QString id : {"users", "online-accounts", "about", "applications", "display"})
        QVERIFY(PlatformLab::writeFile(system + QStringLiteral("/applications/gnome-") + id
                                           + QStringLiteral("-panel.desktop"),
                                       "[Desktop Entry]\nType=Application\nName=" + id.toUtf8() + "\n"));
    const QByteArray dataDirs = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_DIRS", QFile::encodeName(system));
    const int withDefaultApps = m_session->SetControlConfig({"accounts", "info", "defapp"}, {}, true);
    const int withoutDefaultApps = m_session->SetControlConfig({"accounts", "info"}, {}, true);
    qputenv("XDG_DATA_DIRS", dataDirs);
    QCOMPARE(withDefaultApps, 9);
    QCOMPARE(withoutDefaultApps, 0);
    for (const QString id : {"users", "about"})
        QVERIFY2(PlatformLab::readAll(panel(id)).contains("\nHidden=true\n"), qPrintable(id));
    QCOMPARE(m_session->SetControlConfig({"accounts", "info"}, {"accounts", "info"}, true), 0);
    QVERIFY(!QFile::exists(panel(QStringLiteral("users"))));
}

void TestLinuxSession::giveBackEndsEverything()
{
    const QString shell = QStringLiteral("org.gnome.shell");
    const QString ding = QStringLiteral("org.gnome.shell.extensions.ding");
    const QString shortcuts = shortcutSnapshot();
    const QString favourites = gsettings(shell, QStringLiteral("favorite-apps"));
    QCOMPARE(m_session->SetShortcutKeyEnable(false), 0);
    QCOMPARE(m_session->SetResidentTaskbarAppDisplayable(false), 0);
    QCOMPARE(m_session->SetRecycleBinDisplayable(false), 0);
    QCOMPARE(m_session->SetControlConfig({QStringLiteral("power")}, {}, true), 0);
    const QString power = m_lab.home() + QStringLiteral("/.local/share/applications/gnome-power-panel.desktop");
    QVERIFY(QFile::exists(power));

    QCOMPARE(m_session->GiveBackSettings(), 0);
    QCOMPARE(shortcutSnapshot(), shortcuts);
    QCOMPARE(gsettings(shell, QStringLiteral("favorite-apps")), favourites);
    QCOMPARE(gsettings(ding, QStringLiteral("show-trash")), QStringLiteral("true"));
    QVERIFY(!QFile::exists(power));

    // Nothing is held any more: a key held after this is put back, the others stay.
    QCOMPARE(m_session->SetScreenSaverTime(360), 0);
    gsettingsSet(shell, QStringLiteral("favorite-apps"), QStringLiteral("['mine.desktop']"));
    gsettingsSet(kSession, QStringLiteral("idle-delay"), QStringLiteral("60"));
    QTRY_COMPARE_WITH_TIMEOUT(gsettings(kSession, QStringLiteral("idle-delay")), QStringLiteral("uint32 360"), 10000);
    QCOMPARE(gsettings(shell, QStringLiteral("favorite-apps")), QStringLiteral("['mine.desktop']"));
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

void TestLinuxSession::withoutExtensionsNotSupported()
{
    const QString none = m_lab.dir() + QStringLiteral("/no-extensions");
    QCOMPARE(runChild(QStringLiteral("extensions"), {{QStringLiteral("GSETTINGS_SCHEMA_DIR"), none}}),
             QStringLiteral("8 8 8 8 0\n"));
}

void TestLinuxSession::userValuesSurviveARestart()
{
    // The user's own shortcut, kept by one process and given back by the next.
    const QString config = m_lab.dir() + QStringLiteral("/restart-config");
    const QString state = m_lab.dir() + QStringLiteral("/restart-state");
    const QString wm = QStringLiteral("org.gnome.desktop.wm.keybindings");
    QVERIFY(PlatformLab::writeFile(config + QStringLiteral("/glib-2.0/settings/keyfile"),
                                   "[org/gnome/desktop/wm/keybindings]\nclose=['<Super>q']\n"));
    const QList<QPair<QString, QString>> env{{QStringLiteral("XDG_CONFIG_HOME"), config},
                                             {QStringLiteral("XDG_STATE_HOME"), state}};
    QCOMPARE(runChild(QStringLiteral("shortcuts-off"), env), QStringLiteral("0\n"));
    QCOMPARE(gsettingsIn(config, wm, QStringLiteral("close")), QStringLiteral("@as []"));
    QCOMPARE(runChild(QStringLiteral("shortcuts-on"), env), QStringLiteral("0\n"));
    QCOMPARE(gsettingsIn(config, wm, QStringLiteral("close")), QStringLiteral("['<Super>q']"));
    QCOMPARE(gsettingsIn(config, wm, QStringLiteral("minimize")), gsettings(wm, QStringLiteral("minimize")));
}

void TestLinuxSession::holdsSurviveARestart()
{
    // Changed while no agent ran: the next process puts it back as soon as it starts.
    const QString config = m_lab.dir() + QStringLiteral("/hold-config");
    const QList<QPair<QString, QString>> env{{QStringLiteral("XDG_CONFIG_HOME"), config},
                                             {QStringLiteral("XDG_STATE_HOME"), m_lab.dir() + QStringLiteral("/hold-state")}};
    QVERIFY(PlatformLab::writeFile(config + QStringLiteral("/glib-2.0/settings/keyfile"), "[org/gnome/shell]\n"));
    QCOMPARE(runChild(QStringLiteral("favourites-off"), env), QStringLiteral("0\n"));
    QVERIFY(PlatformLab::writeFile(config + QStringLiteral("/glib-2.0/settings/keyfile"),
                                   "[org/gnome/shell]\nfavorite-apps=['mine.desktop']\n"));
    QCOMPARE(runChild(QStringLiteral("start"), env), QStringLiteral("0\n"));
    QCOMPARE(gsettingsIn(config, QStringLiteral("org.gnome.shell"), QStringLiteral("favorite-apps")), QStringLiteral("@as []"));
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
        if (qstrcmp(argv[2], "ding") == 0) {
            std::printf("%d\n", session->CreateDesktopNetAddress(QStringLiteral("Wiki"), QString(), QStringLiteral("https://wiki.lab/")));
            return 0;
        }
        if (qstrcmp(argv[2], "extensions") == 0) {
            std::printf("%d %d %d %d %d\n", session->SetRecycleBinDisplayable(false), session->SetLauncherDisplayable(false),
                        session->SetUsbTrayIconClickable(false), session->SetDisplayMode(QStringLiteral("fashion")),
                        session->SetResidentTaskbarAppDisplayable(false));
            return 0;
        }
        if (qstrcmp(argv[2], "favourites-off") == 0) {
            std::printf("%d\n", session->SetResidentTaskbarAppDisplayable(false));
            return 0;
        }
        if (qstrcmp(argv[2], "start") == 0) {
            std::printf("%d\n", session->GetPowerLockDelay() < 0);
            return 0;
        }
        if (qstrncmp(argv[2], "shortcuts-", 10) == 0) {
            std::printf("%d\n", session->SetShortcutKeyEnable(qstrcmp(argv[2], "shortcuts-on") == 0));
            return 0;
        }
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
