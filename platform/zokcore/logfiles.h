#pragma once

#include <QString>

namespace Zok {
namespace Core {

// Modes and owners of log directories and files, the same whatever the
// umask. Run as root, logs belong to root and the group "adm" (administrators
// may read them, nobody else); run as a user, they stay the user's own.
namespace LogFiles {

// The directory with any missing parents; a directory that exists is left as
// it is. Returns whether the directory exists afterwards.
bool makeDirectory(const QString& path);

// Opens the file for appending, creating it if needed, and gives it the log
// file mode and group. Returns the descriptor, or -1 with errno set.
int openForAppend(const QString& path);

} // namespace LogFiles

} // namespace Core
} // namespace Zok
