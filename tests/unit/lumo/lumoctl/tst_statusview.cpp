#include "status_view.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

using lumoctl::StatusView;

namespace {

// A status as qarg publishes it; %PID% is replaced by the test.
const char kQargStatus[] = R"({
  "program": "qarg", "pid": %PID%, "user": "root", "updated": "2026-12-07T23:59:00Z",
  "server": "127.0.0.1:8443", "machine_id": "lab-machine-0001", "backend": "store",
  "last_pull": {"time": "2026-12-07T23:58:00Z", "task_id": 5, "job_id": 9,
                "outcome": "accepted", "md5": "0123456789abcdef0123456789abcdef"},
  "next_pull": "2026-12-08T00:04:00Z",
  "executing": {"task_id": 5, "job_id": 9, "since": "2026-12-07T23:58:01Z"},
  "owed_receipts": 2, "usb_control": true,
  "policy": {"task_id": 5, "job_id": 9, "started": "2026-12-07T23:58:01Z", "finished": null,
             "settings": [
               {"key": "blue_tooth/system_bluetooth", "value": "1", "result": "success",
                "time": "2026-12-07T23:58:02Z"},
               {"key": "firewall/firewall_rule", "value": "%LONG%", "result": "", "time": null},
               {"key": "ntp/ntpServer", "value": "evil\u001b[2Jtime", "result": "setNTPServer success",
                "time": "2026-12-07T23:58:03Z"}]},
  "usb_devices": [
    {"name": "Cruzer Blade", "vendor_id": "0781", "product_id": "5567", "serial": "X1",
     "decision": "detached", "reason": "not in the whitelist", "time": "2026-12-07T23:50:00Z"},
    {"name": "Pixel 7", "vendor_id": "18d1", "product_id": "4ee1", "serial": "PX0001",
     "decision": "awaiting the server", "reason": "whitelist check sent", "time": "2026-12-07T23:51:00Z"}]
})";

const char kIdleStatus[] = R"({"program": "%PROGRAM%", "pid": %PID%, "user": "alice",
  "updated": "2026-12-07T23:59:00Z", "server": "", "machine_id": "", "backend": "store",
  "last_pull": null, "next_pull": null, "executing": null, "owed_receipts": 0,
  %EXTRA% "policy": null, "usb_devices": []})";

QByteArray qargStatus(qint64 pid)
{
    return QByteArray(kQargStatus)
        .replace("%PID%", QByteArray::number(pid))
        .replace("%LONG%", QByteArray(120, 'x'));
}

// The same with both devices held, waiting for the server's answer.
QByteArray heldStatus(qint64 pid)
{
    return qargStatus(pid)
        .replace(R"("decision": "detached", "reason": "not in the whitelist", "time": "2026-12-07T23:50:00Z")",
                 R"("decision": "held", "reason": "not on the whitelist", "time": "2026-12-07T23:55:00Z",)"
                 R"( "held_since": "2026-12-07T23:49:00Z")")
        .replace(R"("decision": "awaiting the server", "reason": "whitelist check sent")",
                 R"("decision": "held", "reason": "awaiting the server", "held_since": "2026-12-07T23:51:00Z")");
}

QByteArray idleStatus(const QByteArray& program, qint64 pid)
{
    return QByteArray(kIdleStatus)
        .replace("%PROGRAM%", program)
        .replace("%PID%", QByteArray::number(pid))
        .replace("%EXTRA%", program == "qarg" ? "\"usb_control\": false," : "\"usb_control\": true,");
}

} // namespace

class TestStatusView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void load_data();
    void load();
    void tables_data();
    void tables();
    void json_data();
    void json();
    void sessionPath_data();
    void sessionPath();
    void zombieIsNotAlive();

private:
    QString writeFile(const QString& name, const QByteArray& text);

    QTemporaryDir m_dir;
    QProcess m_qarg;
    QProcess m_qars;
    qint64 m_deadPid = 0;
};

// Live stand-ins named like the programs: the kernel knows a process by the
// name of the file it runs.
void TestStatusView::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (auto* p : {&m_qarg, &m_qars}) {
        const QString name = p == &m_qarg ? QStringLiteral("qarg") : QStringLiteral("qars");
        const QString copy = m_dir.filePath(name);
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), copy));
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner));
        p->start(copy, {QStringLiteral("300")});
        QVERIFY(p->waitForStarted(5000));
    }
    QProcess done;
    done.start(QStringLiteral("/bin/true"), QStringList());
    QVERIFY(done.waitForStarted(5000));
    m_deadPid = done.processId();
    QVERIFY(done.waitForFinished(5000));
}

void TestStatusView::cleanupTestCase()
{
    for (auto* p : {&m_qarg, &m_qars}) {
        p->kill();
        p->waitForFinished(5000);
    }
}

QString TestStatusView::writeFile(const QString& name, const QByteArray& text)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(text);
    return path;
}

void TestStatusView::load_data()
{
    QTest::addColumn<QString>("kind"); // "file", "missing", "directory" or "fifo"
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");

    const qint64 qarg = m_qarg.processId();
    const qint64 self = QCoreApplication::applicationPid();
    QTest::newRow("running qarg") << "file" << qargStatus(qarg) << "qarg" << 0 << "";
    QTest::newRow("running qars") << "file" << idleStatus("qars", m_qars.processId()) << "qars" << 0 << "";
    QTest::newRow("no file") << "missing" << QByteArray() << "qarg" << 3
                             << "qarg is not running: no status file ";
    QTest::newRow("process ended") << "file" << qargStatus(m_deadPid) << "qarg" << 3
                                   << QStringLiteral("its process %1 has ended").arg(m_deadPid);
    QTest::newRow("pid taken by another program") << "file" << qargStatus(self) << "qarg" << 3
                                                  << "has ended";
    QTest::newRow("truncated JSON") << "file" << qargStatus(qarg).left(200) << "qarg" << 4
                                    << "malformed status: ";
    QTest::newRow("not JSON") << "file" << QByteArray("pid=1\n") << "qarg" << 4 << "malformed status: ";
    QTest::newRow("empty file") << "file" << QByteArray() << "qarg" << 4 << "malformed status: ";
    QTest::newRow("array") << "file" << QByteArray("[1, 2]") << "qarg" << 4 << "not a JSON object";
    QTest::newRow("other program") << "file" << qargStatus(qarg) << "qars" << 4 << "not one of qars";
    for (const char* pid : {"0", "-1", "1.5", "\"12\"", "null", "1e12"}) {
        QTest::newRow(qPrintable(QStringLiteral("pid %1").arg(QLatin1String(pid))))
            << "file" << QByteArray(kQargStatus).replace("%PID%", pid) << "qarg" << 4 << "no valid pid";
    }
    QTest::newRow("directory") << "directory" << QByteArray() << "qarg" << 4 << "not a regular file";
    QTest::newRow("fifo") << "fifo" << QByteArray() << "qarg" << 4 << "not a regular file";
}

void TestStatusView::load()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, text);
    QFETCH(QString, program);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    const QString path = m_dir.filePath(QStringLiteral("status-%1.json").arg(QTest::currentDataTag()));
    if (kind == QLatin1String("file"))
        QCOMPARE(writeFile(QFileInfo(path).fileName(), text), path);
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkpath(path));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);

    StatusView view;
    QCOMPARE(view.load(path, program), exitCode == 0);
    QCOMPARE(view.exitCode(), exitCode);
    QVERIFY2(view.error().contains(error), qPrintable(view.error()));
    QCOMPARE(view.error().isEmpty(), exitCode == 0);
    if (exitCode == 4)
        QVERIFY2(view.error().startsWith(path), qPrintable(view.error()));
}

void TestStatusView::tables_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("part");
    QTest::addColumn<QStringList>("lines"); // patterns of whole lines, in this order
    QTest::addColumn<QStringList>("absent");

    const QByteArray busy = qargStatus(m_qarg.processId());
    const QByteArray idle = idleStatus("qarg", m_qarg.processId());
    const QString head = QStringLiteral("pid %1, running as root, status of 2026-12-07T23:59:00Z")
                             .arg(m_qarg.processId());
    QTest::newRow("overview") << busy << "qarg" << int(StatusView::Overview)
        << QStringList{"qarg +" + QRegularExpression::escape(head),
                       "server +127\\.0\\.0\\.1:8443", "machine id +lab-machine-0001",
                       "backend +store",
                       "last pull +2026-12-07T23:58:00Z  accepted  md5 0123456789abcdef0123456789abcdef"
                       "  \\(task 5, job 9\\)",
                       "next pull +2026-12-08T00:04:00Z",
                       "executing +task 5, job 9, since 2026-12-07T23:58:01Z",
                       "owed receipts +2", "usb control +on"}
        << QStringList{"ntp/ntpServer", "Cruzer"};
    QTest::newRow("overview, nothing yet") << idle << "qarg" << int(StatusView::Overview)
        << QStringList{"server +not enrolled", "last pull +never", "next pull +none",
                       "executing +nothing", "owed receipts +0", "usb control +off"}
        << QStringList();
    QTest::newRow("overview of qars") << idleStatus("qars", m_qars.processId()) << "qars"
        << int(StatusView::Overview) << QStringList{"qars +pid \\d+, running as alice, .*"}
        << QStringList{"usb control"};
    QTest::newRow("policy") << busy << "qarg" << int(StatusView::Policy)
        << QStringList{"document +task 5, job 9", "started +2026-12-07T23:58:01Z", "finished +not yet",
                       "KEY +VALUE +TIME +RESULT",
                       "blue_tooth/system_bluetooth +1 +2026-12-07T23:58:02Z +success",
                       "firewall/firewall_rule +x{37}\\.\\.\\. +- +\\(outstanding\\)",
                       "ntp/ntpServer +evil\\\\x1b\\[2Jtime +2026-12-07T23:58:03Z +setNTPServer success"}
        << QStringList{"\x1b", "x{38}", "Cruzer"};
    QTest::newRow("policy, none yet") << idle << "qarg" << int(StatusView::Policy)
        << QStringList{"document +none applied yet"} << QStringList{"KEY"};
    QTest::newRow("usb") << busy << "qarg" << int(StatusView::UsbDevices)
        << QStringList{"usb control +on", "DEVICE +ID +SERIAL +DECISION +TIME +REASON",
                       "Cruzer Blade +0781:5567 +X1 +detached +2026-12-07T23:50:00Z +not in the whitelist",
                       "Pixel 7 +18d1:4ee1 +PX0001 +awaiting the server +2026-12-07T23:51:00Z "
                       "+whitelist check sent"}
        << QStringList{"ntp/ntpServer", "held devices"};
    QTest::newRow("usb, devices held") << heldStatus(m_qarg.processId()) << "qarg"
        << int(StatusView::UsbDevices)
        << QStringList{"usb control +on", "held devices +2, the first waiting since 2026-12-07T23:49:00Z",
                       "DEVICE +ID +SERIAL +DECISION +TIME +REASON",
                       "Cruzer Blade +0781:5567 +X1 +held +2026-12-07T23:49:00Z +not on the whitelist",
                       "Pixel 7 +18d1:4ee1 +PX0001 +held +2026-12-07T23:51:00Z +awaiting the server"}
        << QStringList{"23:55"};
    QTest::newRow("usb, none seen") << idle << "qarg" << int(StatusView::UsbDevices)
        << QStringList{"usb control +off", "no USB devices seen since start"} << QStringList{"DEVICE"};
}

void TestStatusView::tables()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, program);
    QFETCH(int, part);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, absent);

    StatusView view;
    QVERIFY2(view.parse(text, QStringLiteral("sample"), program), qPrintable(view.error()));
    const QString table = view.table(StatusView::Part(part));
    int from = 0;
    for (const QString& pattern : lines) {
        const QRegularExpression line(QLatin1Char('^') + pattern + QLatin1Char('$'),
                                      QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = line.match(table, from);
        QVERIFY2(match.hasMatch(), qPrintable(QStringLiteral("no line /%1/ in:\n%2").arg(pattern, table)));
        from = match.capturedEnd();
    }
    for (const QString& pattern : absent)
        QVERIFY2(!table.contains(QRegularExpression(pattern)), qPrintable(table));
}

void TestStatusView::json_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("part");
    QTest::addColumn<QString>("key"); // the status member shown; empty: all but two

    const QByteArray busy = qargStatus(m_qarg.processId());
    const QByteArray idle = idleStatus("qarg", m_qarg.processId());
    QTest::newRow("overview") << busy << int(StatusView::Overview) << "";
    QTest::newRow("policy") << busy << int(StatusView::Policy) << "policy";
    QTest::newRow("no policy") << idle << int(StatusView::Policy) << "policy";
    QTest::newRow("usb devices") << busy << int(StatusView::UsbDevices) << "usb_devices";
    QTest::newRow("no usb devices") << idle << int(StatusView::UsbDevices) << "usb_devices";
}

void TestStatusView::json()
{
    QFETCH(QByteArray, text);
    QFETCH(int, part);
    QFETCH(QString, key);

    StatusView view;
    QVERIFY2(view.parse(text, QStringLiteral("sample"), QStringLiteral("qarg")), qPrintable(view.error()));
    const QByteArray out = view.json(StatusView::Part(part));
    QJsonObject whole = QJsonDocument::fromJson(text).object();
    // Wrapped, so that a bare null parses too.
    QJsonParseError error{};
    const QJsonDocument shown = QJsonDocument::fromJson("[" + out + "]", &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    if (key.isEmpty()) {
        whole.remove(QStringLiteral("policy"));
        whole.remove(QStringLiteral("usb_devices"));
        QCOMPARE(shown.array().at(0).toObject(), whole);
        QVERIFY(whole.contains(QStringLiteral("machine_id")));
    } else {
        QCOMPARE(shown.array().at(0), whole.value(key));
    }
}

void TestStatusView::sessionPath_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("stateHome"); // XDG_STATE_HOME of the caller
    QTest::addColumn<QString>("expected");  // below the test directory; empty: unknown user

    QTest::newRow("caller, XDG_STATE_HOME") << "" << "xdg-state" << "xdg-state/vorn/status.json";
    QTest::newRow("caller, default") << "" << "" << "home/me/.local/state/vorn/status.json";
    QTest::newRow("caller, relative XDG_STATE_HOME") << "" << "relative"
                                                     << "home/me/.local/state/vorn/status.json";
    QTest::newRow("named user") << "alice" << "xdg-state"
                                << "root/home/alice/.local/state/vorn/status.json";
    QTest::newRow("named user after a long entry") << "bob" << ""
                                                   << "root/home/bob/.local/state/vorn/status.json";
    QTest::newRow("unknown user") << "mallory" << "" << "";
}

void TestStatusView::sessionPath()
{
    QFETCH(QString, user);
    QFETCH(QString, stateHome);
    QFETCH(QString, expected);

    const QString top = m_dir.path();
    QVERIFY(QDir().mkpath(top + QLatin1String("/root/etc")));
    // One entry longer than the first buffer of the reader.
    QVERIFY(!writeFile(QStringLiteral("root/etc/passwd"),
                       "root:x:0:0:root:/root:/bin/bash\n"
                       "alice:x:1000:1000:alice:/home/alice:/bin/bash\n"
                       "carol:x:1002:1002:" + QByteArray(40000, 'c') + ":/home/carol:/bin/bash\n"
                       "bob:x:1001:1001:bob:/home/bob:/bin/bash\n")
                 .isEmpty());
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldState = qgetenv("XDG_STATE_HOME");
    const QByteArray oldRoot = qgetenv("VORN_SYSROOT");
    qputenv("HOME", QFile::encodeName(top + QLatin1String("/home/me")));
    qputenv("VORN_SYSROOT", QFile::encodeName(top + QLatin1String("/root")));
    if (stateHome == QLatin1String("relative"))
        qputenv("XDG_STATE_HOME", "relative/state");
    else if (stateHome.isEmpty())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME", QFile::encodeName(top + QLatin1Char('/') + stateHome));

    QString error;
    const QString path = StatusView::sessionStatusPath(user, &error);
    qputenv("HOME", oldHome);
    qputenv("XDG_STATE_HOME", oldState);
    qputenv("VORN_SYSROOT", oldRoot);
    if (expected.isEmpty()) {
        QVERIFY(path.isEmpty());
        QCOMPARE(error, QStringLiteral("no such user: mallory"));
    } else {
        QCOMPARE(path, top + QLatin1Char('/') + expected);
    }
}

// A program that died while its parent did not collect it still has a pid.
void TestStatusView::zombieIsNotAlive()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    QVERIFY(child > 0);
    const QString stat = QStringLiteral("/proc/%1/stat").arg(child);
    auto state = [&stat]() {
        QFile f(stat);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(state().contains(") Z "), 5000);
    QVERIFY(!StatusView::processAlive(child, QStringLiteral("tst_statusview")));
    QVERIFY(StatusView::processAlive(QCoreApplication::applicationPid(), QStringLiteral("tst_statusview")));
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
}

QTEST_GUILESS_MAIN(TestStatusView)
#include "tst_statusview.moc"
