#include "platformtools.h"

#include <QDebug>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace xwe {

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
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(path, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        qWarning().noquote() << "vorn-xwe: cannot run" << program << process.errorString();
        return ToolOutcome::Failed;
    }
    if (!process.waitForFinished(timeoutMs)) {
        qWarning().noquote() << "vorn-xwe:" << program << arguments.join(QLatin1Char(' '))
                             << "did not finish in" << timeoutMs << "ms";
        process.kill();
        process.waitForFinished(1000);
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
