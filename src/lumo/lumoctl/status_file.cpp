#include "status_file.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumoctl {

namespace {

OpenedStatusFile failed(int error)
{
    OpenedStatusFile result;
    result.error = error;
    return result;
}

OpenedStatusFile refused(const QString& problem)
{
    OpenedStatusFile result;
    result.problem = problem;
    return result;
}

// The checked file, now for reading: opened through its descriptor, it cannot have been
// swapped for another since it was looked at.
OpenedStatusFile reopen(int pathFd, const struct stat& st)
{
    if (!S_ISREG(st.st_mode))
        return refused(QStringLiteral("is not a regular file"));
    if (st.st_nlink != 1)
        return refused(QStringLiteral("has more than one name, not read"));
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(pathFd);
    OpenedStatusFile result;
    result.fd = ::open(self.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    result.error = result.fd < 0 ? errno : 0;
    return result;
}

} // namespace

OpenedStatusFile openStatusFile(const QString& path, const QString& trusted)
{
    const QFileInfo info(path);
    QString top = info.path();
    QStringList parts{info.fileName()};
    if (!trusted.isEmpty()) {
        const QString prefix = trusted.endsWith(QLatin1Char('/')) ? trusted : trusted + QLatin1Char('/');
        if (!path.startsWith(prefix))
            return refused(QStringLiteral("is not below %1").arg(trusted));
        top = trusted;
        parts = path.mid(prefix.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    }
    if (parts.isEmpty() || parts.contains(QStringLiteral("..")) || parts.contains(QStringLiteral("."))
        || parts.contains(QString()))
        return refused(QStringLiteral("is not a status file name"));

    int dir = ::open(QFile::encodeName(top).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return failed(errno);
    for (int i = 0; i < parts.size(); ++i) {
        // O_PATH with O_NOFOLLOW opens a link itself, which fstat then shows as a link.
        const int next = ::openat(dir, QFile::encodeName(parts.at(i)).constData(),
                                  O_PATH | O_NOFOLLOW | O_CLOEXEC);
        const int openError = errno;
        ::close(dir);
        if (next < 0)
            return failed(openError);
        struct stat st {};
        if (::fstat(next, &st) != 0) {
            const int statError = errno;
            ::close(next);
            return failed(statError);
        }
        if (S_ISLNK(st.st_mode)) {
            ::close(next);
            return refused(QStringLiteral("is reached through a symbolic link, not followed"));
        }
        if (i + 1 == parts.size()) {
            const OpenedStatusFile result = reopen(next, st);
            ::close(next);
            return result;
        }
        if (!S_ISDIR(st.st_mode)) {
            ::close(next);
            return failed(ENOTDIR);
        }
        dir = next;
    }
    return failed(ENOENT); // not reached: parts is not empty
}

} // namespace lumoctl
