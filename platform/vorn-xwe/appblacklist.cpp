#include "appblacklist.h"

#include "common/base/sysroot.h"
#include "platformfiles.h"
#include "platformtools.h"
#include "status.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using vorn::base::sysroot;
using vorn::base::sysrootPath;

namespace xwe {
namespace appblacklist {

namespace {

const char* const kProgramDirs[] = {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/", "/usr/games/"};
const char* const kLauncherDir = "/usr/share/applications/";

// dpkg's tools work on the sysroot's package database, like every other path here.
QStringList rootArguments()
{
    const QString root = sysroot();
    return root.isEmpty() ? QStringList() : QStringList{QStringLiteral("--root=") + root};
}

bool isUserFacing(const QString& path)
{
    for (const char* dir : kProgramDirs) {
        if (path.startsWith(QLatin1String(dir)) && path.indexOf(QLatin1Char('/'), int(qstrlen(dir))) < 0)
            return true;
    }
    return path.startsWith(QLatin1String(kLauncherDir)) && path.endsWith(QLatin1String(".desktop"));
}

// Paths that already have an override: an administrator's, which we leave alone, or ours.
QSet<QString> overriddenPaths()
{
    QSet<QString> paths;
    const QByteArray data = readFile(sysrootPath(QStringLiteral("/var/lib/dpkg/statoverride")));
    for (const QByteArray& line : data.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 4)
            paths.insert(QString::fromUtf8(fields.mid(3).join(' ')));
    }
    return paths;
}

// What the package installs that users start: regular files only (links follow their target).
QStringList userFacingFiles(const QString& package, bool* installed)
{
    QByteArray listing;
    *installed = runTool(QStringLiteral("dpkg-query"), rootArguments() + QStringList{QStringLiteral("-L"), package},
                         &listing) == ToolOutcome::Ok;
    QStringList files;
    for (const QByteArray& raw : listing.split('\n')) {
        const QString path = QString::fromUtf8(raw).trimmed();
        struct stat st {};
        if (!isUserFacing(path) || ::lstat(QFile::encodeName(sysrootPath(path)).constData(), &st) != 0
            || !S_ISREG(st.st_mode))
            continue;
        files.append(path);
    }
    return files;
}

int restore(const QJsonObject& entry)
{
    const QString path = entry.value(QStringLiteral("path")).toString();
    if (runTool(QStringLiteral("dpkg-statoverride"), rootArguments() + QStringList{QStringLiteral("--remove"), path})
        != ToolOutcome::Ok)
        return Refused;
    const QByteArray local = QFile::encodeName(sysrootPath(path));
    if (!QFile::exists(sysrootPath(path)))
        return Success; // gone with its package
    // chown first: it clears set-id bits that the mode must bring back.
    if (::chown(local.constData(), uid_t(entry.value(QStringLiteral("uid")).toInt()),
                gid_t(entry.value(QStringLiteral("gid")).toInt())) != 0
        || ::chmod(local.constData(), mode_t(entry.value(QStringLiteral("mode")).toInt())) != 0) {
        qWarning() << "vorn-xwe: cannot restore" << path << qt_error_string(errno);
        return SaveFailed;
    }
    return Success;
}

// Registers and applies the override; returns the record entry, empty on failure.
QJsonObject lock(const QString& path)
{
    const QByteArray local = QFile::encodeName(sysrootPath(path));
    struct stat st {};
    if (::stat(local.constData(), &st) != 0)
        return QJsonObject();
    // Only the owner (root) keeps access; group and others lose it, set-id bits go.
    const mode_t locked = st.st_mode & 0700;
    const QStringList add{QStringLiteral("--add"), QStringLiteral("#%1").arg(st.st_uid),
                          QStringLiteral("#%1").arg(st.st_gid), QString::number(locked, 8), path};
    if (runTool(QStringLiteral("dpkg-statoverride"), rootArguments() + add) != ToolOutcome::Ok)
        return QJsonObject();
    if (::chmod(local.constData(), locked) != 0) {
        qWarning() << "vorn-xwe: cannot change the mode of" << path << qt_error_string(errno);
        runTool(QStringLiteral("dpkg-statoverride"), rootArguments() + QStringList{QStringLiteral("--remove"), path});
        return QJsonObject();
    }
    return QJsonObject{{QStringLiteral("path"), path}, {QStringLiteral("uid"), qint64(st.st_uid)},
                       {QStringLiteral("gid"), qint64(st.st_gid)}, {QStringLiteral("mode"), int(st.st_mode & 07777)}};
}

int releaseDropped(const QStringList& packages, QJsonObject* overrides)
{
    int status = Success;
    for (const QString& package : overrides->keys()) {
        if (packages.contains(package))
            continue;
        QJsonArray left;
        for (const QJsonValue& entry : overrides->value(package).toArray()) {
            const int restored = restore(entry.toObject());
            if (restored != Success) {
                left.append(entry);
                status = restored;
            }
        }
        if (left.isEmpty())
            overrides->remove(package);
        else
            overrides->insert(package, left);
    }
    return status;
}

int lockListed(const QStringList& packages, QJsonObject* overrides)
{
    int status = Success;
    const QSet<QString> taken = overriddenPaths();
    for (const QString& package : packages) {
        QJsonArray entries = overrides->value(package).toArray();
        QSet<QString> ours;
        for (const QJsonValue& entry : entries)
            ours.insert(entry.toObject().value(QStringLiteral("path")).toString());
        bool installed = false;
        // Looked at again every time: an upgrade may have brought new programs.
        for (const QString& path : userFacingFiles(package, &installed)) {
            if (ours.contains(path))
                continue;
            if (taken.contains(path)) {
                qInfo() << "vorn-xwe: leaving the existing override of" << path << "alone";
                continue;
            }
            const QJsonObject entry = lock(path);
            if (entry.isEmpty())
                status = Refused;
            else
                entries.append(entry);
        }
        if (!installed)
            qInfo() << "vorn-xwe: package" << package << "is not installed, nothing to forbid yet";
        if (!entries.isEmpty())
            overrides->insert(package, entries);
    }
    return status;
}

} // namespace

bool isPackageName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9][a-z0-9+.-]+(:[a-z0-9-]+)?$"));
    return pattern.match(name).hasMatch();
}

int apply(const QStringList& packages, QJsonObject* overrides)
{
    if (!toolAvailable(QStringLiteral("dpkg-query")) || !toolAvailable(QStringLiteral("dpkg-statoverride")))
        return NotSupported;
    const int released = releaseDropped(packages, overrides);
    const int locked = lockListed(packages, overrides);
    return released != Success ? released : locked;
}

} // namespace appblacklist
} // namespace xwe
