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

    // AtomicFile::write and AtomicFile::isUnfinishedWrite.
    static bool writeAtomic(const QString& path, const QByteArray& data,
                            QFileDevice::Permissions permissions = QFileDevice::ReadOwner
                                | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                | QFileDevice::ReadOther);
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
