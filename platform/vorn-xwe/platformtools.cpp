#include "platformtools.h"

#include "childprocess.h"

#include <QDebug>
#include <QStandardPaths>

namespace xwe {

namespace {

QString findTool(const QString& program)
{
    return QStandardPaths::findExecutable(
        program, vorn::base::ChildProcess::childPath().split(QLatin1Char(':'), Qt::SkipEmptyParts));
}

} // namespace

bool toolAvailable(const QString& program)
{
    return !findTool(program).isEmpty();
}

ToolOutcome runTool(const QString& program, const QStringList& arguments, QByteArray* output, int timeoutMs)
{
    // Looked up first only to tell a missing tool from a failing one.
    if (findTool(program).isEmpty()) {
        qWarning().noquote() << "vorn-xwe:" << program << "not found on PATH";
        return ToolOutcome::Missing;
    }
    // The programs' own child runner: their PATH, environment, process group,
    // output cap and time limit, here as there.
    vorn::base::ChildOptions options(vorn::base::ChildOptions::ErrorOutput::Capture);
    const vorn::base::ChildResult result =
        vorn::base::ChildProcess::run(program, arguments, timeoutMs < 0 ? 0 : timeoutMs, options);
    if (!result.started) {
        qWarning().noquote() << "vorn-xwe: cannot run" << program << result.error;
        return ToolOutcome::Failed;
    }
    if (result.timedOut) {
        qWarning().noquote() << "vorn-xwe:" << program << arguments.join(QLatin1Char(' '))
                             << "did not finish in" << timeoutMs << "ms";
        return ToolOutcome::Failed;
    }
    if (output)
        *output = result.output;
    if (!result.succeeded()) {
        qWarning().noquote() << "vorn-xwe:" << program << arguments.join(QLatin1Char(' ')) << "failed, exit"
                             << result.exitCode
                             << QString::fromLocal8Bit(result.errorOutput.trimmed().left(500));
        return ToolOutcome::Failed;
    }
    return ToolOutcome::Ok;
}

} // namespace xwe
