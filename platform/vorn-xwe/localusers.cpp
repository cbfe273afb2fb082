#include "localusers.h"

#include <QDebug>
#include <QFile>
#include <QStringList>

namespace xwe {

namespace {

const uint kFirstHumanUid = 1000;
const uint kLastHumanUid = 9999;

bool isLoginShell(const QString& shell)
{
    return !shell.isEmpty() && !shell.endsWith(QLatin1String("nologin"))
        && !shell.endsWith(QLatin1String("false"));
}

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

} // namespace xwe
