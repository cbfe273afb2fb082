#include "filecontent.h"

#include "baseutils.h"
#include "constants.h"
#include "fileproxy.h"

#include <QDir>
#include <QTemporaryFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>

#include <cerrno>
#include <unistd.h>

namespace vorn {
namespace base {

namespace {
// Marks a file still being written; such a file never counts as written.
const QLatin1String kWritingMark(".writing-");

// Text of a state file up to its first NUL byte, as UTF-8.
QString textUpToNul(const QByteArray& data)
{
    const int nul = data.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? data : data.left(nul));
}
} // namespace

FileContent::FileContent() = default;

FileContent* FileContent::instace()
{
    // Created on first use, destroyed at exit.
    static FileContent instance;
    return &instance;
}

bool FileContent::isUnfinishedWrite(const QString& fileName)
{
    return fileName.startsWith(QLatin1Char('.')) && fileName.contains(kWritingMark);
}

bool FileContent::writeAtomic(const QString& path, const QByteArray& data,
                              QFileDevice::Permissions permissions)
{
    const QFileInfo target(path);
    QDir dir = target.absoluteDir();
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        qWarning() << "create path failed, path:" << dir.absolutePath();
        return false;
    }
    QTemporaryFile file(dir.absoluteFilePath(QLatin1Char('.') + target.fileName() + kWritingMark
                                             + QStringLiteral("XXXXXX")));
    if (!file.open()) {
        qWarning() << "cannot create" << file.fileTemplate() << file.errorString();
        return false;
    }
    const bool written = file.write(data) == data.size() && file.flush()
        && ::fsync(file.handle()) == 0 && file.setPermissions(permissions);
    if (!written) {
        qWarning() << "write failed:" << path << file.errorString();
        return false;
    }
    if (::rename(QFile::encodeName(file.fileName()).constData(),
                 QFile::encodeName(target.absoluteFilePath()).constData())
        != 0) {
        qWarning() << "rename failed:" << path << qt_error_string(errno);
        return false;
    }
    file.setAutoRemove(false);
    return true;
}

QByteArray FileContent::readAll(const QString& path)
{
    FileProxy proxy;
    if (!proxy.open(path, QIODevice::ReadOnly))
        return QByteArray();
    return proxy.file().readAll();
}

QString FileContent::getMachineID(bool* ok, bool reload)
{
    if (m_machineId.isEmpty())
        reload = true;

    bool found = true;
    if (reload) {
        const QString id = textUpToNul(readAll(kMachineidPath)).trimmed();
        if (id.isEmpty())
            found = false;
        else
            m_machineId = id;
    }
    if (ok)
        *ok = found;
    return m_machineId;
}

bool FileContent::getHostAndPort(QString& host, QString& port)
{
    const QJsonObject info = QJsonDocument::fromJson(readAll(kUserinfoPath)).object();
    const QString caller = QStringLiteral("getHostAndPort");
    const bool hasHost =
        BaseUtils::getJsonObjectValue<QString>(info, QStringLiteral("server_host"), host, caller);
    const bool hasPort =
        BaseUtils::getJsonObjectValue<QString>(info, QStringLiteral("server_port"), port, caller);
    return hasHost && hasPort;
}

QStringList FileContent::getAppBlackList()
{
    // Names are trimmed: the file usually ends with a line break, which is
    // never part of a package name.
    QStringList names;
    const QStringList parts = textUpToNul(readAll(kAppBlackListPath)).split(QLatin1Char(','));
    for (const QString& part : parts) {
        const QString name = part.trimmed();
        if (!name.isEmpty())
            names.append(name);
    }
    return names;
}

} // namespace base
} // namespace vorn
