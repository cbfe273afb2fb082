#include "logfiles.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Zok {
namespace Core {
namespace LogFiles {

namespace {

constexpr mode_t kRootDirectoryMode = 0750;
constexpr mode_t kRootFileMode = 0640;
constexpr mode_t kUserDirectoryMode = 0700;
constexpr mode_t kUserFileMode = 0600;

bool asRoot()
{
    return ::geteuid() == 0;
}

// The group administrators read logs with; -1 (leave the group) where the
// system has none.
gid_t logGroup()
{
    struct group entry = {};
    struct group* found = nullptr;
    char buffer[4096];
    if (::getgrnam_r("adm", &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return static_cast<gid_t>(-1);
    return found->gr_gid;
}

// Mode and group of a freshly made or opened log path: set explicitly, since
// the creation mode is what the umask leaves of it.
bool applyOwnership(int fd, mode_t mode)
{
    if (::fchmod(fd, mode) != 0)
        return false;
    if (asRoot()) {
        const gid_t group = logGroup();
        if (group != static_cast<gid_t>(-1) && ::fchown(fd, 0, group) != 0)
            return false;
    }
    return true;
}

} // namespace

bool makeDirectory(const QString& path)
{
    // cleanPath: a trailing slash would make the directory its own parent.
    const QFileInfo info(QDir::cleanPath(path));
    if (info.isDir())
        return true;
    const QString parent = info.absolutePath();
    if (!QDir().mkpath(parent))
        return false;
    const QByteArray native = QFile::encodeName(info.absoluteFilePath());
    const mode_t mode = asRoot() ? kRootDirectoryMode : kUserDirectoryMode;
    if (::mkdir(native.constData(), 0700) != 0)
        return errno == EEXIST && QFileInfo(info.absoluteFilePath()).isDir();
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool owned = applyOwnership(fd, mode);
    ::close(fd);
    return owned;
}

int openForAppend(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    const mode_t mode = asRoot() ? kRootFileMode : kUserFileMode;
    const int fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    // Also a file left by an earlier run gets the mode. Only our own regular
    // file: anything else is not ours to change but is written to as before.
    // A failed change costs no log line: the file is still written.
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid())
        applyOwnership(fd, mode);
    return fd;
}

} // namespace LogFiles
} // namespace Core
} // namespace Zok
