#include "jsonstatefile.h"

#include "status.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace xwe {

namespace {

// A writer holding the lock longer than this is stuck; callers get StoreBusy.
const int kLockWaitMs = 5000;
// State files hold a few settings; anything far larger is not ours.
const qint64 kMaxFileSize = 16 * 1024 * 1024;

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
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        *result = file.exists() ? ReadResult::Corrupt : ReadResult::Missing;
        if (*result == ReadResult::Corrupt)
            qWarning() << "vorn-xwe: cannot read" << m_path << file.errorString();
        return QJsonObject();
    }
    if (file.size() > kMaxFileSize) {
        qWarning() << "vorn-xwe:" << m_path << "is too large:" << file.size() << "bytes";
        *result = ReadResult::Corrupt;
        return QJsonObject();
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        qWarning() << "vorn-xwe:" << m_path << "is not a JSON object:" << error.errorString();
        *result = ReadResult::Corrupt;
        return QJsonObject();
    }
    *result = ReadResult::Ok;
    return doc.object();
}

int JsonStateFile::update(const Change& change)
{
    if (!ensureDirectory())
        return SaveFailed;
    LockFile lock(m_path + QStringLiteral(".lock"));
    const int locked = lock.acquire();
    if (locked != Success)
        return locked;

    ReadResult result = ReadResult::Missing;
    QJsonObject content = read(&result);
    if (result == ReadResult::Corrupt) {
        // Keep the damaged file for inspection instead of failing every call forever.
        setAsideCorrupt();
        content = QJsonObject();
    }
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

void JsonStateFile::setAsideCorrupt() const
{
    const QString aside = m_path + QStringLiteral(".corrupt");
    QFile::remove(aside);
    if (QFile::rename(m_path, aside))
        qWarning() << "vorn-xwe: moved unreadable" << m_path << "to" << aside << "and started afresh";
    else
        qWarning() << "vorn-xwe: unreadable" << m_path << "will be replaced";
}

int JsonStateFile::write(const QJsonObject& content) const
{
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "vorn-xwe: cannot write" << m_path << file.errorString();
        return SaveFailed;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray data = QJsonDocument(content).toJson(QJsonDocument::Indented);
    if (file.write(data) != data.size() || !file.commit()) {
        qWarning() << "vorn-xwe: cannot write" << m_path << file.errorString();
        return SaveFailed;
    }
    return Success;
}

} // namespace xwe
