// The linux backend's machine-wide settings against a sysroot: systemd's own parser for
// timesyncd, the kernel's rfkill record layout, dpkg's own tools on a package database in
// the sysroot, and recording stand-ins for systemctl, udevadm, pam-auth-update, update-grub.

#include "platformlab.h"
#include "platformtools.h"

#include "errorsdescription.h"
#include "vornsysteminterface.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <linux/rfkill.h>

namespace {

const QStringList kStubbed{QStringLiteral("systemctl"), QStringLiteral("udevadm"), QStringLiteral("blockdev"),
                           QStringLiteral("pam-auth-update"), QStringLiteral("update-grub")};
const QString kUsbRules = QStringLiteral("/etc/udev/rules.d/70-vorn-xwe-usb-storage.rules");
const QString kOpticalRules = QStringLiteral("/etc/udev/rules.d/70-vorn-xwe-optical.rules");
const QString kPamProfile = QStringLiteral("/usr/share/pam-configs/vorn-xwe-login-limit");
const QByteArray kPng("\x89PNG\r\n\x1a\n-png-body", 18);

// Gone, or a zombie ("pid (comm) Z ...") that only waits to be reaped.
bool processGone(qint64 pid)
{
    const QByteArray stat = PlatformLab::readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

QList<rfkill_event> rfkillEvents(const QByteArray& data)
{
    QList<rfkill_event> events;
    for (int at = 0; at + int(RFKILL_EVENT_SIZE_V1) <= data.size(); at += int(RFKILL_EVENT_SIZE_V1)) {
        rfkill_event event {};
        std::memcpy(&event, data.constData() + at, RFKILL_EVENT_SIZE_V1);
        events.append(event);
    }
    return events;
}

} // namespace

class TestLinuxSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void timeServerDropIn_data();
    void timeServerDropIn();
    void laterDropInWins();
    void adminServersReplaced();
    void radioSwitches();
    void storageRules_data();
    void storageRules();
    void storageReleasesPresentDevices();
    void appBlacklist();
    void appBlacklistRefusesBadNames();
    void loginLimit();
    void bootBackground();
    void missingToolIsNotSupported();
    void hungToolEndsWithItsGroup_data();
    void hungToolEndsWithItsGroup();
    void localUsersFromUserDatabase();
    void restoreDefaultsUndoesEverything();

private:
    QByteArray catConfig() const;

    PlatformLab m_lab{kStubbed};
    VornSystemInterface* m_system = nullptr;
};

void TestLinuxSystem::initTestCase()
{
    QVERIFY(m_lab.isValid());
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/etc/systemd/timesyncd.conf")),
                                   "[Time]\n#NTP=\n#FallbackNTP=0.debian.pool.ntp.org\n"));
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/dev/rfkill")), QByteArray()));
    m_system = VornSystemInterface::Instance();
}

QByteArray TestLinuxSystem::catConfig() const
{
    return PlatformLab::run(QStringLiteral("systemd-analyze"),
                            {QStringLiteral("cat-config"), QStringLiteral("--no-pager"),
                             QStringLiteral("--root=") + m_lab.root(), QStringLiteral("systemd/timesyncd.conf")});
}

void TestLinuxSystem::timeServerDropIn_data()
{
    QTest::addColumn<QString>("server");
    QTest::newRow("a server") << "time.lab.example";
    QTest::newRow("another") << "ntp2.lab.example";
    QTest::newRow("empty: the distribution's servers") << "";
}

void TestLinuxSystem::timeServerDropIn()
{
    QFETCH(QString, server);
    m_lab.clearCalls();
    QCOMPARE(m_system->SetNTPServer(server), 0);
    QCOMPARE(m_system->GetNTPServer(), server);
    const QByteArray config = catConfig();
    QVERIFY(!config.isNull());
    const QString dropIn = m_lab.path(QStringLiteral("/etc/systemd/timesyncd.conf.d/90-vorn-xwe.conf"));
    if (server.isEmpty()) {
        QVERIFY(!QFile::exists(dropIn));
        QVERIFY(!config.contains("\nNTP="));
    } else {
        QVERIFY2(config.contains("\nNTP=" + server.toUtf8() + "\n"), config.constData());
        QVERIFY(config.contains("timesyncd.conf.d/90-vorn-xwe.conf"));
    }
    QVERIFY(m_lab.called({"systemctl", "try-restart", "systemd-timesyncd.service"}));
}

void TestLinuxSystem::laterDropInWins()
{
    QCOMPARE(m_system->SetNTPServer(QStringLiteral("time.lab.example")), 0);
    const QString other = m_lab.path(QStringLiteral("/usr/lib/systemd/timesyncd.conf.d/95-site.conf"));
    QVERIFY(PlatformLab::writeFile(other, "[Time]\nNTP=\nNTP=a.site b.site\n"));
    // What timesyncd will use, so the daemon's read-back reports the setting as not in effect.
    QCOMPARE(m_system->GetNTPServer(), QStringLiteral("a.site b.site"));
    QVERIFY(catConfig().contains("NTP=a.site b.site"));
    QVERIFY(QFile::remove(other));
    QCOMPARE(m_system->GetNTPServer(), QStringLiteral("time.lab.example"));
}

// The servers systemd takes from the concatenated configuration: an empty NTP= resets the list.
static QStringList ntpServers(const QByteArray& config)
{
    QStringList servers;
    for (const QByteArray& line : config.split('\n')) {
        if (!line.startsWith("NTP="))
            continue;
        const QString value = QString::fromUtf8(line.mid(4)).trimmed();
        if (value.isEmpty())
            servers.clear();
        else
            servers += value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    return servers;
}

void TestLinuxSystem::adminServersReplaced()
{
    // An administrator's own servers, in the main file and in an earlier drop-in.
    const QString mainFile = m_lab.path(QStringLiteral("/etc/systemd/timesyncd.conf"));
    const QByteArray original = PlatformLab::readAll(mainFile);
    const QString site = m_lab.path(QStringLiteral("/etc/systemd/timesyncd.conf.d/50-site.conf"));
    QVERIFY(PlatformLab::writeFile(mainFile, "[Time]\nNTP=admin.lab.example\n"));
    QVERIFY(PlatformLab::writeFile(site, "[Time]\nNTP=site.lab.example\n"));

    QCOMPARE(m_system->SetNTPServer(QStringLiteral("time.lab.example")), 0);
    const QByteArray config = catConfig();
    QVERIFY2(config.contains("NTP=site.lab.example"), config.constData());
    QCOMPARE(ntpServers(config), QStringList{QStringLiteral("time.lab.example")});
    QCOMPARE(m_system->GetNTPServer(), QStringLiteral("time.lab.example"));

    QVERIFY(QFile::remove(site));
    QVERIFY(PlatformLab::writeFile(mainFile, original));
}

void TestLinuxSystem::radioSwitches()
{
    const QString device = m_lab.path(QStringLiteral("/dev/rfkill"));
    QVERIFY(PlatformLab::writeFile(device, QByteArray()));
    QCOMPARE(m_system->SetBluetoothEnable(false), 0);
    QCOMPARE(m_system->SetWirelessEnable(true), 0);
    QCOMPARE(m_system->SetBluetoothEnable(true), 0);

    const QList<rfkill_event> events = rfkillEvents(PlatformLab::readAll(device));
    QCOMPARE(events.size(), 3);
    const int expected[3][2] = {{RFKILL_TYPE_BLUETOOTH, 1}, {RFKILL_TYPE_WLAN, 0}, {RFKILL_TYPE_BLUETOOTH, 0}};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(int(events[i].idx), 0);
        QCOMPARE(int(events[i].op), int(RFKILL_OP_CHANGE_ALL));
        QCOMPARE(int(events[i].type), expected[i][0]);
        QCOMPARE(int(events[i].soft), expected[i][1]);
        QCOMPARE(int(events[i].hard), 0);
    }
    QCOMPARE(PlatformLab::readAll(device).size(), 3 * 8);

    // A kernel without rfkill has no radio to switch.
    QVERIFY(QFile::remove(device));
    QCOMPARE(m_system->SetWirelessEnable(false), 8);
    QVERIFY(PlatformLab::writeFile(device, QByteArray()));
}

void TestLinuxSystem::storageRules_data()
{
    QTest::addColumn<int>("deviceClass");
    QTest::addColumn<int>("permission");
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QStringList>("lines");
    const QString usb = QStringLiteral("ACTION!=\"remove\", SUBSYSTEM==\"block\", KERNEL==\"sd*\", SUBSYSTEMS==\"usb\"");
    const QString cd = QStringLiteral("ACTION!=\"remove\", SUBSYSTEM==\"block\", KERNEL==\"sr[0-9]*\"");
    const QString hidden = QStringLiteral(", ENV{UDISKS_IGNORE}=\"1\", ENV{UDISKS_AUTO}=\"0\", OWNER=\"root\", "
                                          "GROUP=\"root\", MODE=\"0000\", TAG-=\"uaccess\"");
    const QString offline = QStringLiteral(", ENV{DEVTYPE}==\"disk\", ATTR{device/state}=\"offline\"");
    const QString setro = QStringLiteral(", RUN+=\"/usr/sbin/blockdev --setro $devnode\"");
    QTest::newRow("usb none") << 1 << 0 << kUsbRules << QStringList{usb + hidden, usb + offline};
    QTest::newRow("usb read only") << 1 << 1 << kUsbRules << QStringList{usb + setro};
    QTest::newRow("usb read and write") << 1 << 2 << kUsbRules << QStringList();
    QTest::newRow("optical none") << 2 << 0 << kOpticalRules << QStringList{cd + hidden, cd + offline};
    QTest::newRow("optical read only") << 2 << 1 << kOpticalRules
                                       << QStringList{cd + setro, cd + QStringLiteral(", MODE=\"0444\", TAG-=\"uaccess\"")};
    QTest::newRow("optical read and write") << 2 << 2 << kOpticalRules << QStringList();
}

void TestLinuxSystem::storageRules()
{
    QFETCH(int, deviceClass);
    QFETCH(int, permission);
    QFETCH(QString, rules);
    QFETCH(QStringList, lines);
    m_lab.clearCalls();
    QCOMPARE(m_system->SetStorageGlobalPermPolicy(deviceClass, permission), 0);
    const QString path = m_lab.path(rules);
    if (lines.isEmpty()) {
        QVERIFY(!QFile::exists(path));
    } else {
        const QStringList content = QString::fromUtf8(PlatformLab::readAll(path)).split(QLatin1Char('\n'));
        QVERIFY(content.first().startsWith(QLatin1Char('#')));
        for (const QString& line : lines)
            QVERIFY2(content.contains(line), qPrintable(line));
        QCOMPARE(content.size(), lines.size() + 2); // the comment and the final newline
        QCOMPARE(PlatformLab::fileMode(path), 0644);
    }
    const QList<QStringList> udev{{"udevadm", "control", "--reload"},
                                  {"udevadm", "trigger", "--action=change", "--subsystem-match=block"}};
    QCOMPARE(m_lab.calls(), udev);
    // The same permission again: nothing to do.
    m_lab.clearCalls();
    QCOMPARE(m_system->SetStorageGlobalPermPolicy(deviceClass, permission), 0);
    QCOMPARE(m_lab.calls(), QList<QStringList>());
    if (lines.isEmpty())
        return;
    // udev's own parser reads the file and has nothing to say about any of its lines.
    const QByteArray parsed = PlatformLab::udevRulesCheck(QFileInfo(path).absolutePath());
    if (parsed.isNull())
        QSKIP("no udevadm on this machine to parse the rules");
    const QByteArray name = "/etc/udev/rules.d/" + QFileInfo(path).fileName().toUtf8();
    QVERIFY2(parsed.contains("Reading rules file: " + name), parsed.constData());
    QVERIFY2(!parsed.contains(name + ":"), parsed.constData());
}

void TestLinuxSystem::storageReleasesPresentDevices()
{
    // A USB stick and a CD drive, as sysfs lists them.
    const QString usbDisk = m_lab.path(QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/"
                                                      "target6:0:0/6:0:0:0/block/sdb"));
    const QString cdDrive = m_lab.path(QStringLiteral("/sys/devices/pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/"
                                                      "1:0:0:0/block/sr0"));
    for (const QString& device : {usbDisk, cdDrive}) {
        QVERIFY(PlatformLab::writeFile(device + QStringLiteral("/device/state"), "offline\n"));
        QVERIFY(PlatformLab::writeFile(device + QStringLiteral("/ro"), "1\n"));
        QDir().mkpath(m_lab.path(QStringLiteral("/sys/class/block")));
        QVERIFY(QFile::link(device, m_lab.path(QStringLiteral("/sys/class/block/")) + QFileInfo(device).fileName()));
    }
    QCOMPARE(m_system->SetStorageGlobalPermPolicy(2, 0), 0);
    m_lab.clearCalls();
    QCOMPARE(m_system->SetStorageGlobalPermPolicy(1, 1), 0);
    QCOMPARE(PlatformLab::readAll(usbDisk + QStringLiteral("/device/state")), QByteArray("running\n"));
    QCOMPARE(PlatformLab::readAll(cdDrive + QStringLiteral("/device/state")), QByteArray("offline\n"));
    QVERIFY(!m_lab.called({"blockdev", "--setrw", m_lab.path(QStringLiteral("/dev/sdb"))}));

    QCOMPARE(m_system->SetStorageGlobalPermPolicy(2, 2), 0);
    QCOMPARE(PlatformLab::readAll(cdDrive + QStringLiteral("/device/state")), QByteArray("running\n"));
    QVERIFY(m_lab.called({"blockdev", "--setrw", m_lab.path(QStringLiteral("/dev/sr0"))}));
    QVERIFY(!m_lab.called({"blockdev", "--setrw", m_lab.path(QStringLiteral("/dev/sdb"))}));
}

void TestLinuxSystem::appBlacklist()
{
    // A package database in the sysroot, read and changed by dpkg's own tools.
    const QByteArray stanza = "Status: install ok installed\nPriority: optional\nSection: games\n"
                              "Maintainer: Lab <lab@example.org>\nArchitecture: amd64\nVersion: 1.0-1\n"
                              "Description: lab package\n";
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/var/lib/dpkg/status")),
                                   "Package: gnome-mines\n" + stanza + "\nPackage: gnome-chess\n" + stanza + "\n"));
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/var/lib/dpkg/info/gnome-mines.list")),
                                   "/.\n/usr\n/usr/bin\n/usr/bin/gnome-mines\n/usr/bin/mines\n"
                                   "/usr/share/applications/org.gnome.Mines.desktop\n/usr/share/doc/gnome-mines/README\n"));
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/var/lib/dpkg/info/gnome-chess.list")),
                                   "/usr/games/gnome-chess\n/usr/games/chess-helper\n"));
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/var/lib/dpkg/statoverride")),
                                   "root root 755 /usr/games/chess-helper\n"));
    const QString mines = m_lab.path(QStringLiteral("/usr/bin/gnome-mines"));
    const QString launcher = m_lab.path(QStringLiteral("/usr/share/applications/org.gnome.Mines.desktop"));
    const QString chess = m_lab.path(QStringLiteral("/usr/games/gnome-chess"));
    const QString helper = m_lab.path(QStringLiteral("/usr/games/chess-helper"));
    const QString readme = m_lab.path(QStringLiteral("/usr/share/doc/gnome-mines/README"));
    QVERIFY(PlatformLab::writeFile(mines, "#!/bin/sh\n", 0755));
    QVERIFY(QFile::link(QStringLiteral("gnome-mines"), m_lab.path(QStringLiteral("/usr/bin/mines"))));
    QVERIFY(PlatformLab::writeFile(launcher, "[Desktop Entry]\n", 0644));
    QVERIFY(PlatformLab::writeFile(chess, "#!/bin/sh\n", 02755));
    QVERIFY(PlatformLab::writeFile(helper, "#!/bin/sh\n", 0755));
    QVERIFY(PlatformLab::writeFile(readme, "text\n", 0644));

    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("gnome-mines,,gnome-chess,not-installed")), 0);
    QCOMPARE(PlatformLab::fileMode(mines), 0700);
    QCOMPARE(PlatformLab::fileMode(launcher), 0600);
    QCOMPARE(PlatformLab::fileMode(chess), 0700);
    QCOMPARE(PlatformLab::fileMode(helper), 0755); // an administrator's override stays
    QCOMPARE(PlatformLab::fileMode(readme), 0644);
    const QByteArray overrides = PlatformLab::readAll(m_lab.path(QStringLiteral("/var/lib/dpkg/statoverride")));
    QVERIFY2(overrides.contains(" 700 /usr/bin/gnome-mines\n"), overrides.constData());
    QVERIFY(overrides.contains(" 600 /usr/share/applications/org.gnome.Mines.desktop\n"));
    QVERIFY(overrides.contains(" 700 /usr/games/gnome-chess\n"));
    QVERIFY(!overrides.contains("/usr/bin/mines\n"));

    // Dropped from the list: the original modes come back, set-id bits included.
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("gnome-mines")), 0);
    QCOMPARE(PlatformLab::fileMode(chess), 02755);
    QCOMPARE(PlatformLab::fileMode(mines), 0700);
    QCOMPARE(m_system->SetAppCtrlBlacklist(QString()), 0);
    QCOMPARE(PlatformLab::fileMode(mines), 0755);
    QCOMPARE(PlatformLab::fileMode(launcher), 0644);
    QCOMPARE(PlatformLab::readAll(m_lab.path(QStringLiteral("/var/lib/dpkg/statoverride"))),
             QByteArray("root root 755 /usr/games/chess-helper\n"));
}

void TestLinuxSystem::appBlacklistRefusesBadNames()
{
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("gnome-mines,../../etc/passwd")), 1);
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("--admindir=/tmp")), 1);
    QCOMPARE(PlatformLab::fileMode(m_lab.path(QStringLiteral("/usr/bin/gnome-mines"))), 0755);
}

void TestLinuxSystem::loginLimit()
{
    m_lab.clearCalls();
    QCOMPARE(m_system->SetLocalUserLogoinLimit(false), 0);
    const QString profile = QString::fromUtf8(PlatformLab::readAll(m_lab.path(kPamProfile)));
    QVERIFY(profile.contains(QLatin1String("\nAccount-Type: Additional\n")));
    QVERIFY(profile.contains(QLatin1String("\n\t[success=ignore default=2]\tpam_localuser.so\n")));
    QVERIFY(profile.contains(QLatin1String("pam_succeed_if.so quiet uid >= 1000 uid <= 9999\n")));
    QVERIFY(profile.contains(QLatin1String("\trequisite\t\t\tpam_deny.so\n\trequired\t\t\tpam_permit.so\n")));
    QCOMPARE(m_lab.calls(), (QList<QStringList>{{"pam-auth-update", "--package", "--enable", "vorn-xwe-login-limit"}}));

    m_lab.clearCalls();
    QCOMPARE(m_system->SetLocalUserLogoinLimit(true), 0);
    QVERIFY(!QFile::exists(m_lab.path(kPamProfile)));
    QCOMPARE(m_lab.calls(), (QList<QStringList>{{"pam-auth-update", "--package", "--remove", "vorn-xwe-login-limit"}}));
    // Allowed twice: nothing left to undo.
    m_lab.clearCalls();
    QCOMPARE(m_system->SetLocalUserLogoinLimit(true), 0);
    QCOMPARE(m_lab.calls(), QList<QStringList>());
}

void TestLinuxSystem::bootBackground()
{
    const QString png = m_lab.dir() + QStringLiteral("/download/boot");
    const QString jpeg = m_lab.dir() + QStringLiteral("/download/boot.jpeg");
    QVERIFY(PlatformLab::writeFile(png, kPng));
    QVERIFY(PlatformLab::writeFile(jpeg, QByteArray("\xff\xd8\xff\xe0-jpeg", 9)));
    const QString dropIn = m_lab.path(QStringLiteral("/etc/default/grub.d/90-vorn-xwe-background.cfg"));

    m_lab.clearCalls();
    QCOMPARE(m_system->SetBackgroundSourceFile(png), 0);
    QCOMPARE(PlatformLab::readAll(m_lab.path(QStringLiteral("/boot/grub/vorn-xwe-background.png"))), kPng);
    // grub-mkconfig sources the drop-ins with the shell.
    QCOMPARE(PlatformLab::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral(". \"$0\"; echo \"$GRUB_BACKGROUND\""), dropIn}),
             QByteArray("/boot/grub/vorn-xwe-background.png\n"));
    QCOMPARE(m_lab.calls(), (QList<QStringList>{{"update-grub"}}));

    QCOMPARE(m_system->SetBackgroundSourceFile(jpeg), 0);
    QVERIFY(!QFile::exists(m_lab.path(QStringLiteral("/boot/grub/vorn-xwe-background.png"))));
    QVERIFY(PlatformLab::readAll(dropIn).contains("GRUB_BACKGROUND=\"/boot/grub/vorn-xwe-background.jpg\"\n"));

    const QString text = m_lab.dir() + QStringLiteral("/download/notes.png");
    QVERIFY(PlatformLab::writeFile(text, "not a picture"));
    QCOMPARE(m_system->SetBackgroundSourceFile(text), 1);
    QVERIFY(PlatformLab::readAll(dropIn).contains("vorn-xwe-background.jpg"));
}

void TestLinuxSystem::missingToolIsNotSupported()
{
    // Only the stand-ins on PATH: the machine's own tools must not be found (nor run).
    const QByteArray path = qgetenv("PATH");
    const QByteArray childPath = qgetenv("VORN_CHILD_PATH");
    qputenv("PATH", QFile::encodeName(m_lab.dir() + QStringLiteral("/stubs")));
    qputenv("VORN_CHILD_PATH", QFile::encodeName(m_lab.dir() + QStringLiteral("/stubs")));
    QVERIFY(m_lab.hideTool(QStringLiteral("update-grub"), true));
    QVERIFY(m_lab.hideTool(QStringLiteral("pam-auth-update"), true));
    const int grub = m_system->SetBackgroundSourceFile(m_lab.dir() + QStringLiteral("/download/boot"));
    const int pam = m_system->SetLocalUserLogoinLimit(false);
    const int dpkg = m_system->SetAppCtrlBlacklist(QStringLiteral("gnome-mines"));
    QVERIFY(m_lab.hideTool(QStringLiteral("udevadm"), true));
    QVERIFY(m_lab.hideTool(QStringLiteral("systemctl"), true));
    const int udev = m_system->SetStorageGlobalPermPolicy(1, 0);
    const int ntp = m_system->SetNTPServer(QStringLiteral("elsewhere.example"));
    for (const char* tool : {"update-grub", "pam-auth-update", "udevadm", "systemctl"})
        QVERIFY(m_lab.hideTool(QLatin1String(tool), false));
    qputenv("PATH", path);
    qputenv("VORN_CHILD_PATH", childPath);
    QCOMPARE(grub, 8);
    QCOMPARE(ErrorsDescription::toErrorDescription(grub), QStringLiteral("failed (status 8): not supported by this desktop"));
    QCOMPARE(pam, 8);
    QCOMPARE(dpkg, 8);
    QCOMPARE(udev, 8);
    QCOMPARE(ntp, 8);
    // Nothing was half done.
    QVERIFY(!QFile::exists(m_lab.path(kPamProfile)));
    QVERIFY(!PlatformLab::readAll(m_lab.path(kUsbRules)).contains("offline"));
    QCOMPARE(m_system->GetNTPServer(), QStringLiteral("time.lab.example"));
}

void TestLinuxSystem::hungToolEndsWithItsGroup_data()
{
    QTest::addColumn<QString>("trap");
    QTest::newRow("ends on SIGTERM") << "";
    QTest::newRow("ignores SIGTERM, gets SIGKILL") << "trap '' TERM";
}

void TestLinuxSystem::hungToolEndsWithItsGroup()
{
    QFETCH(QString, trap);
    QTemporaryDir dir;
    const QString pidFile = dir.filePath(QStringLiteral("grandchild.pid"));
    const QString tool = dir.filePath(QStringLiteral("hung-tool"));
    // A tool that starts a child of its own and waits for it.
    QVERIFY(PlatformLab::writeFile(tool, QStringLiteral("#!/bin/sh\n%1\nsleep 60 &\necho $! > %2\nwait\n")
                                             .arg(trap, pidFile).toUtf8(), 0755));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(xwe::runTool(tool, {}, nullptr, 2000), xwe::ToolOutcome::Failed);
    QVERIFY(clock.elapsed() < 10000);
    const qint64 grandchild = PlatformLab::readAll(pidFile).trimmed().toLongLong();
    QVERIFY(grandchild > 0);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(grandchild), 5000);
}

void TestLinuxSystem::localUsersFromUserDatabase()
{
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/etc/passwd")),
                                   "root:x:0:0:root:/root:/bin/bash\n"
                                   "alice:x:1000:1000:Alice:/home/alice:/bin/bash\n"
                                   "svc:x:1500:1500::/var/lib/svc:/usr/sbin/nologin\n"
                                   "carol:x:1002:1002:" + QByteArray(20000, 'c') + ":/home/carol:/bin/sh\n"
                                   "bob:x:1001:1001:Bob:/home/bob:/bin/zsh\n"
                                   "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
                                   "dir:x:10001:10001::/home/dir:/bin/bash\n"));
    // A line longer than the first buffer is read all the same.
    QCOMPARE(m_system->GetLocalUIDList(), (QList<uint>{1000, 1002, 1001}));
}

// What the package's removal runs: every trace of the settings gone, radios unblocked.
void TestLinuxSystem::restoreDefaultsUndoesEverything()
{
    const QString game = m_lab.path(QStringLiteral("/usr/games/lab-game"));
    const QString overrides = m_lab.path(QStringLiteral("/var/lib/dpkg/statoverride"));
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/var/lib/dpkg/status")),
                                   "Package: lab-game\nStatus: install ok installed\nPriority: optional\n"
                                   "Section: games\nMaintainer: Lab <lab@example.org>\nArchitecture: amd64\n"
                                   "Version: 1.0-1\nDescription: lab package\n\n"));
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/var/lib/dpkg/info/lab-game.list")),
                                   "/usr/games/lab-game\n"));
    QVERIFY(PlatformLab::writeFile(overrides, QByteArray()));
    QVERIFY(PlatformLab::writeFile(game, "#!/bin/sh\n", 0755));
    const QString png = m_lab.dir() + QStringLiteral("/download/restore.png");
    QVERIFY(PlatformLab::writeFile(png, kPng));
    const QString rfkill = m_lab.path(QStringLiteral("/dev/rfkill"));

    // Locked down as policies leave a machine.
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("lab-game")), 0);
    QCOMPARE(m_system->SetLocalUserLogoinLimit(false), 0);
    QCOMPARE(m_system->SetStorageGlobalPermPolicy(1, 0), 0);
    QCOMPARE(m_system->SetStorageGlobalPermPolicy(2, 1), 0);
    QCOMPARE(m_system->SetNTPServer(QStringLiteral("ntp.restore.example")), 0);
    QCOMPARE(m_system->SetBackgroundSourceFile(png), 0);
    QCOMPARE(m_system->SetBluetoothEnable(false), 0);
    QCOMPARE(m_system->SetWirelessEnable(false), 0);
    QCOMPARE(PlatformLab::fileMode(game), 0700);
    const int eventsBefore = rfkillEvents(PlatformLab::readAll(rfkill)).size();
    m_lab.clearCalls();

    QCOMPARE(m_system->RestoreDefaults(), 0);
    QCOMPARE(PlatformLab::fileMode(game), 0755);
    QCOMPARE(PlatformLab::readAll(overrides), QByteArray());
    for (const QString& gone : {kPamProfile, kUsbRules, kOpticalRules,
                                QStringLiteral("/etc/systemd/timesyncd.conf.d/90-vorn-xwe.conf"),
                                QStringLiteral("/etc/default/grub.d/90-vorn-xwe-background.cfg"),
                                QStringLiteral("/boot/grub/vorn-xwe-background.png")})
        QVERIFY2(!QFile::exists(m_lab.path(gone)), qPrintable(gone));
    const QList<QStringList> calls = m_lab.calls();
    for (const QStringList& call : QList<QStringList>{
             {"pam-auth-update", "--package", "--remove", "vorn-xwe-login-limit"},
             {"udevadm", "trigger", "--action=change", "--subsystem-match=block"},
             {"systemctl", "try-restart", "systemd-timesyncd.service"},
             {"update-grub"}})
        QVERIFY2(calls.contains(call), qPrintable(call.join(QLatin1Char(' '))));
    const QList<rfkill_event> events = rfkillEvents(PlatformLab::readAll(rfkill)).mid(eventsBefore);
    QCOMPARE(events.size(), 2);
    for (const rfkill_event& event : events)
        QCOMPARE(int(event.soft), 0);
    QCOMPARE(int(events[0].type) + int(events[1].type), int(RFKILL_TYPE_BLUETOOTH) + int(RFKILL_TYPE_WLAN));

    // Nothing left to undo the second time: no PAM or GRUB update runs.
    m_lab.clearCalls();
    QCOMPARE(m_system->RestoreDefaults(), 0);
    for (const QStringList& call : m_lab.calls())
        QVERIFY2(call.first() != QLatin1String("pam-auth-update") && call.first() != QLatin1String("update-grub"),
                 qPrintable(call.join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(TestLinuxSystem)
#include "tst_linuxsystem.moc"
