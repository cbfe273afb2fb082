// The linux backend's app blacklist against packages laid out as Debian ships browsers and
// office suites: commands in /usr/bin that are links into /usr/lib, wrapper scripts that exec
// the package's programs, launchers whose Exec= names a program of their own. dpkg's own
// tools read and change the package database in the sysroot.

#include "platformlab.h"

#include "vornsysteminterface.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

const QByteArray kStanza = "Status: install ok installed\nPriority: optional\nSection: web\n"
                           "Maintainer: Lab <lab@example.org>\nArchitecture: amd64\nVersion: 1.0-1\n"
                           "Description: lab package\n";
const QString kStatOverride = QStringLiteral("/var/lib/dpkg/statoverride");

struct File
{
    const char* path;
    QByteArray content; // empty: a link to `target`
    const char* target;
    int mode;
};

// lab-browser: its command a relative and an absolute link into /usr/lib, a program reached
// only through its launcher's action, a link out of the package into lab-shell, and an
// executable library that nothing starts. lab-office: a wrapper whose target is a wrapper too.
const QList<QPair<QString, QList<File>>> kPackages{
    {QStringLiteral("lab-browser"),
     {{"/usr/lib/lab-browser/lab-browser", "#!/bin/sh\n", nullptr, 0755},
      {"/usr/lib/lab-browser/remote", "#!/bin/sh\n", nullptr, 0755},
      {"/usr/lib/lab-browser/libxul.so", "\x7f" "ELF", nullptr, 0755},
      {"/usr/bin/lab-browser", {}, "../lib/lab-browser/lab-browser", 0},
      {"/usr/bin/lab-browser-abs", {}, "/usr/lib/lab-browser/lab-browser", 0},
      {"/usr/bin/lab-browser-sh", {}, "lab-shell", 0},
      {"/usr/share/applications/lab-browser.desktop",
       "[Desktop Entry]\nExec=lab-browser %u\n\n[Desktop Action remote]\n"
       "Exec=env LAB=1 \"/usr/lib/lab-browser/remote\" --new\n",
       nullptr, 0644}}},
    {QStringLiteral("lab-office"),
     {{"/usr/bin/lab-office", "#!/bin/sh\nexec /usr/lib/lab-office/program/soffice \"$@\"\n", nullptr, 0755},
      {"/usr/lib/lab-office/program/soffice",
       "#!/bin/sh\nsal=/usr/lib/lab-office/program/libmerged.so\n"
       "exec /usr/lib/lab-office/program/soffice.bin \"$@\"\n",
       nullptr, 0755},
      {"/usr/lib/lab-office/program/soffice.bin", "\x7f" "ELF", nullptr, 0755},
      {"/usr/lib/lab-office/program/libmerged.so", "\x7f" "ELF", nullptr, 0644}}},
    {QStringLiteral("lab-shell"), {{"/usr/bin/lab-shell", "\x7f" "ELF", nullptr, 0755}}},
};

} // namespace

class TestAppBlacklist : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void locksWhatUsersCanRun_data();
    void locksWhatUsersCanRun();
    void reopenedProgramIsLockedAgain();
    void releasedWhenDropped();
    void unlockableIsNoSuccess();

private:
    int mode(const char* path) const { return PlatformLab::fileMode(m_lab.path(QLatin1String(path))); }

    PlatformLab m_lab{QStringList()};
    VornSystemInterface* m_system = nullptr;
};

void TestAppBlacklist::initTestCase()
{
    QVERIFY(m_lab.isValid());
    QByteArray status;
    for (const auto& package : kPackages) {
        status += "Package: " + package.first.toUtf8() + '\n' + kStanza + '\n';
        QByteArray list;
        for (const File& file : package.second) {
            const QString local = m_lab.path(QLatin1String(file.path));
            list += file.path + QByteArray("\n");
            QVERIFY(QDir().mkpath(QFileInfo(local).absolutePath()));
            if (file.target)
                QVERIFY(QFile::link(QLatin1String(file.target), local));
            else
                QVERIFY(PlatformLab::writeFile(local, file.content, file.mode));
        }
        QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/var/lib/dpkg/info/%1.list").arg(package.first)),
                                       list));
    }
    QVERIFY(PlatformLab::writeFile(m_lab.path(QStringLiteral("/var/lib/dpkg/status")), status));
    QVERIFY(PlatformLab::writeFile(m_lab.path(kStatOverride), QByteArray()));
    m_system = VornSystemInterface::Instance();
}

void TestAppBlacklist::locksWhatUsersCanRun_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("mode");
    QTest::newRow("target of /usr/bin links") << "/usr/lib/lab-browser/lab-browser" << 0700;
    QTest::newRow("program of a launcher action") << "/usr/lib/lab-browser/remote" << 0700;
    QTest::newRow("launcher") << "/usr/share/applications/lab-browser.desktop" << 0600;
    QTest::newRow("library nothing starts") << "/usr/lib/lab-browser/libxul.so" << 0755;
    QTest::newRow("wrapper in /usr/bin") << "/usr/bin/lab-office" << 0700;
    QTest::newRow("wrapper named by a wrapper") << "/usr/lib/lab-office/program/soffice" << 0700;
    QTest::newRow("program named by that wrapper") << "/usr/lib/lab-office/program/soffice.bin" << 0700;
    QTest::newRow("data file a wrapper names") << "/usr/lib/lab-office/program/libmerged.so" << 0644;
    QTest::newRow("another package's program") << "/usr/bin/lab-shell" << 0755;
}

void TestAppBlacklist::locksWhatUsersCanRun()
{
    QFETCH(QString, path);
    QFETCH(int, mode);
    // Applied again for each row: a second time changes nothing and still holds.
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("lab-browser,lab-office")), 0);
    QCOMPARE(PlatformLab::fileMode(m_lab.path(path)), mode);
    const QString overrides = QString::fromUtf8(PlatformLab::readAll(m_lab.path(kStatOverride)));
    const bool locked = mode == 0700 || mode == 0600;
    QCOMPARE(overrides.contains(QLatin1Char(' ') + path + QLatin1Char('\n')), locked);
    QCOMPARE(overrides.contains(QStringLiteral(" %1 %2\n").arg(mode, 0, 8).arg(path)), locked);
}

void TestAppBlacklist::reopenedProgramIsLockedAgain()
{
    const char* program = "/usr/lib/lab-office/program/soffice.bin";
    QVERIFY(QFile::setPermissions(m_lab.path(QLatin1String(program)),
                                  QFile::permissions(m_lab.path(QLatin1String(program))) | QFile::ExeOther));
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("lab-browser,lab-office")), 0);
    QCOMPARE(mode(program), 0700);
}

void TestAppBlacklist::releasedWhenDropped()
{
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("lab-office")), 0);
    QCOMPARE(mode("/usr/lib/lab-browser/lab-browser"), 0755);
    QCOMPARE(mode("/usr/share/applications/lab-browser.desktop"), 0644);
    QCOMPARE(mode("/usr/lib/lab-office/program/soffice.bin"), 0700);
    QCOMPARE(m_system->SetAppCtrlBlacklist(QString()), 0);
    QCOMPARE(mode("/usr/lib/lab-office/program/soffice.bin"), 0755);
    QCOMPARE(mode("/usr/bin/lab-office"), 0755);
    QCOMPARE(PlatformLab::readAll(m_lab.path(kStatOverride)), QByteArray());
}

void TestAppBlacklist::unlockableIsNoSuccess()
{
    // dpkg cannot record an override: nothing is locked, and the call says so.
    const QString overrides = m_lab.path(kStatOverride);
    QVERIFY(QFile::remove(overrides));
    QVERIFY(QDir().mkdir(overrides));
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("lab-office")), 9);
    QCOMPARE(mode("/usr/bin/lab-office"), 0755);
    QVERIFY(QDir(overrides).removeRecursively());
    QVERIFY(PlatformLab::writeFile(overrides, QByteArray()));
    QCOMPARE(m_system->SetAppCtrlBlacklist(QStringLiteral("lab-office")), 0);
    QCOMPARE(mode("/usr/bin/lab-office"), 0700);
}

QTEST_GUILESS_MAIN(TestAppBlacklist)
#include "tst_appblacklist.moc"
