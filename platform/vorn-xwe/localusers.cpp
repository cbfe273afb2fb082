#include "localusers.h"

#include <QDebug>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <pwd.h>
#include <vector>

namespace xwe {

namespace {

const uint kFirstHumanUid = 1000;
const uint kLastHumanUid = 9999;
// No real account needs more; a longer line ends the reading.
const size_t kMaxLineSize = 1024 * 1024;

bool isLoginShell(const QString& shell)
{
    return !shell.isEmpty() && !shell.endsWith(QLatin1String("nologin"))
        && !shell.endsWith(QLatin1String("false"));
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

} // namespace

QList<uint> localUserIds(const QString& passwdPath)
{
    QList<uint> ids;
    QFile file(passwdPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "vorn-xwe: cannot read" << passwdPath << file.errorString();
        return ids;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        // name:password:uid:gid:gecos:home:shell
        const QStringList fields = line.split(QLatin1Char(':'));
        if (fields.size() != 7)
            continue;
        bool ok = false;
        const uint uid = fields.at(2).toUInt(&ok);
        if (!ok || uid < kFirstHumanUid || uid > kLastHumanUid || !isLoginShell(fields.at(6).trimmed()))
            continue;
        if (!ids.contains(uid))
            ids.append(uid);
    }
    return ids;
}

QList<uint> localUserIdsFromDatabase(const QString& passwdPath)
{
    QList<uint> ids;
    std::unique_ptr<FILE, FileCloser> file(std::fopen(QFile::encodeName(passwdPath).constData(), "re"));
    if (!file) {
        qWarning() << "vorn-xwe: cannot read" << passwdPath << qt_error_string(errno);
        return ids;
    }
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(4096);
    for (;;) {
        const int error = fgetpwent_r(file.get(), &entry, buffer.data(), buffer.size(), &found);
        // Too small: the C library puts the line back, so it is read again with more room.
        if (error == ERANGE && buffer.size() < kMaxLineSize) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0)
            break;
        const uint uid = entry.pw_uid;
        if (uid < kFirstHumanUid || uid > kLastHumanUid || !isLoginShell(QString::fromLocal8Bit(entry.pw_shell)))
            continue;
        if (!ids.contains(uid))
            ids.append(uid);
    }
    return ids;
}

} // namespace xwe
