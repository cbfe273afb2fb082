#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QtGlobal>

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
    static QString defaultFilePath();

private:
    LogSink() = default;
    Q_DISABLE_COPY(LogSink)

    void installHandler();
    bool openFileLocked();

    QMutex m_mutex;
    bool m_handlerInstalled = false;
    bool m_console = false;
    bool m_fileEnabled = false;
    QString m_filePath;
    QFile m_file;
};

} // namespace Core
} // namespace Zok
