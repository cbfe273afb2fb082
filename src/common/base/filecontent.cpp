#include "filecontent.h"

#include "baseutils.h"
#include "constants.h"
#include "fileproxy.h"
#include "common/shared/atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>


namespace vorn {
namespace base {

namespace {
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
    return AtomicFile::isUnfinishedWrite(fileName);
}

bool FileContent::writeAtomic(const QString& path, const QByteArray& data,
                              QFileDevice::Permissions permissions)
{
    return AtomicFile::write(path, data, permissions);
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
