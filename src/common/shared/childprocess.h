#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QScopedPointer>
#include <QString>
#include <QStringList>

#include <functional>

namespace vorn {
namespace base {

// What became of one child process.
struct ChildResult
{
    bool started = false;   // the program was found and executed
    bool timedOut = false;  // its process group was ended at the time limit
    bool stopped = false;   // not started, or its group ended, because a stop was asked
    bool crashed = false;   // it ended through a signal (also the one that ended it at the limit)
    int exitCode = -1;      // exit code of a normal exit, else -1
    bool truncated = false; // output beyond the cap was dropped
    QByteArray output;      // standard output (with the error output when merged)
    QByteArray errorOutput; // error output, when captured apart
    QString error;          // why it could not be started; else empty

    bool succeeded() const { return started && !timedOut && !crashed && exitCode == 0; }
    // The output as text, up to its first NUL byte.
    QString outputText() const;
    // "NormalExit" or "CrashExit", as the logs name them.
    const char* exitStatusName() const;
};

struct ChildOptions
{
    enum class ErrorOutput { Discard, Merge, Capture };
    explicit ChildOptions(ErrorOutput errorOutput = ErrorOutput::Discard)
        : errorOutput(errorOutput)
    {
    }
    ErrorOutput errorOutput;
    // Bytes kept of each output channel; the rest is read and dropped, so
    // a chatty child never blocks on a full pipe.
    int outputLimit = 1 << 20;
    // Between SIGTERM and SIGKILL when the time limit ends the group.
    int terminateGraceMs = 2000;
    // Waiting form only: asked before the start and between waits of at most
    // 100 ms. Once it answers true the program is not started, or its group
    // is ended as at the time limit, so that a thread asked to stop is not
    // held by a tool.
    std::function<bool()> stopRequested;
};

// The lines a logged run writes of its command and how it ended, one
// pattern for each outcome; an empty one writes nothing. Fields in braces
// are written as qDebug() writes their values: {command} (the name below,
// else the program and its arguments), {program}, {error}, {limit} (the
// time limit in ms), {exit}, {status} ("NormalExit" or "CrashExit"),
// {crashed}, {output} (the bytes) and {text} (the output as text).
struct ChildLog
{
    QString command;                  // how the lines name the command, if not by its program
    const char* stopped = nullptr;    // info: a stop was asked
    const char* notStarted = nullptr; // warning
    const char* timedOut = nullptr;   // warning
    const char* crashed = nullptr;    // warning: ended through a signal before the limit
    const char* failed = nullptr;     // warning: a non-zero exit before the limit
    const char* ended = nullptr;      // info: every end of a started child not stopped
    const char* output = nullptr;     // info, after ended: when there was any output

    void write(const QString& program, const QStringList& arguments, int timeoutMs,
               const ChildResult& result) const;
};

class ChildProcessPrivate;

// The one way the programs start a child process.
//
// The program is found through the children's PATH and gets its arguments
// as a list; a shell runs only when the caller names "/bin/bash" and "-c"
// itself. Every child gets the program's environment with LC_ALL=C, without
// the service manager's NOTIFY_SOCKET and WATCHDOG_* and, when
// the program is root, the fixed PATH (or VORN_CHILD_PATH, for tests whose
// stand-in tools must come first). It runs in
// a process group of its own, reads /dev/null, inherits no descriptor above 2,
// no blocked signals and no ignored ones. At the time limit the whole group
// gets SIGTERM, then SIGKILL.
class ChildProcess : public QObject
{
    Q_OBJECT
public:
    // Waiting form: any thread, no event loop needed. timeoutMs <= 0 means no limit.
    static ChildResult run(const QString& program, const QStringList& arguments, int timeoutMs,
                           const ChildOptions& options = ChildOptions());
    // Logged form: the outcome goes to the log as `log` says before it is returned.
    static ChildResult run(const QString& program, const QStringList& arguments, int timeoutMs,
                           const ChildLog& log, const ChildOptions& options = ChildOptions());

    // Asynchronous form, on a thread with an event loop. finished() comes
    // exactly once and always later from the event loop, also when the
    // program cannot be started; the object deletes itself after it.
    static ChildProcess* start(const QString& program, const QStringList& arguments,
                               int timeoutMs, QObject* parent,
                               const ChildOptions& options = ChildOptions());
    // Logged form: the outcome goes to the log as `log` says, just before finished().
    static ChildProcess* start(const QString& program, const QStringList& arguments,
                               int timeoutMs, QObject* parent, const ChildLog& log,
                               const ChildOptions& options = ChildOptions());

    // Ends the child's group now, as the time limit would; finished() follows.
    void terminate();

    // At shutdown: ends the group of every child still running, of both
    // forms, within about half a second. Asynchronous children ended here
    // report nothing any more.
    static void endAll();

    // A command line split into program and arguments (blanks separate,
    // double quotes group); no shell is involved.
    static QStringList splitCommand(const QString& command);

    // The PATH children get. A non-root program passes its own on.
    static QString childPath();
    static QString childPathFor(bool root, const QString& seam);
    static const char kRootPath[];

    ~ChildProcess() override;

    QString program() const;
    QStringList arguments() const;
    qint64 processId() const;

signals:
    void finished(const vorn::base::ChildResult& result);

private:
    explicit ChildProcess(QObject* parent);
    Q_DISABLE_COPY(ChildProcess)
    friend class ChildProcessPrivate;
    QScopedPointer<ChildProcessPrivate> d;
};

} // namespace base
} // namespace vorn

Q_DECLARE_METATYPE(vorn::base::ChildResult)
