#pragma once

#include <QByteArray>
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

    static bool writeTo(const QString& path, const QByteArray& data);
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
