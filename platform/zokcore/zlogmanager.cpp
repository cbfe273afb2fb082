#include "common/external/zlogmanager.h"

#include "logsink.h"

namespace Zok {
namespace Core {

void ZLogManager::setlogFilePath(const QString& path)
{
    LogSink::instance().setFilePath(path);
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
