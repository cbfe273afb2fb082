#include "platformfiles.h"

#include "status.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>

namespace xwe {

int keepCopy(const QString& directory, const QString& source, const QString& label, QString* kept)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        qWarning() << "vorn-xwe: cannot read" << source << in.errorString();
        return in.exists() ? InvalidArgument : FileNotFound;
    }
    const QString dir = directory + QStringLiteral("/files");
    const bool fresh = !QFileInfo(directory).isDir();
    if (!QDir().mkpath(dir)) {
        qWarning() << "vorn-xwe: cannot create directory" << dir;
        return SaveFailed;
    }
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    if (fresh)
        QFile::setPermissions(directory, ownerOnly);
    QFile::setPermissions(dir, ownerOnly);
    // The label may come from outside (a monitor name); keep it one plain file name.
    QString safe = label;
    safe.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    QString target = dir + QLatin1Char('/') + safe;
    const QString suffix = QFileInfo(source).suffix();
    if (!suffix.isEmpty())
        target += QLatin1Char('.') + suffix;

    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly)) {
        qWarning() << "vorn-xwe: cannot write" << target << out.errorString();
        return SaveFailed;
    }
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = in.read(buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0 || out.write(buffer, n) != n) {
            qWarning() << "vorn-xwe: copying" << source << "to" << target << "failed";
            return SaveFailed; // QSaveFile drops the partial copy
        }
    }
    if (!out.commit()) {
        qWarning() << "vorn-xwe: cannot write" << target << out.errorString();
        return SaveFailed;
    }
    *kept = target;
    return Success;
}

int writeFileAtomic(const QString& path, const QByteArray& content, int mode)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) {
        qWarning() << "vorn-xwe: cannot create directory" << dir;
        return SaveFailed;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size()) {
        qWarning() << "vorn-xwe: cannot write" << path << out.errorString();
        return SaveFailed;
    }
    if (!out.commit()) {
        qWarning() << "vorn-xwe: cannot write" << path << out.errorString();
        return SaveFailed;
    }
    // Exact mode, whatever the umask.
    if (::chmod(QFile::encodeName(path).constData(), mode_t(mode)) != 0) {
        qWarning() << "vorn-xwe: cannot set the mode of" << path << qt_error_string(errno);
        return SaveFailed;
    }
    return Success;
}

int removeFile(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
        return Success;
    if (!file.remove()) {
        qWarning() << "vorn-xwe: cannot remove" << path << file.errorString();
        return SaveFailed;
    }
    return Success;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray data = file.readAll();
    if (data.isNull())
        data = QByteArray(""); // empty but read
    return data;
}

} // namespace xwe
