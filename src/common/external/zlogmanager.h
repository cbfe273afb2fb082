#pragma once

#include <QString>

namespace Zok {
namespace Core {

// Process-wide Qt message handler writing every message, with its time,
// level, category, source file, line and function, to the console and to a
// log file (libzokcore.so.5). Thread-safe.
class ZLogManager
{
public:
    // Log file used by registerFileAppender(). Without a call, the file is
    // <generic data location>/zok/log/<application name>.log of the user.
    static void setlogFilePath(const QString& path);
    static void registerConsoleAppender();
    static void registerFileAppender();
};

} // namespace Core
} // namespace Zok
