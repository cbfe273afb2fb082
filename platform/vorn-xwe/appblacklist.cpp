#include "appblacklist.h"

#include "packageprograms.h"
#include "platformfiles.h"
#include "platformtools.h"
#include "rootpath.h"
#include "status.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace xwe {
namespace appblacklist {

namespace {

using packageprograms::dpkgRootArguments;

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

int restore(const QJsonObject& entry)
{
    const QString path = entry.value(QStringLiteral("path")).toString();
    if (runTool(QStringLiteral("dpkg-statoverride"), dpkgRootArguments() + QStringList{QStringLiteral("--remove"), path})
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
    if (runTool(QStringLiteral("dpkg-statoverride"), dpkgRootArguments() + add) != ToolOutcome::Ok)
        return QJsonObject();
    if (::chmod(local.constData(), locked) != 0) {
        qWarning() << "vorn-xwe: cannot change the mode of" << path << qt_error_string(errno);
        runTool(QStringLiteral("dpkg-statoverride"), dpkgRootArguments() + QStringList{QStringLiteral("--remove"), path});
        return QJsonObject();
    }
    return QJsonObject{{QStringLiteral("path"), path}, {QStringLiteral("uid"), qint64(st.st_uid)},
                       {QStringLiteral("gid"), qint64(st.st_gid)}, {QStringLiteral("mode"), int(st.st_mode & 07777)}};
}

// One of our overrides whose mode was opened again (by hand, by a package script): the
// mode the override names, 0700 at most, back in place.
bool relock(const QString& path)
{
    const QByteArray local = QFile::encodeName(sysrootPath(path));
    struct stat st {};
    if (::stat(local.constData(), &st) != 0)
        return false;
    if ((st.st_mode & 07077) == 0)
        return true;
    if (::chmod(local.constData(), st.st_mode & 0700) != 0) {
        qWarning() << "vorn-xwe: cannot change the mode of" << path << qt_error_string(errno);
        return false;
    }
    return true;
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

// Locks what users can run of each listed package; NotEnforced when any of it stays runnable.
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
        for (const QString& path : packageprograms::userRunnable(package, &installed)) {
            bool locked = false;
            if (ours.contains(path)) {
                locked = relock(path);
            } else if (taken.contains(path)) {
                qInfo() << "vorn-xwe: leaving the existing override of" << path << "alone";
                continue;
            } else {
                const QJsonObject entry = lock(path);
                locked = !entry.isEmpty();
                if (locked)
                    entries.append(entry);
            }
            if (!locked) {
                qWarning() << "vorn-xwe: users can still run" << path << "of the blacklisted package" << package;
                status = NotEnforced;
            }
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
