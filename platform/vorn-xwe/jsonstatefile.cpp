#include "jsonstatefile.h"

#include "status.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace xwe {

namespace {

// A writer holding the lock longer than this is stuck; callers get StoreBusy.
const int kLockWaitMs = 5000;

// flock() on a file of its own; closing the descriptor releases it.
class LockFile
{
public:
    explicit LockFile(const QString& path)
        // O_CLOEXEC: a child started while we hold the lock must not keep it.
        : m_fd(::open(QFile::encodeName(path).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600))
        , m_path(path)
    {
    }
    ~LockFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    int acquire()
    {
        if (m_fd < 0) {
            qWarning() << "vorn-xwe: cannot open lock file" << m_path << qt_error_string(errno);
            return SaveFailed;
        }
        QElapsedTimer waited;
        waited.start();
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                qWarning() << "vorn-xwe: cannot lock" << m_path << qt_error_string(errno);
                return SaveFailed;
            }
            if (waited.elapsed() >= kLockWaitMs) {
                qWarning() << "vorn-xwe: lock" << m_path << "still held after" << kLockWaitMs << "ms";
                return StoreBusy;
            }
            QThread::msleep(5);
        }
        return Success;
    }

private:
    int m_fd;
    QString m_path;
};

} // namespace

JsonStateFile::JsonStateFile(const QString& path)
    : m_path(path)
{
}

QString JsonStateFile::path() const
{
    return m_path;
}

bool JsonStateFile::exists() const
{
    return QFileInfo::exists(m_path);
}

QJsonObject JsonStateFile::read(ReadResult* result) const
{
    return read(result, vorn::base::StateFile::OnDamage::Leave);
}

QJsonObject JsonStateFile::read(ReadResult* result, vorn::base::StateFile::OnDamage onDamage) const
{
    vorn::base::StateFile::Status status = vorn::base::StateFile::Status::Missing;
    const QJsonObject content = stateFile().read(&status, {}, onDamage);
    switch (status) {
    case vorn::base::StateFile::Status::Missing:
        *result = ReadResult::Missing;
        break;
    case vorn::base::StateFile::Status::Ok:
        *result = ReadResult::Ok;
        break;
    case vorn::base::StateFile::Status::Damaged:
        *result = ReadResult::Corrupt;
        break;
    }
    return content;
}

vorn::base::StateFile JsonStateFile::stateFile() const
{
    return vorn::base::StateFile(m_path, QStringLiteral("vorn-xwe: damaged state file"),
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

int JsonStateFile::update(const Change& change)
{
    if (!ensureDirectory())
        return SaveFailed;
    LockFile lock(m_path + QStringLiteral(".lock"));
    const int locked = lock.acquire();
    if (locked != Success)
        return locked;

    // Under the lock a damaged file is kept for inspection beside its name,
    // instead of failing every call forever; the change starts afresh.
    ReadResult result = ReadResult::Missing;
    QJsonObject content = read(&result, vorn::base::StateFile::OnDamage::MoveAside);
    if (!change(content))
        return Success;
    return write(content);
}

bool JsonStateFile::ensureDirectory() const
{
    const QString dir = QFileInfo(m_path).absolutePath();
    if (QFileInfo(dir).isDir())
        return true;
    if (!QDir().mkpath(dir)) {
        qWarning() << "vorn-xwe: cannot create directory" << dir;
        return false;
    }
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return true;
}

int JsonStateFile::write(const QJsonObject& content) const
{
    return stateFile().write(content) ? Success : SaveFailed;
}

} // namespace xwe
