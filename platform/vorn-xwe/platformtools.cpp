#include "platformtools.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

#include <unistd.h>

namespace xwe {

namespace {

// Between SIGTERM and SIGKILL for a tool that ran out of time.
constexpr int kTerminateGraceMs = 1000;
constexpr int kReapWaitMs = 1000;

// A tool leads a process group of its own, so that a tool that hangs is ended
// together with whatever it started.
class ToolProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

int remainingMs(const QDeadlineTimer& deadline)
{
    return deadline.isForever() ? -1 : int(qMax<qint64>(1, deadline.remainingTime()));
}

bool groupAlive(pid_t group)
{
    return group > 0 && ::kill(-group, 0) == 0;
}

// SIGTERM to the whole group, SIGKILL to whatever of it is left after the grace time.
void endGroup(QProcess& process)
{
    const auto group = pid_t(process.processId());
    if (group > 0)
        ::kill(-group, SIGTERM);
    const QDeadlineTimer grace(kTerminateGraceMs);
    process.waitForFinished(remainingMs(grace));
    while (!grace.hasExpired() && groupAlive(group))
        QThread::msleep(10);
    if (groupAlive(group))
        ::kill(-group, SIGKILL);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kReapWaitMs);
    }
}

} // namespace

bool toolAvailable(const QString& program)
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

ToolOutcome runTool(const QString& program, const QStringList& arguments, QByteArray* output, int timeoutMs)
{
    const QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty()) {
        qWarning().noquote() << "vorn-xwe:" << program << "not found on PATH";
        return ToolOutcome::Missing;
    }
    // Starting and running share the one time limit.
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    ToolProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(path, arguments);
    if (!process.waitForStarted(remainingMs(deadline))) {
        qWarning().noquote() << "vorn-xwe: cannot run" << program << process.errorString();
        if (process.state() != QProcess::NotRunning)
            endGroup(process);
        return ToolOutcome::Failed;
    }
    if (!process.waitForFinished(remainingMs(deadline))) {
        qWarning().noquote() << "vorn-xwe:" << program << arguments.join(QLatin1Char(' '))
                             << "did not finish in" << timeoutMs << "ms";
        endGroup(process);
        return ToolOutcome::Failed;
    }
    if (output)
        *output = process.readAllStandardOutput();
    const QByteArray errors = process.readAllStandardError().trimmed();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning().noquote() << "vorn-xwe:" << program << arguments.join(QLatin1Char(' ')) << "failed, exit"
                             << process.exitCode() << QString::fromLocal8Bit(errors.left(500));
        return ToolOutcome::Failed;
    }
    return ToolOutcome::Ok;
}

} // namespace xwe
