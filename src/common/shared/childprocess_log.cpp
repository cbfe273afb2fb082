// How a child's result reads: as text, and in the lines a logged run writes.
#include "childprocess.h"

#include <QDebug>

namespace vorn {
namespace base {

namespace {

// A value as qDebug() shows it among other values: strings quoted, lists in brackets.
template <typename T>
QString shown(const T& value)
{
    QString text;
    QDebug(&text).nospace() << value;
    return text;
}

struct LineFields
{
    const ChildLog& log;
    const QString& program;
    const QStringList& arguments;
    int timeoutMs;
    const ChildResult& result;

    QString value(const QStringRef& name) const
    {
        if (name == QLatin1String("command"))
            return log.command.isEmpty() ? shown(program) + QLatin1Char(' ') + shown(arguments)
                                         : shown(log.command);
        if (name == QLatin1String("program"))
            return shown(program);
        if (name == QLatin1String("error"))
            return shown(result.error);
        if (name == QLatin1String("limit"))
            return shown(timeoutMs);
        if (name == QLatin1String("exit"))
            return shown(result.exitCode);
        if (name == QLatin1String("status"))
            return QString::fromLatin1(result.exitStatusName());
        if (name == QLatin1String("crashed"))
            return shown(result.crashed);
        if (name == QLatin1String("output"))
            return shown(result.output);
        if (name == QLatin1String("text"))
            return shown(result.outputText());
        return QLatin1Char('{') + name + QLatin1Char('}');
    }
};

QString expand(const char* pattern, const LineFields& fields)
{
    const QString text = QString::fromUtf8(pattern);
    QString line;
    int at = 0;
    for (;;) {
        const int open = text.indexOf(QLatin1Char('{'), at);
        const int close = open < 0 ? -1 : text.indexOf(QLatin1Char('}'), open);
        if (close < 0)
            return line + text.midRef(at);
        line += text.midRef(at, open - at);
        line += fields.value(text.midRef(open + 1, close - open - 1));
        at = close + 1;
    }
}

} // namespace

QString ChildResult::outputText() const
{
    const int nul = output.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? output : output.left(nul));
}

const char* ChildResult::exitStatusName() const
{
    return crashed ? "CrashExit" : "NormalExit";
}

void ChildLog::write(const QString& program, const QStringList& arguments, int timeoutMs,
                     const ChildResult& result) const
{
    const LineFields fields{*this, program, arguments, timeoutMs, result};
    const auto info = [&fields](const char* pattern) {
        if (pattern)
            qInfo().noquote() << expand(pattern, fields);
    };
    const auto warn = [&fields](const char* pattern) {
        if (pattern)
            qWarning().noquote() << expand(pattern, fields);
    };
    if (result.stopped)
        return info(stopped);
    if (!result.started)
        return warn(notStarted);
    if (result.timedOut)
        warn(timedOut);
    else if (result.crashed)
        warn(crashed);
    else if (result.exitCode != 0)
        warn(failed);
    info(ended);
    if (!result.output.isEmpty())
        info(output);
}

} // namespace base
} // namespace vorn
