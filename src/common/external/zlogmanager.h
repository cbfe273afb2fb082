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
    // A log directory with any missing parents, whatever the umask: run as
    // root 0750 with the group "adm", else 0700. One that exists is left as
    // it is. Log files are 0640 with the group "adm" as root, else 0600.
    static bool makeLogDirectory(const QString& path);
    static void registerConsoleAppender();
    static void registerFileAppender();
};

} // namespace Core
} // namespace Zok
