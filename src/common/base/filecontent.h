#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QObject>
#include <QStringList>

namespace vorn {
namespace base {

// Whole-file reading and writing and the readers of the core client
// service's local state files.
class FileContent : public QObject
{
    Q_OBJECT
public:
    static FileContent* instace();

    // Replaces the file at path with data, creating missing parent
    // directories: written to a fresh hidden file beside it, flushed to disk
    // and renamed over the name, so that a planted link is replaced, never
    // followed, and a crash never leaves half a file under the name.
    static bool writeAtomic(const QString& path, const QByteArray& data,
                            QFileDevice::Permissions permissions = QFileDevice::ReadOwner
                                | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                | QFileDevice::ReadOther);
    // Whether a file name is that of a write a crash interrupted.
    static bool isUnfinishedWrite(const QString& fileName);
    static QByteArray readAll(const QString& path);
    static bool getHostAndPort(QString& host, QString& port);
    static QStringList getAppBlackList();

    QString getMachineID(bool* ok, bool reload);

private:
    FileContent();
    Q_DISABLE_COPY(FileContent)
    QString m_machineId;
};

} // namespace base
} // namespace vorn
