#include "childprocess.h"

#include "childprocess_child.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <csignal>

#include <unistd.h>

namespace vorn {
namespace base {

const char ChildProcess::kRootPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

// Starts its child as the leader of a new process group and makes the child
// a clean slate before the program runs (see prepareChild).
class GroupProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { prepareChild(); }
};

class ChildProcessPrivate
{
public:
    explicit ChildProcessPrivate(ChildProcess* owner);

    void onLeaderEnded();
    void endGroup();
    void onGraceOver();
    void tryFinish();
    void finishLater();

    ChildProcess* q;
    GroupProcess process;
    QTimer limit;
    QTimer grace;
    QString program;
    QStringList arguments;
    int timeoutMs = 0;
    ChildOptions options;
    ChildLog log;
    ChildResult result;
    qint64 group = 0;
    bool leaderDone = false;
    bool ending = false;
    bool killSent = false;
    bool reported = false;
    // Set by endAll() from any thread: report nothing any more.
    std::atomic<bool> abandoned{false};
};

namespace {

constexpr int kSliceMs = 100;
constexpr int kReapWaitMs = 1000;
constexpr int kShutdownGraceMs = 500;

// Process groups of the children running now; the asynchronous ones with
// their owner, so that endAll() can silence them.
struct Registry
{
    QMutex mutex;
    QHash<qint64, ChildProcessPrivate*> groups;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

class Registration
{
public:
    Registration(qint64 group, ChildProcessPrivate* owner)
        : m_group(group)
    {
        QMutexLocker lock(&registry().mutex);
        registry().groups.insert(group, owner);
    }
    ~Registration()
    {
        QMutexLocker lock(&registry().mutex);
        registry().groups.remove(m_group);
    }
    Q_DISABLE_COPY(Registration)

private:
    qint64 m_group;
};

int waitMs(const QDeadlineTimer& deadline, int cap)
{
    if (deadline.isForever())
        return cap;
    return int(qBound<qint64>(1, deadline.remainingTime(), cap));
}

bool prepare(QProcess& process, const QString& program, const ChildOptions& options,
             QString* resolved, QString* error)
{
    if (program.isEmpty()) {
        *error = QStringLiteral("no program given");
        return false;
    }
    const QString path = ChildProcess::childPath();
    *resolved = program;
    if (!program.contains(QLatin1Char('/'))) {
        // Found through the children's PATH, not through ours.
        *resolved = QStandardPaths::findExecutable(
            program, path.split(QLatin1Char(':'), Qt::SkipEmptyParts));
        if (resolved->isEmpty()) {
            *error = QStringLiteral("%1: not found in %2").arg(program, path);
            return false;
        }
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    // The service manager's socket and watchdog are the program's own: a
    // child that finds them sends notifications the manager refuses, or
    // pings on the program's behalf.
    for (const QString& name : {QStringLiteral("NOTIFY_SOCKET"), QStringLiteral("WATCHDOG_PID"),
                                QStringLiteral("WATCHDOG_USEC")})
        env.remove(name);
    if (!path.isEmpty())
        env.insert(QStringLiteral("PATH"), path);
    process.setProcessEnvironment(env);
    process.setStandardInputFile(QProcess::nullDevice());
    switch (options.errorOutput) {
    case ChildOptions::ErrorOutput::Discard:
        process.setStandardErrorFile(QProcess::nullDevice());
        break;
    case ChildOptions::ErrorOutput::Merge:
        process.setProcessChannelMode(QProcess::MergedChannels);
        break;
    case ChildOptions::ErrorOutput::Capture:
        process.setProcessChannelMode(QProcess::SeparateChannels);
        break;
    }
    return true;
}

void keep(QByteArray& into, const QByteArray& chunk, int limit, bool& truncated)
{
    const int room = qMax(0, limit - into.size());
    if (chunk.size() > room) {
        truncated = true;
        into.append(chunk.constData(), room);
    } else {
        into.append(chunk);
    }
}

void collect(QProcess& process, ChildResult& result, const ChildOptions& options)
{
    keep(result.output, process.readAllStandardOutput(), options.outputLimit, result.truncated);
    if (options.errorOutput == ChildOptions::ErrorOutput::Capture)
        keep(result.errorOutput, process.readAllStandardError(), options.outputLimit,
             result.truncated);
}

void conclude(const QProcess& process, ChildResult& result)
{
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = result.crashed ? -1 : process.exitCode();
}

// Waits at most one slice for output or the end, reading as it goes.
void waitSlice(QProcess& process, ChildResult& result, const ChildOptions& options,
               const QDeadlineTimer& deadline)
{
    const int slice = waitMs(deadline, kSliceMs);
    QElapsedTimer clock;
    clock.start();
    // Returns at once when the child closed its output: only its end is left then.
    if (!process.waitForReadyRead(slice) && process.state() != QProcess::NotRunning
        && clock.elapsed() < slice / 2) {
        process.waitForFinished(slice);
    }
    collect(process, result, options);
}

// SIGTERM to the group, SIGKILL to whatever of it is left after the grace time.
void endGroupWaiting(QProcess& process, qint64 group, ChildResult& result,
                     const ChildOptions& options)
{
    signalGroup(group, SIGTERM);
    process.terminate();
    const QDeadlineTimer grace(options.terminateGraceMs);
    while (!grace.hasExpired()) {
        if (process.state() != QProcess::NotRunning)
            waitSlice(process, result, options, grace);
        else if (groupAlive(group))
            QThread::msleep(10);
        else
            break;
    }
    if (process.state() != QProcess::NotRunning || groupAlive(group))
        signalGroup(group, SIGKILL);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kReapWaitMs);
    }
}

ChildResult runWaiting(const QString& program, const QStringList& arguments, int timeoutMs,
                       const ChildOptions& options)
{
    ChildResult result;
    const auto stopAsked = [&options] { return options.stopRequested && options.stopRequested(); };
    if (stopAsked()) {
        result.stopped = true;
        result.error = QStringLiteral("not started: a stop was asked");
        return result;
    }
    GroupProcess process;
    QString resolved;
    if (!prepare(process, program, options, &resolved, &result.error))
        return result;
    const QDeadlineTimer deadline =
        timeoutMs > 0 ? QDeadlineTimer(timeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever);
    process.start(resolved, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(deadline.isForever() ? -1 : waitMs(deadline, timeoutMs))) {
        result.error = process.errorString();
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kReapWaitMs);
        }
        return result;
    }
    result.started = true;
    const qint64 group = process.processId();
    const Registration registration(group, nullptr);
    while (process.state() != QProcess::NotRunning) {
        if (deadline.hasExpired()) {
            result.timedOut = true;
            endGroupWaiting(process, group, result, options);
            break;
        }
        if (stopAsked()) {
            result.stopped = true;
            endGroupWaiting(process, group, result, options);
            break;
        }
        waitSlice(process, result, options, deadline);
    }
    collect(process, result, options);
    conclude(process, result);
    return result;
}

} // namespace

QString ChildProcess::childPathFor(bool root, const QString& seam)
{
    if (!root)
        return QString();
    return seam.isEmpty() ? QString::fromLatin1(kRootPath) : seam;
}

QString ChildProcess::childPath()
{
    // Empty: the program's own PATH goes on.
    const QString path =
        childPathFor(::geteuid() == 0, qEnvironmentVariable("VORN_CHILD_PATH"));
    return path.isEmpty() ? qEnvironmentVariable("PATH") : path;
}

QStringList ChildProcess::splitCommand(const QString& command)
{
    return QProcess::splitCommand(command);
}

ChildResult ChildProcess::run(const QString& program, const QStringList& arguments,
                              int timeoutMs, const ChildOptions& options)
{
    return run(program, arguments, timeoutMs, ChildLog(), options);
}

ChildResult ChildProcess::run(const QString& program, const QStringList& arguments,
                              int timeoutMs, const ChildLog& log, const ChildOptions& options)
{
    const ChildResult result = runWaiting(program, arguments, timeoutMs, options);
    log.write(program, arguments, timeoutMs, result);
    return result;
}

ChildProcessPrivate::ChildProcessPrivate(ChildProcess* owner)
    : q(owner)
{
    limit.setSingleShot(true);
    grace.setSingleShot(true);
}

void ChildProcessPrivate::onLeaderEnded()
{
    collect(process, result, options);
    conclude(process, result);
    leaderDone = true;
    tryFinish();
}

void ChildProcessPrivate::endGroup()
{
    if (ending || leaderDone)
        return;
    ending = true;
    limit.stop();
    signalGroup(group, SIGTERM);
    process.terminate();
    grace.start(options.terminateGraceMs);
}

void ChildProcessPrivate::onGraceOver()
{
    if (!leaderDone || groupAlive(group))
        signalGroup(group, SIGKILL);
    if (process.state() != QProcess::NotRunning)
        process.kill();
    killSent = true;
    tryFinish();
}

void ChildProcessPrivate::tryFinish()
{
    // After a time limit the group's stragglers get their SIGKILL first.
    if (!leaderDone || (ending && !killSent && groupAlive(group)))
        return;
    finishLater();
}

void ChildProcessPrivate::finishLater()
{
    if (reported)
        return;
    reported = true;
    limit.stop();
    grace.stop();
    {
        QMutexLocker lock(&registry().mutex);
        if (registry().groups.value(group) == this)
            registry().groups.remove(group);
    }
    ChildProcess* owner = q;
    QMetaObject::invokeMethod(
        owner,
        [owner] {
            ChildProcessPrivate* d = owner->d.data();
            if (!d->abandoned) {
                d->log.write(d->program, d->arguments, d->timeoutMs, d->result);
                emit owner->finished(d->result);
            }
            owner->deleteLater();
        },
        Qt::QueuedConnection);
}

ChildProcess::ChildProcess(QObject* parent)
    : QObject(parent)
    , d(new ChildProcessPrivate(this))
{
}

ChildProcess::~ChildProcess()
{
    QObject::disconnect(&d->process, nullptr, this, nullptr);
    {
        QMutexLocker lock(&registry().mutex);
        if (registry().groups.value(d->group) == d.data())
            registry().groups.remove(d->group);
    }
    if (d->process.state() != QProcess::NotRunning) {
        signalGroup(d->group, SIGKILL);
        d->process.kill();
        d->process.waitForFinished(kReapWaitMs);
    }
}

ChildProcess* ChildProcess::start(const QString& program, const QStringList& arguments,
                                  int timeoutMs, QObject* parent, const ChildOptions& options)
{
    return start(program, arguments, timeoutMs, parent, ChildLog(), options);
}

ChildProcess* ChildProcess::start(const QString& program, const QStringList& arguments,
                                  int timeoutMs, QObject* parent, const ChildLog& log,
                                  const ChildOptions& options)
{
    qRegisterMetaType<ChildResult>();
    auto* child = new ChildProcess(parent);
    ChildProcessPrivate* d = child->d.data();
    d->program = program;
    d->arguments = arguments;
    d->timeoutMs = timeoutMs;
    d->options = options;
    d->log = log;
    QString resolved;
    if (!prepare(d->process, program, options, &resolved, &d->result.error)) {
        d->finishLater();
        return child;
    }
    QObject::connect(&d->process, &QProcess::started, child, [d] {
        d->result.started = true;
        d->group = d->process.processId();
        QMutexLocker lock(&registry().mutex);
        registry().groups.insert(d->group, d);
    });
    QObject::connect(&d->process, &QProcess::readyReadStandardOutput, child,
                     [d] { collect(d->process, d->result, d->options); });
    QObject::connect(&d->process, &QProcess::readyReadStandardError, child,
                     [d] { collect(d->process, d->result, d->options); });
    QObject::connect(&d->process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
                     child, [d] { d->onLeaderEnded(); });
    QObject::connect(&d->process, &QProcess::errorOccurred, child,
                     [d](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         d->result.error = d->process.errorString();
                         d->finishLater();
                     });
    QObject::connect(&d->limit, &QTimer::timeout, child, [d] {
        d->result.timedOut = true;
        d->endGroup();
    });
    QObject::connect(&d->grace, &QTimer::timeout, child, [d] { d->onGraceOver(); });
    d->process.start(resolved, arguments, QIODevice::ReadOnly);
    if (timeoutMs > 0)
        d->limit.start(timeoutMs);
    return child;
}

void ChildProcess::terminate()
{
    d->endGroup();
}

void ChildProcess::endAll()
{
    QList<qint64> groups;
    {
        QMutexLocker lock(&registry().mutex);
        for (auto it = registry().groups.constBegin(); it != registry().groups.constEnd(); ++it) {
            groups.append(it.key());
            if (it.value())
                it.value()->abandoned = true;
        }
    }
    for (qint64 group : groups)
        signalGroup(group, SIGTERM);
    const QDeadlineTimer grace(kShutdownGraceMs);
    const auto anyAlive = [&groups] {
        for (qint64 group : groups) {
            if (groupAlive(group))
                return true;
        }
        return false;
    };
    while (!grace.hasExpired() && anyAlive())
        QThread::msleep(10);
    for (qint64 group : groups) {
        if (groupAlive(group))
            signalGroup(group, SIGKILL);
    }
}

QString ChildProcess::program() const
{
    return d->program;
}

QStringList ChildProcess::arguments() const
{
    return d->arguments;
}

qint64 ChildProcess::processId() const
{
    return d->group;
}

} // namespace base
} // namespace vorn
