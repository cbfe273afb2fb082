#include "atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtDebug>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace vorn {
namespace base {

namespace {
// Marks a file still being written; such a file never counts as written.
const QLatin1String kWritingMark(".writing-");
} // namespace

bool AtomicFile::isUnfinishedWrite(const QString& fileName)
{
    return fileName.startsWith(QLatin1Char('.')) && fileName.contains(kWritingMark);
}

bool AtomicFile::write(const QString& path, const QByteArray& data,
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

} // namespace base
} // namespace vorn
