#include "shell_command.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QtDebug>

#include <csignal>

#include <sys/types.h>
#include <unistd.h>

namespace {

const int kKillWaitMs = 5000;

// Starts its child as the leader of a new process group, so that the command
// and everything it started can be ended together.
class GroupProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

QString outputText(QByteArray output)
{
    const int nul = output.indexOf('\0');
    if (nul >= 0)
        output.truncate(nul);
    return QString::fromUtf8(output);
}

QString limitText(int limitMs)
{
    return limitMs % 1000 == 0 ? QStringLiteral("%1 s").arg(limitMs / 1000)
                               : QStringLiteral("%1 ms").arg(limitMs);
}

} // namespace

ShellCommand::Result ShellCommand::run(const QString& command, int limitMs)
{
    Result result;
    GroupProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(env);
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), command},
                  QIODevice::ReadWrite);
    if (!process.waitForStarted(limitMs)) {
        result.error = process.errorString();
        qWarning() << "command could not be started:" << command << result.error;
        return result;
    }
    // Nothing is ever written to it; a command reading its input sees the end at once.
    process.closeWriteChannel();

    if (!process.waitForFinished(limitMs) && process.state() != QProcess::NotRunning) {
        result.timedOut = true;
        qWarning() << "command still running after" << limitMs << "ms, killed:" << command;
        const qint64 pid = process.processId();
        if (pid > 0)
            ::kill(-pid_t(pid), SIGKILL);
        process.kill();
        if (!process.waitForFinished(kKillWaitMs))
            qWarning() << "killed command did not end:" << command;
    }
    result.output = outputText(process.readAllStandardOutput());
    return result;
}

QString ShellCommand::resultText(const QString& command, const Result& result, int limitMs)
{
    if (!result.error.isEmpty())
        return QStringLiteral("command could not be started: %1: %2").arg(result.error, command);
    if (!result.timedOut)
        return result.output;
    QString text = QStringLiteral("command timed out after %1: %2").arg(limitText(limitMs), command);
    if (!result.output.isEmpty())
        text += QLatin1Char('\n') + result.output;
    return text;
}
