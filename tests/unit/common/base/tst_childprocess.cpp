// The child-process runner against real children: environment, input,
// descriptors, signal mask, output cap, time limit over a whole group, both forms.
#include "common/shared/childprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

using vorn::base::ChildLog;
using vorn::base::ChildOptions;
using vorn::base::ChildProcess;
using vorn::base::ChildResult;

namespace {

const char kSeamDirVar[] = "CHILDPROCESS_TEST_SEAM_DIR";
const QString kProbe = QStringLiteral("vorn-child-probe");
const QString kSh = QStringLiteral("/bin/sh");

bool isRoot()
{
    return ::geteuid() == 0;
}

bool isAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // "pid (comm) state ...": a zombie only waits to be reaped.
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end >= 0 && line.mid(end + 2, 1) != "Z";
}

// Our children running "sleep", from /proc.
int sleepingChildren()
{
    int count = 0;
    const QString self = QString::number(::getpid());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!entry.at(0).isDigit() || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ..."
        const QByteArray line = stat.readAll();
        const int end = line.lastIndexOf(')');
        const QList<QByteArray> rest = line.mid(end + 2).split(' ');
        if (line.contains("(sleep)") && rest.size() > 1 && rest.at(1) == self.toLatin1()
            && rest.at(0) != "Z") {
            ++count;
        }
    }
    return count;
}

// Either form, for cases that must hold for both. The asynchronous one
// must never report from inside start().
ChildResult runChild(bool async, const QString& program, const QStringList& args, int timeoutMs,
                     const ChildOptions& options = ChildOptions(), const ChildLog& log = ChildLog())
{
    if (!async)
        return ChildProcess::run(program, args, timeoutMs, log, options);
    ChildProcess* child = ChildProcess::start(program, args, timeoutMs, nullptr, log, options);
    QSignalSpy finished(child, &ChildProcess::finished);
    if (!finished.isEmpty()) {
        qWarning("finished came from inside start()");
        return ChildResult();
    }
    if (!finished.wait(timeoutMs + 15000) || finished.size() != 1)
        return ChildResult();
    return qvariant_cast<ChildResult>(finished.first().at(0));
}

ChildResult shell(bool async, const QString& script, int timeoutMs = 10000,
                  const ChildOptions& options = ChildOptions())
{
    return runChild(async, kSh, {QStringLiteral("-c"), script}, timeoutMs, options);
}

// Warning and info lines written while a logged run goes on, as "W: ..." and "I: ...".
QStringList g_lines;

void keepLine(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg || type == QtInfoMsg)
        g_lines.append((type == QtWarningMsg ? QStringLiteral("W: ") : QStringLiteral("I: ")) + text);
}

void addFormRows(const char* name)
{
    QTest::newRow(qPrintable(QStringLiteral("%1, waiting").arg(QLatin1String(name)))) << false;
    QTest::newRow(qPrintable(QStringLiteral("%1, asynchronous").arg(QLatin1String(name)))) << true;
}

} // namespace

class TestChildProcess : public QObject
{
    Q_OBJECT

private slots:
    void childPathFor_data();
    void childPathFor();
    void environment_data();
    void environment();
    void programFoundThroughChildPath();
    void outcome_data();
    void outcome();
    void notStartable_data();
    void notStartable();
    void outputCap_data();
    void outputCap();
    void timeLimitEndsGroup_data();
    void timeLimitEndsGroup();
    void noInheritedDescriptor_data();
    void noInheritedDescriptor();
    void noInheritedSignalMask_data();
    void noInheritedSignalMask();
    void terminate();
    void stopRequestEndsWaitingChild_data();
    void stopRequestEndsWaitingChild();
    void endAllAtShutdown();
    void loggedLines_data();
    void loggedLines();
};

void TestChildProcess::childPathFor_data()
{
    QTest::addColumn<bool>("root");
    QTest::addColumn<QString>("seam");
    QTest::addColumn<QString>("expected");
    QTest::newRow("root: fixed") << true << "" << "/usr/sbin:/usr/bin:/sbin:/bin";
    QTest::newRow("root: seam replaces it") << true << "/stubs:/usr/bin" << "/stubs:/usr/bin";
    QTest::newRow("user: inherited") << false << "" << "";
    QTest::newRow("user: seam is for root") << false << "/stubs" << "";
}

void TestChildProcess::childPathFor()
{
    QFETCH(bool, root);
    QFETCH(QString, seam);
    QFETCH(QString, expected);
    QCOMPARE(ChildProcess::childPathFor(root, seam), expected);
}

void TestChildProcess::environment_data()
{
    QTest::addColumn<bool>("async");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");
    const QString seam = qEnvironmentVariable(kSeamDirVar) + QLatin1Char(':')
        + QLatin1String(ChildProcess::kRootPath);
    const QString path = isRoot() ? seam : qEnvironmentVariable("PATH");
    // As the service manager hands them to a notify service with a watchdog.
    qputenv("NOTIFY_SOCKET", "/run/systemd/notify");
    qputenv("WATCHDOG_PID", QByteArray::number(::getpid()));
    qputenv("WATCHDOG_USEC", "30000000");
    for (bool async : {false, true}) {
        const char* form = async ? ", asynchronous" : ", waiting";
        QTest::newRow(qPrintable(QStringLiteral("LC_ALL%1").arg(QLatin1String(form))))
            << async << R"(printf %s "$LC_ALL")" << "C";
        QTest::newRow(qPrintable(QStringLiteral("PATH%1").arg(QLatin1String(form))))
            << async << R"(printf %s "$PATH")" << path;
        QTest::newRow(qPrintable(QStringLiteral("no service manager socket%1").arg(QLatin1String(form))))
            << async << R"(env | grep -E '^(NOTIFY_SOCKET|WATCHDOG_)' ; true)" << "";
        QTest::newRow(qPrintable(QStringLiteral("input is /dev/null%1").arg(QLatin1String(form))))
            << async << "readlink /proc/self/fd/0" << "/dev/null\n";
        QTest::newRow(qPrintable(QStringLiteral("reading input ends%1").arg(QLatin1String(form))))
            << async << "cat; echo end" << "end\n";
    }
}

void TestChildProcess::environment()
{
    QFETCH(bool, async);
    QFETCH(QString, script);
    QFETCH(QString, expected);
    const ChildResult result = shell(async, script);
    QVERIFY2(result.succeeded(), qPrintable(result.error));
    QCOMPARE(result.outputText(), expected);
}

void TestChildProcess::programFoundThroughChildPath()
{
    if (!isRoot())
        QSKIP("the seam applies to root only");
    // Not on our own PATH: only the children's PATH leads to it.
    QVERIFY(!qEnvironmentVariable("PATH").contains(qEnvironmentVariable(kSeamDirVar)));
    const ChildResult result = ChildProcess::run(kProbe, {QStringLiteral("a b")}, 10000);
    QVERIFY2(result.started, qPrintable(result.error));
    QCOMPARE(result.outputText(), QStringLiteral("probe:a b\n"));
}

void TestChildProcess::outcome_data()
{
    QTest::addColumn<bool>("async");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("errorOutput");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("errorText");
    const QString both = QStringLiteral("echo out; echo err >&2; exit 3");
    const int discard = int(ChildOptions::ErrorOutput::Discard);
    const int merge = int(ChildOptions::ErrorOutput::Merge);
    const int capture = int(ChildOptions::ErrorOutput::Capture);
    for (bool async : {false, true}) {
        const QString form = async ? QStringLiteral(", asynchronous") : QStringLiteral(", waiting");
        QTest::newRow(qPrintable(QStringLiteral("error output dropped") + form))
            << async << both << discard << 3 << false << QByteArray("out\n") << QByteArray();
        QTest::newRow(qPrintable(QStringLiteral("error output merged") + form))
            << async << "echo out; echo err >&2" << merge << 0 << false
            << QByteArray("out\nerr\n") << QByteArray();
        QTest::newRow(qPrintable(QStringLiteral("error output apart") + form))
            << async << both << capture << 3 << false << QByteArray("out\n") << QByteArray("err\n");
        QTest::newRow(qPrintable(QStringLiteral("crash") + form))
            << async << "echo before; kill -SEGV $$" << discard << -1 << true
            << QByteArray("before\n") << QByteArray();
    }
}

void TestChildProcess::outcome()
{
    QFETCH(bool, async);
    QFETCH(QString, script);
    QFETCH(int, errorOutput);
    QFETCH(int, exitCode);
    QFETCH(bool, crashed);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, errorText);
    ChildOptions options;
    options.errorOutput = ChildOptions::ErrorOutput(errorOutput);
    const ChildResult result = shell(async, script, 10000, options);
    QVERIFY(result.started);
    QVERIFY(!result.timedOut);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.crashed, crashed);
    QCOMPARE(result.output, output);
    QCOMPARE(result.errorOutput, errorText);
    QCOMPARE(result.succeeded(), exitCode == 0 && !crashed);
    QCOMPARE(QLatin1String(result.exitStatusName()),
             QLatin1String(crashed ? "CrashExit" : "NormalExit"));
}

void TestChildProcess::notStartable_data()
{
    QTest::addColumn<bool>("async");
    QTest::addColumn<QString>("program");
    for (bool async : {false, true}) {
        const QString form = async ? QStringLiteral(", asynchronous") : QStringLiteral(", waiting");
        QTest::newRow(qPrintable(QStringLiteral("not on PATH") + form))
            << async << "vorn-no-such-tool";
        QTest::newRow(qPrintable(QStringLiteral("no such file") + form))
            << async << "/nonexistent/vorn-tool";
        QTest::newRow(qPrintable(QStringLiteral("not executable") + form))
            << async << "/dev/null";
        QTest::newRow(qPrintable(QStringLiteral("no program") + form)) << async << "";
    }
}

void TestChildProcess::notStartable()
{
    QFETCH(bool, async);
    QFETCH(QString, program);
    const ChildResult result = runChild(async, program, {}, 10000);
    QVERIFY(!result.started);
    QVERIFY(!result.error.isEmpty());
    QVERIFY(!result.succeeded());
    QVERIFY(result.output.isEmpty());
}

void TestChildProcess::outputCap_data()
{
    QTest::addColumn<bool>("async");
    addFormRows("3 MB kept to 1000 bytes");
}

void TestChildProcess::outputCap()
{
    QFETCH(bool, async);
    ChildOptions options;
    options.outputLimit = 1000;
    // The child must not block on a full pipe: it ends normally, well inside the limit.
    const ChildResult result = shell(async, "head -c 3000000 /dev/zero | tr '\\0' a; echo done",
                                     20000, options);
    QVERIFY(result.succeeded());
    QVERIFY(result.truncated);
    QCOMPARE(result.output, QByteArray(1000, 'a'));

    const ChildResult small = shell(async, "echo small", 10000, options);
    QVERIFY(!small.truncated);
    QCOMPARE(small.output, QByteArray("small\n"));
}

void TestChildProcess::timeLimitEndsGroup_data()
{
    QTest::addColumn<bool>("async");
    QTest::addColumn<QString>("trap");
    for (bool async : {false, true}) {
        const QString form = async ? QStringLiteral(", asynchronous") : QStringLiteral(", waiting");
        QTest::newRow(qPrintable(QStringLiteral("ends on SIGTERM") + form)) << async << "";
        QTest::newRow(qPrintable(QStringLiteral("ignores SIGTERM, gets SIGKILL") + form))
            << async << "trap '' TERM;";
    }
}

void TestChildProcess::timeLimitEndsGroup()
{
    QFETCH(bool, async);
    QFETCH(QString, trap);
    QTemporaryDir dir;
    const QString pidFile = dir.filePath(QStringLiteral("grandchild.pid"));
    // A grandchild that would outlive a kill of its parent alone.
    const QString script = QStringLiteral("%1 sleep 60 & echo $! > %2; echo started; wait; wait")
                               .arg(trap, pidFile);
    ChildOptions options;
    options.terminateGraceMs = 300;
    QElapsedTimer clock;
    clock.start();
    const ChildResult result = shell(async, script, 700, options);
    QVERIFY(clock.elapsed() < 6000);
    QVERIFY(result.started);
    QVERIFY(result.timedOut);
    QVERIFY(!result.succeeded());
    QCOMPARE(result.output, QByteArray("started\n"));

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 grandchild = file.readAll().trimmed().toLongLong();
    QVERIFY(grandchild > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(grandchild), 5000);
}

void TestChildProcess::noInheritedDescriptor_data()
{
    QTest::addColumn<bool>("async");
    addFormRows("descriptor without close-on-exec");
}

void TestChildProcess::noInheritedDescriptor()
{
    QFETCH(bool, async);
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("leak-marker"));
    QFile(marker).open(QIODevice::WriteOnly);
    const int fd = ::open(QFile::encodeName(marker).constData(), O_RDONLY);
    QVERIFY(fd > 2);

    const QString list = QStringLiteral("ls -l /proc/self/fd/");
    // The check can fail: a plain child does inherit it.
    QProcess plain;
    plain.start(kSh, {QStringLiteral("-c"), list});
    QVERIFY(plain.waitForFinished(10000));
    const bool plainSees = plain.readAllStandardOutput().contains(QFile::encodeName(marker));

    const ChildResult result = shell(async, list);
    ::close(fd);
    QVERIFY(plainSees);
    QVERIFY(result.succeeded());
    QVERIFY2(!result.output.contains(QFile::encodeName(marker)), result.output.constData());
    QVERIFY(result.output.contains("/dev/null"));
}

void TestChildProcess::noInheritedSignalMask_data()
{
    QTest::addColumn<bool>("async");
    addFormRows("TERM and USR1 blocked, USR2 ignored");
}

void TestChildProcess::noInheritedSignalMask()
{
    QFETCH(bool, async);
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGUSR1);
    QCOMPARE(::pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGUSR2, &ignore, &previous);

    // grep itself, not a shell, which may clear its mask on its own.
    const QString grep = QStringLiteral("/bin/grep");
    const QStringList status{QStringLiteral("-E"), QStringLiteral("^Sig(Blk|Ign)"),
                             QStringLiteral("/proc/self/status")};
    QProcess plain;
    plain.start(grep, status);
    const bool plainRan = plain.waitForFinished(10000);
    const QByteArray plainStatus = plain.readAllStandardOutput();
    const ChildResult result = runChild(async, grep, status, 10000);

    ::sigaction(SIGUSR2, &previous, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    // The check can fail: a plain child starts with the mask.
    QVERIFY(plainRan);
    QVERIFY2(!plainStatus.contains("SigBlk:\t0000000000000000"), plainStatus.constData());
    QVERIFY2(!plainStatus.contains("SigIgn:\t0000000000000000"), plainStatus.constData());
    QVERIFY(result.succeeded());
    QCOMPARE(result.output,
             QByteArray("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"));
}

void TestChildProcess::terminate()
{
    ChildProcess* child = ChildProcess::start(QStringLiteral("sleep"), {QStringLiteral("60")},
                                              60000, nullptr);
    QPointer<ChildProcess> watched(child);
    QSignalSpy finished(child, &ChildProcess::finished);
    QTRY_VERIFY_WITH_TIMEOUT(child->processId() > 0, 5000);
    child->terminate();
    QVERIFY(finished.wait(5000));
    const ChildResult result = qvariant_cast<ChildResult>(finished.first().at(0));
    QVERIFY(result.started);
    QVERIFY(result.crashed);
    QVERIFY(!result.timedOut);
    QTRY_VERIFY_WITH_TIMEOUT(watched.isNull(), 5000);
}

void TestChildProcess::stopRequestEndsWaitingChild_data()
{
    QTest::addColumn<bool>("whileRunning");
    QTest::newRow("asked before the start") << false;
    QTest::newRow("asked while it runs") << true;
}

// A thread asked to stop is not held by its tool: none starts after the
// request, and a running one has its group ended long before its time limit.
void TestChildProcess::stopRequestEndsWaitingChild()
{
    QFETCH(bool, whileRunning);
    QTemporaryDir dir;
    const QString pidFile = dir.filePath(QStringLiteral("grandchild.pid"));
    QElapsedTimer clock;
    clock.start();
    ChildOptions options;
    options.terminateGraceMs = 200;
    // While it runs: once its grandchild has started.
    options.stopRequested = [&pidFile, whileRunning] {
        return !whileRunning || QFileInfo(pidFile).size() > 0;
    };
    const ChildResult result = ChildProcess::run(
        kSh, {QStringLiteral("-c"), QStringLiteral("sleep 60 & echo $! > %1; wait").arg(pidFile)},
        60000, options);
    QVERIFY(result.stopped);
    QVERIFY(!result.timedOut);
    QVERIFY(!result.succeeded());
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    if (!whileRunning) {
        QVERIFY(!result.started);
        QVERIFY(!QFile::exists(pidFile));
        return;
    }
    QVERIFY(result.started);
    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 grandchild = file.readAll().trimmed().toLongLong();
    QVERIFY(grandchild > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(grandchild), 5000);
}

void TestChildProcess::endAllAtShutdown()
{
    // One waiting child on a thread of its own, one asynchronous child here.
    ChildResult waited;
    QScopedPointer<QThread> thread(QThread::create([&waited] {
        waited = ChildProcess::run(QStringLiteral("sleep"), {QStringLiteral("60")}, 0);
    }));
    thread->start();
    ChildProcess* child = ChildProcess::start(QStringLiteral("sleep"), {QStringLiteral("60")},
                                              60000, nullptr);
    QPointer<ChildProcess> watched(child);
    QSignalSpy finished(child, &ChildProcess::finished);
    QTRY_VERIFY_WITH_TIMEOUT(child->processId() > 0, 5000);
    const qint64 asyncPid = child->processId();
    // The waiting one is running once its sleep shows up as another child of ours.
    QTRY_VERIFY_WITH_TIMEOUT(sleepingChildren() == 2, 5000);

    QElapsedTimer clock;
    clock.start();
    ChildProcess::endAll();
    QVERIFY(clock.elapsed() < 2000);
    QVERIFY(thread->wait(3000));
    QVERIFY(waited.started);
    QVERIFY(waited.crashed);
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(asyncPid), 5000);
    // Ended at shutdown: the asynchronous child reports nothing and goes away.
    QTRY_VERIFY_WITH_TIMEOUT(watched.isNull(), 5000);
    QCOMPARE(finished.size(), 0);
}

void TestChildProcess::loggedLines_data()
{
    QTest::addColumn<bool>("async");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QStringList>("expected");
    const QString notFound = QStringLiteral("vorn-no-such-tool: not found in ") + ChildProcess::childPath();
    for (bool async : {false, true}) {
        const QString form = async ? QStringLiteral(", asynchronous") : QStringLiteral(", waiting");
        // Values appear as qDebug() shows them: quoted, escaped, lists in brackets.
        QTest::newRow(qPrintable(QStringLiteral("exit code and output") + form))
            << async << kSh << R"(echo 'x"y'; exit 3)" << QString() << 10000
            << QStringList{R"(W: "/bin/sh" ("-c", "echo 'x\"y'; exit 3") exited with 3 "x\"y\n")",
                           "I: ended 3 NormalExit false", R"(I: output "/bin/sh" "x\"y\n")"};
        QTest::newRow(qPrintable(QStringLiteral("success without output") + form))
            << async << kSh << "true" << QString() << 10000
            << QStringList{"I: ended 0 NormalExit false"};
        QTest::newRow(qPrintable(QStringLiteral("crash") + form))
            << async << kSh << "kill -KILL $$" << QString() << 10000
            << QStringList{R"(W: crashed "/bin/sh")", "I: ended -1 CrashExit true"};
        // The time limit's line stands for the crash it causes.
        QTest::newRow(qPrintable(QStringLiteral("time limit, by the caller's name") + form))
            << async << kSh << "sleep 30" << "nap" << 300
            << QStringList{R"(W: "nap" timed out at 300 ms)", "I: ended -1 CrashExit true"};
        QTest::newRow(qPrintable(QStringLiteral("not started") + form))
            << async << "vorn-no-such-tool" << QString() << QString() << 10000
            << QStringList{QStringLiteral(R"(W: not started "vorn-no-such-tool" () "%1")").arg(notFound)};
    }
    QTest::newRow("stop asked, waiting") << false << kSh << "true" << QString() << -1
                                         << QStringList{R"(I: stopped "/bin/sh" ("-c", "true"))"};
}

void TestChildProcess::loggedLines()
{
    QFETCH(bool, async);
    QFETCH(QString, program);
    QFETCH(QString, script);
    QFETCH(QString, name);
    QFETCH(int, timeoutMs);
    QFETCH(QStringList, expected);
    ChildLog log;
    log.command = name;
    log.stopped = "stopped {command}";
    log.notStarted = "not started {command} {error}";
    log.timedOut = "{command} timed out at {limit} ms";
    log.crashed = "crashed {program}";
    log.failed = "{command} exited with {exit} {output}";
    log.ended = "ended {exit} {status} {crashed}";
    log.output = "output {program} {text}";
    ChildOptions options;
    if (timeoutMs < 0)
        options.stopRequested = [] { return true; };
    const QStringList args = script.isEmpty() ? QStringList() : QStringList{QStringLiteral("-c"), script};
    g_lines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepLine);
    runChild(async, program, args, timeoutMs < 0 ? 10000 : timeoutMs, options, log);
    qInstallMessageHandler(previous);
    QCOMPARE(g_lines, expected);
}

int main(int argc, char** argv)
{
    // Run again with VORN_CHILD_PATH set from the start
    // to a directory holding a probe tool that is not on our own PATH.
    if (qEnvironmentVariableIsEmpty(kSeamDirVar)) {
        QTemporaryDir dir;
        QFile probe(dir.filePath(kProbe));
        if (!dir.isValid() || !probe.open(QIODevice::WriteOnly))
            return 1;
        probe.write("#!/bin/sh\necho \"probe:$1\"\n");
        probe.close();
        probe.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QByteArray seam = QFile::encodeName(dir.path());
        qputenv(kSeamDirVar, seam);
        qputenv("VORN_CHILD_PATH", seam + ':' + ChildProcess::kRootPath);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execv("/proc/self/exe", argv);
            ::_exit(127);
        }
        int status = 0;
        while (pid > 0 && ::waitpid(pid, &status, 0) < 0) {
        }
        return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    QCoreApplication app(argc, argv);
    TestChildProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_childprocess.moc"
