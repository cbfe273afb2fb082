#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <atomic>

namespace Zok {
namespace Core {

// The process-wide destination of log messages: the console (stderr) and
// one log file, each switched on separately. Every call is thread-safe.
class LogSink
{
public:
    static LogSink& instance();

    void setFilePath(const QString& path);
    void enableConsole();
    void enableFile();

    void write(QtMsgType type, const QMessageLogContext& context, const QString& message);

    static QString formatLine(QtMsgType type, const QMessageLogContext& context,
                              const QString& message);
    // A console line as the journal reads it: every line of it starts with
    // the message's syslog priority, "<N>".
    static QByteArray journalLine(QtMsgType type, const QByteArray& line);
    // Whether stderr is the stream the service manager connected to the
    // journal (JOURNAL_STREAM names its device and inode).
    static bool stderrIsJournal();
    // The line as this console takes it: with priorities when it is the journal.
    QByteArray consoleLine(QtMsgType type, const QByteArray& line) const;
    static QString defaultFilePath();

private:
    LogSink() = default;
    Q_DISABLE_COPY(LogSink)

    void installHandler();
    bool openFileLocked();

    QMutex m_mutex;
    bool m_handlerInstalled = false;
    bool m_console = false;
    // Read without the mutex by a message raised while one is written.
    std::atomic<bool> m_journal{false};
    bool m_fileEnabled = false;
    QString m_filePath;
    QFile m_file;
};

} // namespace Core
} // namespace Zok
