#include "downloadtarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Keeps the temporary name within NAME_MAX however long the target's name is.
constexpr int kMaxNameInTemp = 160;
constexpr mode_t kNewFileMode = 0644;

} // namespace

DownloadTarget::DownloadTarget(const QString& targetPath)
    : m_targetPath(targetPath)
{
}

DownloadTarget::~DownloadTarget()
{
    discard();
}

bool DownloadTarget::fail(const QString& what, int errnum)
{
    m_error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errnum)));
    return false;
}

bool DownloadTarget::open()
{
    if (m_targetPath.isEmpty()) {
        m_error = QStringLiteral("no local path given");
        return false;
    }
    const QFileInfo info(m_targetPath);
    if (info.fileName().isEmpty()) {
        m_error = QStringLiteral("local path \"%1\" names no file").arg(m_targetPath);
        return false;
    }
    if (info.isDir() && !info.isSymLink()) {
        m_error = QStringLiteral("local path \"%1\" is a directory").arg(m_targetPath);
        return false;
    }
    // mkostemp creates the name exclusively with mode 0600; an existing name
    // (a planted link included) makes it pick another one.
    const QString pattern = info.absolutePath() + QLatin1String("/.")
        + info.fileName().left(kMaxNameInTemp) + QLatin1String(".part-XXXXXX");
    QByteArray name = QFile::encodeName(pattern);
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("cannot create a file in \"%1\"").arg(info.absolutePath()), errno);
    m_fd = fd;
    m_tempPath = name;
    return true;
}

bool DownloadTarget::write(const char* data, qint64 size)
{
    if (m_fd < 0) {
        m_error = QStringLiteral("download file is not open");
        return false;
    }
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(QStringLiteral("cannot write \"%1\"").arg(tempPath()), errno);
        }
        data += n;
        size -= n;
    }
    return true;
}

bool DownloadTarget::commit()
{
    if (m_fd < 0) {
        m_error = QStringLiteral("download file is not open");
        return false;
    }
    // A replaced file keeps its permissions; a new one gets the usual 0644
    // instead of the temporary file's 0600.
    mode_t mode = kNewFileMode;
    struct stat st;
    const QByteArray target = QFile::encodeName(m_targetPath);
    if (::lstat(target.constData(), &st) == 0 && S_ISREG(st.st_mode))
        mode = st.st_mode & 07777;
    if (::fchmod(m_fd, mode) != 0)
        return fail(QStringLiteral("cannot set the mode of \"%1\"").arg(tempPath()), errno);
    // The content must be on disk before the name points at it.
    if (::fsync(m_fd) != 0)
        return fail(QStringLiteral("cannot write \"%1\"").arg(tempPath()), errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fail(QStringLiteral("cannot write \"%1\"").arg(tempPath()), errno);
    // rename() replaces a link at the target instead of following it.
    if (::rename(m_tempPath.constData(), target.constData()) != 0) {
        const int err = errno;
        ::unlink(m_tempPath.constData());
        m_tempPath.clear();
        return fail(QStringLiteral("cannot replace \"%1\"").arg(m_targetPath), err);
    }
    m_tempPath.clear();
    const QByteArray dir = QFile::encodeName(QFileInfo(m_targetPath).absolutePath());
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

void DownloadTarget::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.isEmpty()) {
        ::unlink(m_tempPath.constData());
        m_tempPath.clear();
    }
}
