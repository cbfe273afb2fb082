#include "shell_command.h"

#include "common/shared/childprocess.h"

namespace {

QString limitText(int limitMs)
{
    return limitMs % 1000 == 0 ? QStringLiteral("%1 s").arg(limitMs / 1000)
                               : QStringLiteral("%1 ms").arg(limitMs);
}

} // namespace

ShellCommand::Result ShellCommand::run(const QString& command, int limitMs)
{
    vorn::base::ChildLog log;
    log.command = command;
    log.notStarted = "command could not be started: {command} {error}";
    log.timedOut = "command still running after {limit} ms, killed: {command}";
    const vorn::base::ChildResult child = vorn::base::ChildProcess::run(
        QStringLiteral("/bin/bash"), {QStringLiteral("-c"), command}, limitMs, log);
    // Not started: no output, no exit code, and the error says why.
    return {child.outputText(), child.timedOut, child.error, child.exitCode};
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

QString ShellCommand::summaryText(const Result& result, int limitMs)
{
    if (!result.error.isEmpty())
        return QStringLiteral("failed: could not be started");
    if (result.timedOut)
        return QStringLiteral("failed: timed out after %1").arg(limitText(limitMs));
    if (result.exitCode == 0)
        return QStringLiteral("success");
    if (result.exitCode < 0)
        return QStringLiteral("failed: ended by a signal");
    return QStringLiteral("failed: exit %1").arg(result.exitCode);
}
