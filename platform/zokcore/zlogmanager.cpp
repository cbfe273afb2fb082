#include "zlogmanager.h"

#include "logfiles.h"
#include "logsink.h"

namespace Zok {
namespace Core {

void ZLogManager::setlogFilePath(const QString& path)
{
    LogSink::instance().setFilePath(path);
}

bool ZLogManager::makeLogDirectory(const QString& path)
{
    return LogFiles::makeDirectory(path);
}

void ZLogManager::registerConsoleAppender()
{
    LogSink::instance().enableConsole();
}

void ZLogManager::registerFileAppender()
{
    LogSink::instance().enableFile();
}

} // namespace Core
} // namespace Zok
