#include "logsink.h"

#include "logfiles.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace Zok {
namespace Core {

namespace {

// "yyyy-MM-dd hh:mm:ss.zzz" in local time. Written with the C library rather than
// QDateTime: two threads logging their first lines at once could get an empty
// time from Qt's first-use set-up of the system locale.
QString localTimestamp()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_nsec / 1000000));
    return QString::fromLatin1(text);
}

// Set while this thread is inside the handler: a message raised while writing
// (for instance by QFile) must not take the mutex a second time.
thread_local bool t_inHandler = false;

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (t_inHandler) {
        const QByteArray line = LogSink::instance().consoleLine(
            type, LogSink::formatLine(type, context, message).toUtf8());
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        std::fflush(stderr);
        return;
    }
    t_inHandler = true;
    LogSink::instance().write(type, context, message);
    t_inHandler = false;
}

const char* levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "unknown";
}

// Syslog priorities: debug, info, warning, and critical for the two worst.
int priority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
    case QtFatalMsg:
        return 2;
    }
    return 6;
}

void writeConsole(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

LogSink& LogSink::instance()
{
    // Never destroyed: messages may still be logged while statics go away.
    static LogSink* sink = new LogSink;
    return *sink;
}

QString LogSink::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/zok/log/") + QCoreApplication::applicationName()
        + QStringLiteral(".log");
}

QString LogSink::formatLine(QtMsgType type, const QMessageLogContext& context,
                            const QString& message)
{
    const QString time = localTimestamp();
    const QString category =
        context.category ? QString::fromUtf8(context.category) : QStringLiteral("default");
    const QString file = context.file ? QString::fromUtf8(context.file) : QStringLiteral("-");
    const QString function =
        context.function ? QString::fromUtf8(context.function) : QStringLiteral("-");
    return QStringLiteral("%1 [%2] %3 %4:%5 %6: %7\n")
        .arg(time, QLatin1String(levelName(type)), category, file)
        .arg(context.line)
        .arg(function, message);
}

QByteArray LogSink::journalLine(QtMsgType type, const QByteArray& line)
{
    const QByteArray prefix = '<' + QByteArray::number(priority(type)) + '>';
    QByteArray out = prefix + line;
    // The journal takes each line on its own: a message's further lines
    // carry the priority too.
    int at = out.indexOf('\n');
    while (at >= 0 && at + 1 < out.size()) {
        out.insert(at + 1, prefix);
        at = out.indexOf('\n', at + 1);
    }
    return out;
}

bool LogSink::stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    bool devOk = false;
    bool inoOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&devOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inoOk);
    struct stat status = {};
    if (!devOk || !inoOk || ::fstat(STDERR_FILENO, &status) != 0)
        return false;
    return status.st_dev == device && status.st_ino == inode;
}

QByteArray LogSink::consoleLine(QtMsgType type, const QByteArray& line) const
{
    return m_journal ? journalLine(type, line) : line;
}

void LogSink::setFilePath(const QString& path)
{
    QMutexLocker locker(&m_mutex);
    if (path == m_filePath)
        return;
    m_filePath = path;
    if (m_file.isOpen()) {
        m_file.close();
        openFileLocked();
    }
}

void LogSink::enableConsole()
{
    {
        QMutexLocker locker(&m_mutex);
        m_console = true;
        m_journal = stderrIsJournal();
    }
    installHandler();
}

void LogSink::enableFile()
{
    {
        QMutexLocker locker(&m_mutex);
        m_fileEnabled = true;
        if (m_filePath.isEmpty())
            m_filePath = defaultFilePath();
        if (!m_file.isOpen())
            openFileLocked();
    }
    installHandler();
}

void LogSink::installHandler()
{
    QMutexLocker locker(&m_mutex);
    if (m_handlerInstalled)
        return;
    m_handlerInstalled = true;
    qInstallMessageHandler(messageHandler);
}

bool LogSink::openFileLocked()
{
    const QString dir = QFileInfo(m_filePath).absolutePath();
    if (!LogFiles::makeDirectory(dir)) {
        writeConsole(consoleLine(QtWarningMsg,
                                 QStringLiteral("zok: cannot create log directory %1\n").arg(dir).toUtf8()));
        return false;
    }
    const int fd = LogFiles::openForAppend(m_filePath);
    if (fd < 0 || !m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append,
                               QFileDevice::AutoCloseHandle)) {
        const QString reason = fd < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                      : m_file.errorString();
        if (fd >= 0)
            ::close(fd);
        writeConsole(consoleLine(QtWarningMsg, QStringLiteral("zok: cannot open log file %1: %2\n")
                                                   .arg(m_filePath, reason)
                                                   .toUtf8()));
        return false;
    }
    return true;
}

void LogSink::write(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QByteArray line = formatLine(type, context, message).toUtf8();
    QMutexLocker locker(&m_mutex);
    if (m_console)
        writeConsole(consoleLine(type, line));
    if (m_fileEnabled && m_file.isOpen()) {
        m_file.write(line);
        m_file.flush();
    }
}

} // namespace Core
} // namespace Zok
