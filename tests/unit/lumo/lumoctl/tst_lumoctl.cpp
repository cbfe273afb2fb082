// The lumoctl command as an administrator runs it: arguments, exit status and
// output, the status files below a sysroot, and the pull through the system bus.

#include "labsupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const int kNobody = 65534;

// Stands in for qarg's control object, so that each answer of the daemon
// can be given to the command.
class FakeControl : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.kestal.vorn.qarg.Control")

public:
    QString errorName; // empty: answer "pull started"
    int pulls = 0;

public slots:
    QString Pull()
    {
        ++pulls;
        if (!errorName.isEmpty())
            sendErrorReply(errorName, QStringLiteral("refused by the test"));
        return QStringLiteral("pull started");
    }
};

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestLumoctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void command_data();
    void command();
    void pull_data();
    void pull();
    void unreadableStatusIsNoPermission();
    void rootSeesWhatItsScriptsPrinted();
    void otherUsersFileIsNotFollowed_data();
    void otherUsersFileIsNotFollowed();

private:
    Result run(const QStringList& args, const QString& busAddress = QString(), bool asNobody = false);
    void writeStatus(const QString& path, const QByteArray& program, qint64 pid,
                     const QByteArray& result = "setNTPServer success");

    QTemporaryDir m_dir;
    QString m_sysroot;
    QProcess m_qarg;
    QProcess m_qars;
    QScopedPointer<vorn::test::PrivateSystemBus> m_bus;
    FakeControl m_control;
};

void TestLumoctl::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_sysroot = m_dir.filePath(QStringLiteral("sysroot"));
    QVERIFY(QDir().mkpath(m_sysroot + QLatin1String("/etc")));
    QFile passwd(m_sysroot + QLatin1String("/etc/passwd"));
    QVERIFY(passwd.open(QIODevice::WriteOnly));
    passwd.write("root:x:0:0:root:/root:/bin/bash\nalice:x:1000:1000:alice:/home/alice:/bin/bash\n");
    passwd.close();
    // Live processes with the programs' names, for the pids in the status files.
    for (auto* p : {&m_qarg, &m_qars}) {
        const QString copy = m_dir.filePath(p == &m_qarg ? QStringLiteral("qarg") : QStringLiteral("qars"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), copy));
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner));
        p->start(copy, {QStringLiteral("300")});
        QVERIFY(p->waitForStarted(5000));
    }
    m_bus.reset(new vorn::test::PrivateSystemBus(m_dir.filePath(QStringLiteral("bus"))));
    QVERIFY2(m_bus->start(), qPrintable(m_bus->errorString()));
}

void TestLumoctl::cleanupTestCase()
{
    for (auto* p : {&m_qarg, &m_qars}) {
        p->kill();
        p->waitForFinished(5000);
    }
    m_bus.reset();
}

void TestLumoctl::writeStatus(const QString& path, const QByteArray& program, qint64 pid,
                              const QByteArray& result)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{\"program\": \"" + program + "\", \"pid\": " + QByteArray::number(pid)
               + ", \"user\": \"root\", \"updated\": \"2026-12-07T23:59:00Z\", \"server\": "
                 "\"127.0.0.1:8443\", \"machine_id\": \"lab-machine-0001\", \"backend\": \"store\", "
                 "\"last_pull\": null, \"next_pull\": null, \"executing\": null, \"owed_receipts\": 0, "
                 "\"usb_control\": false, \"usb_devices\": [], \"policy\": {\"task_id\": -1, \"job_id\": -1, "
                 "\"started\": \"2026-12-07T23:58:00Z\", \"finished\": \"2026-12-07T23:58:01Z\", "
                 "\"settings\": [{\"key\": \"ntp/ntpServer\", \"value\": \"time.lab.example\", "
                 "\"result\": \"" + result + "\", \"time\": \"2026-12-07T23:58:01Z\"}]}}");
}

// The command runs while this process keeps serving the fake control object.
Result TestLumoctl::run(const QStringList& args, const QString& busAddress, bool asNobody)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VORN_SYSROOT"), m_sysroot);
    env.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home/me")));
    env.insert(QStringLiteral("XDG_STATE_HOME"), m_dir.filePath(QStringLiteral("state")));
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
               busAddress.isEmpty() ? m_bus->address() : busAddress);
    QProcess process;
    process.setProcessEnvironment(env);
    QStringList argv = args;
    QString program = QStringLiteral(LUMOCTL_BINARY);
    if (asNobody) {
        argv = QStringList{QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                           QStringLiteral("--clear-groups"), program} + args;
        program = QStringLiteral("setpriv");
    }
    // A copy that nobody can run wherever the build tree is.
    QTemporaryDir publicDir;
    if (asNobody) {
        const QString copy = publicDir.filePath(QStringLiteral("lumoctl"));
        const auto open = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther | QFile::ExeOwner
                          | QFile::ExeGroup | QFile::ExeOther;
        if (!QFile::copy(QStringLiteral(LUMOCTL_BINARY), copy)
            || !QFile::setPermissions(publicDir.path(), open | QFile::WriteOwner)
            || !QFile::setPermissions(copy, open))
            return Result();
        argv.replace(argv.indexOf(QStringLiteral(LUMOCTL_BINARY)), copy);
    }
    QEventLoop loop;
    connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    process.start(program, argv);
    if (process.waitForStarted(5000) && process.state() != QProcess::NotRunning)
        loop.exec();
    Result result;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestLumoctl::command_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("status"); // "qarg", "qars", "dead", "garbage" or "" (no files)
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    QTest::newRow("help") << QStringList{"--help"} << "" << 0 << "Commands:" << "";
    QTest::newRow("no command") << QStringList() << "" << 1 << "" << "lumoctl: no command given";
    QTest::newRow("unknown command") << QStringList{"restart"} << "" << 1 << "" << "unknown command restart";
    QTest::newRow("unknown option") << QStringList{"status", "-x"} << "" << 1 << "" << "unknown option -x";
    QTest::newRow("bad level") << QStringList{"policy", "user"} << "" << 1 << "" << "system or session";
    QTest::newRow("extra argument") << QStringList{"status", "now"} << "" << 1 << "" << "unexpected argument now";
    QTest::newRow("user without session") << QStringList{"policy", "--user", "alice"} << "" << 1 << ""
                                          << "--user goes with policy session only";
    QTest::newRow("user without name") << QStringList{"policy", "session", "--user"} << "" << 1 << ""
                                       << "--user needs a user name";
    QTest::newRow("not running, no file") << QStringList{"status"} << "" << 3 << ""
                                          << "lumoctl: qarg is not running: no status file ";
    QTest::newRow("not running, process ended") << QStringList{"usb"} << "dead" << 3
                                                << "qarg is not running; last known status, of "
                                                   "2026-12-07T23:59:00Z:\n\nqarg " << "has ended";
    QTest::newRow("not running, last policy") << QStringList{"policy"} << "dead" << 3
                                              << "setNTPServer success" << "has ended";
    QTest::newRow("not running, json") << QStringList{"--json", "status"} << "dead" << 3
                                       << "\"last_known_time\": \"2026-12-07T23:59:00Z\"" << "has ended";
    QTest::newRow("malformed") << QStringList{"status", "--json"} << "garbage" << 4 << ""
                               << "malformed status: ";
    QTest::newRow("status") << QStringList{"status"} << "qarg" << 0 << "machine id     lab-machine-0001" << "";
    QTest::newRow("status, json") << QStringList{"--json", "status"} << "qarg" << 0
                                  << "\"machine_id\": \"lab-machine-0001\"" << "";
    QTest::newRow("policy") << QStringList{"policy"} << "qarg" << 0 << "setNTPServer success" << "";
    QTest::newRow("policy system, json") << QStringList{"policy", "system", "--json"} << "qarg" << 0
                                         << "\"key\": \"ntp/ntpServer\"" << "";
    QTest::newRow("usb, json") << QStringList{"usb", "--json"} << "qarg" << 0 << "[\n]\n" << "";
    QTest::newRow("session of the caller") << QStringList{"policy", "session"} << "qars" << 0
                                           << "ntp/ntpServer" << "";
    QTest::newRow("session of alice") << QStringList{"policy", "session", "--user=alice"} << "qars" << 0
                                      << "setNTPServer success" << "";
    QTest::newRow("session, no agent") << QStringList{"policy", "session"} << "qarg" << 3 << ""
                                       << "qars is not running";
    QTest::newRow("session, unknown user") << QStringList{"policy", "session", "--user", "mallory"} << "qars"
                                           << 4 << "" << "no such user: mallory";
}

void TestLumoctl::command()
{
    QFETCH(QStringList, args);
    QFETCH(QString, status);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const QString system = m_sysroot + QLatin1String("/run/qarg/status.json");
    const QString caller = m_dir.filePath(QStringLiteral("state/vorn/status.json"));
    const QString alice = m_sysroot + QLatin1String("/home/alice/.local/state/vorn/status.json");
    for (const QString& path : {system, caller, alice})
        QFile::remove(path);
    if (status == QLatin1String("qarg") || status == QLatin1String("dead")) {
        writeStatus(system, "qarg", status == QLatin1String("dead") ? 999999999 : m_qarg.processId());
    } else if (status == QLatin1String("qars")) {
        writeStatus(caller, "qars", m_qars.processId());
        writeStatus(alice, "qars", m_qars.processId());
    } else if (status == QLatin1String("garbage")) {
        QVERIFY(QDir().mkpath(QFileInfo(system).path()));
        QFile file(system);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"program\": \"qarg\", \"pid\":");
    }

    const Result result = run(args);
    QVERIFY2(result.exitCode == exitCode, result.err.constData());
    QVERIFY2(QString::fromUtf8(result.out).contains(out), result.out.constData());
    QVERIFY2(QString::fromUtf8(result.err).contains(err), result.err.constData());
    // Only an ended program's last status is shown along with a failure.
    QCOMPARE(result.out.isEmpty(), exitCode != 0 && status != QLatin1String("dead"));
    if (exitCode == 1)
        QVERIFY(result.err.contains("Usage: lumoctl"));
    if (args.contains(QStringLiteral("--json")) && !result.out.isEmpty())
        QVERIFY(!QJsonDocument::fromJson(result.out).isNull());
    if (status == QLatin1String("dead") && args.contains(QStringLiteral("--json"))) {
        const QJsonObject shown = QJsonDocument::fromJson(result.out).object();
        QCOMPARE(shown.value(QLatin1String("running")), QJsonValue(false));
        QCOMPARE(shown.value(QLatin1String("last_known")).toObject().value(QLatin1String("machine_id")),
                 QJsonValue(QStringLiteral("lab-machine-0001")));
    }
}

void TestLumoctl::pull_data()
{
    QTest::addColumn<QString>("errorName"); // "-": nobody owns the name
    QTest::addColumn<bool>("badBus");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    QTest::newRow("started") << "" << false << 0 << "pull started\n" << "";
    QTest::newRow("refused") << "org.freedesktop.DBus.Error.AccessDenied" << false << 2 << ""
                             << "only root may make qarg pull";
    QTest::newRow("failed") << "org.freedesktop.DBus.Error.Failed" << false << 4 << ""
                            << "refused by the test";
    QTest::newRow("qarg not running") << "-" << false << 3 << "" << "qarg is not running";
    QTest::newRow("no bus") << "" << true << 4 << "" << "cannot reach the system bus";
}

void TestLumoctl::pull()
{
    QFETCH(QString, errorName);
    QFETCH(bool, badBus);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    QDBusConnection bus = QDBusConnection::systemBus();
    QVERIFY(bus.isConnected());
    const bool owned = errorName != QLatin1String("-");
    if (owned) {
        QVERIFY(bus.registerService(QStringLiteral("com.kestal.vorn.qarg")));
        QVERIFY(bus.registerObject(QStringLiteral("/com/kestal/vorn/qarg"), &m_control,
                                   QDBusConnection::ExportAllSlots));
    }
    m_control.errorName = owned ? errorName : QString();
    m_control.pulls = 0;
    const QString address = badBus ? QStringLiteral("unix:path=%1").arg(m_dir.filePath(QStringLiteral("nobus")))
                                   : QString();
    const Result result = run({QStringLiteral("pull")}, address);
    if (owned) {
        bus.unregisterObject(QStringLiteral("/com/kestal/vorn/qarg"));
        QVERIFY(bus.unregisterService(QStringLiteral("com.kestal.vorn.qarg")));
    }
    QVERIFY2(result.exitCode == exitCode, result.err.constData());
    QCOMPARE(QString::fromUtf8(result.out), out);
    QVERIFY2(QString::fromUtf8(result.err).contains(err), result.err.constData());
    QCOMPARE(m_control.pulls, owned && !badBus ? 1 : 0);
}

// The file of another user that the caller may not read.
void TestLumoctl::unreadableStatusIsNoPermission()
{
    const bool root = ::geteuid() == 0;
    const QString system = m_sysroot + QLatin1String("/run/qarg/status.json");
    writeStatus(system, "qarg", m_qarg.processId());
    QVERIFY(QFile::setPermissions(system, QFile::ReadOwner | QFile::WriteOwner));
    // Root reads everything: the command then runs as nobody.
    if (!root)
        QVERIFY(QFile::setPermissions(system, QFileDevice::Permissions()));
    const Result result = run({QStringLiteral("status")}, QString(), root);
    QVERIFY2(result.exitCode == 2, result.err.constData());
    QVERIFY2(result.err.contains("cannot read " + QFile::encodeName(system)), result.err.constData());
}

// qarg's public status has the summary of a script's result, its detail file the output.
void TestLumoctl::rootSeesWhatItsScriptsPrinted()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run the command as another user");
    const QString system = m_sysroot + QLatin1String("/run/qarg/status.json");
    const QString detail = m_sysroot + QLatin1String("/run/qarg/status-detail.json");
    writeStatus(system, "qarg", m_qarg.processId(), "success");
    QVERIFY(QFile::setPermissions(system, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                              | QFile::ReadOther));
    writeStatus(detail, "qarg", m_qarg.processId(), "rotated password: s3cret");
    QVERIFY(QFile::setPermissions(detail, QFile::ReadOwner | QFile::WriteOwner));
    // Everybody may reach and read the public file, as in /run/qarg.
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                      | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    for (const QString& dir : {m_dir.path(), m_sysroot, m_sysroot + QLatin1String("/run"),
                               m_sysroot + QLatin1String("/run/qarg")})
        QVERIFY(QFile::setPermissions(dir, open));

    const Result root = run({QStringLiteral("policy")});
    const Result user = run({QStringLiteral("policy")}, QString(), true);
    QVERIFY(QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QFile::remove(detail);
    QVERIFY2(root.exitCode == 0, root.err.constData());
    QVERIFY2(root.out.contains("rotated password: s3cret"), root.out.constData());
    QVERIFY2(user.exitCode == 0, user.err.constData());
    QVERIFY2(user.out.contains("ntp/ntpServer") && user.out.contains("success"), user.out.constData());
    QVERIFY2(!user.out.contains("s3cret"), user.out.constData());
}

void TestLumoctl::otherUsersFileIsNotFollowed_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("problem");
    QTest::newRow("link to a file of root") << "link" << "is reached through a symbolic link, not followed";
    QTest::newRow("link on the way") << "directory link" << "is reached through a symbolic link, not followed";
    QTest::newRow("second name of a file of root") << "hard link" << "has more than one name, not read";
    QTest::newRow("FIFO") << "fifo" << "is not a regular file";
    // A device no driver serves: opening it would fail with ENXIO.
    QTest::newRow("device node") << "device" << "is not a regular file";
}

// What alice puts in her home cannot make root's lumoctl read a file of root's or open a device.
void TestLumoctl::otherUsersFileIsNotFollowed()
{
    QFETCH(QString, kind);
    QFETCH(QString, problem);
    const QString secret = m_sysroot + QLatin1String("/root/private/vorn/status.json");
    writeStatus(secret, "qars", m_qars.processId(), "root-only text");
    const QString state = m_sysroot + QLatin1String("/home/alice/.local/state");
    const QString alice = state + QLatin1String("/vorn/status.json");
    QDir(state).removeRecursively();
    QVERIFY(QDir().mkpath(state + QLatin1String("/vorn")));
    const QByteArray local = QFile::encodeName(alice);
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(secret, alice));
    else if (kind == QLatin1String("directory link"))
        QVERIFY(QDir(state + QLatin1String("/vorn")).removeRecursively()
                && QFile::link(QFileInfo(secret).path(), state + QLatin1String("/vorn")));
    else if (kind == QLatin1String("hard link"))
        QCOMPARE(::link(QFile::encodeName(secret).constData(), local.constData()), 0);
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(local.constData(), 0644), 0);
    else if (::mknod(local.constData(), S_IFCHR | 0644, makedev(240, 0)) != 0)
        QSKIP("no device nodes can be made here");

    const Result result = run({QStringLiteral("policy"), QStringLiteral("session"), QStringLiteral("--user"),
                               QStringLiteral("alice")});
    QDir(state).removeRecursively();
    QVERIFY2(result.exitCode == 4, result.err.constData());
    QCOMPARE(QString::fromUtf8(result.err), QStringLiteral("lumoctl: %1 %2\n").arg(alice, problem));
    QVERIFY(result.out.isEmpty());
}

QTEST_GUILESS_MAIN(TestLumoctl)
#include "tst_lumoctl.moc"
