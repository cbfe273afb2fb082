#include "script_file.h"

#include <QFile>
#include <QRandomGenerator>
#include <QtDebug>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const QByteArray& data)
{
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

ScriptFile::NameSource ScriptFile::randomNames()
{
    return [] { return QRandomGenerator::system()->generate(); };
}

QString ScriptFile::create(const QString& dir, const QByteArray& data, const NameSource& names,
                           QString* error)
{
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const QString path = dir + QStringLiteral("/%1.bash").arg(names());
        const QByteArray native = QFile::encodeName(path);
        // O_EXCL also refuses a link at the name, dangling or not.
        const int fd = ::open(native.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
        if (fd < 0) {
            const int openError = errno;
            if (openError == EEXIST) {
                qInfo() << "script file name in use, drawing another:" << path;
                continue;
            }
            *error = QStringLiteral("cannot create %1: %2").arg(path, errnoText(openError));
            return QString();
        }
        // The umask may only have narrowed the mode; make it exact.
        const bool written = ::fchmod(fd, 0700) == 0 && writeAll(fd, data);
        const int writeError = errno;
        const bool closed = ::close(fd) == 0;
        if (!written || !closed) {
            ::unlink(native.constData());
            *error = QStringLiteral("cannot write %1: %2").arg(path, errnoText(writeError));
            return QString();
        }
        return path;
    }
    *error = QStringLiteral("no free script file name in %1 after %2 attempts")
                 .arg(dir)
                 .arg(kMaxAttempts);
    return QString();
}
