#include "packageprograms.h"

#include "platformtools.h"
#include "rootpath.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <QPair>
#include <QRegularExpression>
#include <QSet>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace xwe {
namespace packageprograms {

namespace {

const char* const kProgramDirs[] = {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/", "/usr/games/"};
// Where a launcher's bare command is looked up, in the order of a user's PATH.
const char* const kSearchPath[] = {"/usr/local/bin/", "/usr/bin/", "/bin/", "/usr/local/sbin/",
                                   "/usr/sbin/", "/sbin/", "/usr/local/games/", "/usr/games/"};
const char* const kLauncherDir = "/usr/share/applications/";
// As many as the kernel follows.
constexpr int kMaxLinks = 40;
// Wrappers calling wrappers: deeper than any real package goes.
constexpr int kMaxWrapperDepth = 4;
// Launchers and wrappers are short; a longer file is read no further.
constexpr qint64 kMaxScriptBytes = 1 << 20;

using FileId = QPair<quint64, quint64>;

struct PackageFiles
{
    QStringList listed;
    QHash<FileId, QString> regular; // by device and inode: the path dpkg lists
};

bool lstatBelowRoot(const QString& path, struct stat* st)
{
    return ::lstat(QFile::encodeName(sysrootPath(path)).constData(), st) == 0;
}

bool inProgramDir(const QString& path)
{
    for (const char* dir : kProgramDirs) {
        if (path.startsWith(QLatin1String(dir)) && path.indexOf(QLatin1Char('/'), int(qstrlen(dir))) < 0)
            return true;
    }
    return false;
}

bool isLauncher(const QString& path)
{
    return path.startsWith(QLatin1String(kLauncherDir)) && path.endsWith(QLatin1String(".desktop"));
}

PackageFiles readPackage(const QString& package, bool* installed)
{
    QByteArray listing;
    *installed = runTool(QStringLiteral("dpkg-query"), dpkgRootArguments() + QStringList{QStringLiteral("-L"), package},
                         &listing) == ToolOutcome::Ok;
    PackageFiles files;
    for (const QByteArray& raw : listing.split('\n')) {
        const QString path = QString::fromUtf8(raw).trimmed();
        // Other lines are dpkg's notes on diversions.
        if (!path.startsWith(QLatin1Char('/')))
            continue;
        files.listed.append(path);
        struct stat st {};
        if (lstatBelowRoot(path, &st) && S_ISREG(st.st_mode))
            files.regular.insert(FileId(st.st_dev, st.st_ino), path);
    }
    return files;
}

// The start of a file of the package, bounded.
QByteArray head(const QString& path)
{
    QFile file(sysrootPath(path));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(kMaxScriptBytes);
}

// The words of an Exec= value: blanks separate them, double quotes keep blanks.
QStringList execWords(const QString& value)
{
    QStringList words;
    QString word;
    bool quoted = false;
    bool inWord = false;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (quoted && c == QLatin1Char('\\') && i + 1 < value.size()) {
            word += value.at(++i);
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && c.isSpace()) {
            if (inWord)
                words.append(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.append(word);
    return words;
}

// The program of each Exec= line of a launcher, its actions' included.
QStringList launcherPrograms(const QString& launcher)
{
    QStringList programs;
    for (const QByteArray& raw : head(launcher).split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (!line.startsWith(QLatin1String("Exec=")))
            continue;
        QStringList words = execWords(line.mid(5));
        // "env NAME=value ... program": the program is what runs.
        if (!words.isEmpty() && (words.first() == QLatin1String("env") || words.first().endsWith(QLatin1String("/env")))) {
            words.removeFirst();
            while (!words.isEmpty() && words.first().contains(QLatin1Char('=')))
                words.removeFirst();
        }
        if (!words.isEmpty())
            programs.append(words.first());
    }
    return programs;
}

// Where a launcher's command is found: an absolute path as it is, a bare name on PATH.
QString commandPath(const QString& command)
{
    if (command.startsWith(QLatin1Char('/')))
        return command;
    if (command.isEmpty() || command.contains(QLatin1Char('/')))
        return QString();
    for (const char* dir : kSearchPath) {
        const QString path = QLatin1String(dir) + command;
        struct stat st {};
        if (lstatBelowRoot(path, &st))
            return path;
    }
    return QString();
}

// The absolute paths a script names (a wrapper's exec target among them).
QStringList namedPaths(const QString& path)
{
    const QByteArray text = head(path);
    if (!text.startsWith("#!"))
        return QStringList();
    static const QRegularExpression absolute(QStringLiteral("(?<![\\w.+@~-])(?:/[\\w.+@-]+)+"));
    QStringList paths;
    auto match = absolute.globalMatch(QString::fromUtf8(text));
    while (match.hasNext())
        paths.append(match.next().captured(0));
    return paths;
}

// The package's own file that a path leads to, as dpkg lists it; empty when it leads
// elsewhere (another package, nothing, not a regular file).
QString packageFile(const PackageFiles& files, const QString& path, bool executableOnly)
{
    const QString target = resolve(path);
    struct stat st {};
    if (target.isEmpty() || !lstatBelowRoot(target, &st) || !S_ISREG(st.st_mode))
        return QString();
    if (executableOnly && (st.st_mode & 0111) == 0)
        return QString();
    return files.regular.value(FileId(st.st_dev, st.st_ino));
}

} // namespace

QStringList dpkgRootArguments()
{
    const QString root = sysroot();
    return root.isEmpty() ? QStringList() : QStringList{QStringLiteral("--root=") + root};
}

QString resolve(const QString& path)
{
    QStringList pending = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList done;
    int links = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!done.isEmpty())
                done.removeLast();
            continue;
        }
        done.append(part);
        const QByteArray local = QFile::encodeName(sysrootPath(QLatin1Char('/') + done.join(QLatin1Char('/'))));
        struct stat st {};
        if (::lstat(local.constData(), &st) != 0)
            return QString();
        if (!S_ISLNK(st.st_mode))
            continue;
        char target[PATH_MAX];
        const ssize_t size = ::readlink(local.constData(), target, sizeof target);
        if (++links > kMaxLinks || size <= 0 || size == ssize_t(sizeof target))
            return QString();
        const QString text = QFile::decodeName(QByteArray(target, int(size)));
        done.removeLast();
        if (text.startsWith(QLatin1Char('/')))
            done.clear();
        pending = text.split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
    }
    return QLatin1Char('/') + done.join(QLatin1Char('/'));
}

QStringList userRunnable(const QString& package, bool* installed)
{
    const PackageFiles files = readPackage(package, installed);
    QStringList runnable;
    // Paths to follow, with how many wrappers led to them.
    QList<QPair<QString, int>> pending;
    for (const QString& path : files.listed) {
        struct stat st {};
        if (isLauncher(path) && lstatBelowRoot(path, &st) && S_ISREG(st.st_mode)) {
            runnable.append(path);
            for (const QString& command : launcherPrograms(path))
                pending.append({commandPath(command), 0});
        } else if (inProgramDir(path)) {
            pending.append({path, 0});
        }
    }
    while (!pending.isEmpty()) {
        const QPair<QString, int> next = pending.takeFirst();
        if (next.first.isEmpty())
            continue;
        // What a wrapper names counts only when it is a program.
        const QString file = packageFile(files, next.first, next.second > 0);
        if (file.isEmpty()) {
            if (next.second == 0)
                qInfo() << "vorn-xwe:" << next.first << "leads to no file of" << package;
            continue;
        }
        if (runnable.contains(file))
            continue;
        runnable.append(file);
        if (next.second < kMaxWrapperDepth) {
            for (const QString& named : namedPaths(file))
                pending.append({named, next.second + 1});
        }
    }
    return runnable;
}

} // namespace packageprograms
} // namespace xwe
