#include "timesyncd.h"

#include "platformfiles.h"
#include "platformtools.h"
#include "rootpath.h"
#include "status.h"

#include <QDir>
#include <QMap>
#include <QStringList>

namespace xwe {
namespace timesyncd {

const char* const kDropIn = "/etc/systemd/timesyncd.conf.d/90-vorn-xwe.conf";

namespace {

// Where systemd looks for drop-ins, first wins for one file name.
const char* const kDropInDirs[] = {"/etc/systemd/timesyncd.conf.d", "/run/systemd/timesyncd.conf.d",
                                   "/usr/local/lib/systemd/timesyncd.conf.d",
                                   "/usr/lib/systemd/timesyncd.conf.d"};

// Applies the NTP= lines of one file: each adds servers, an empty one resets the list.
void readNtpLines(const QString& path, QStringList* servers)
{
    const QByteArray data = readFile(path);
    bool inTime = false;
    for (const QByteArray& raw : data.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inTime = line == QLatin1String("[Time]");
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (!inTime || eq < 0 || line.left(eq).trimmed() != QLatin1String("NTP"))
            continue;
        const QString value = line.mid(eq + 1).trimmed();
        if (value.isEmpty())
            servers->clear();
        else
            *servers += value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
}

} // namespace

int setServer(const QString& server)
{
    // No service manager, no timesyncd to configure.
    if (!toolAvailable(QStringLiteral("systemctl")))
        return NotSupported;
    const QString path = sysrootPath(QString::fromLatin1(kDropIn));
    int status = Success;
    if (server.isEmpty()) {
        status = removeFile(path);
    } else {
        // The empty NTP= first: the policy's server replaces the servers of the main file and
        // of earlier drop-ins instead of joining them.
        const QByteArray content = "# Time server of the endpoint-management policy.\n[Time]\nNTP=\nNTP="
            + server.toUtf8() + "\n";
        status = writeFileAtomic(path, content, 0644);
    }
    if (status != Success)
        return status;
    // try-restart: a stopped timesyncd stays stopped and reads the file when it starts.
    const ToolOutcome restart = runTool(QStringLiteral("systemctl"),
                                        {QStringLiteral("try-restart"), QStringLiteral("systemd-timesyncd.service")});
    return restart == ToolOutcome::Ok ? Success : Refused;
}

QString configuredServers()
{
    QStringList servers;
    readNtpLines(sysrootPath(QStringLiteral("/etc/systemd/timesyncd.conf")), &servers);
    // File name -> path, in the order systemd reads them; a link to /dev/null masks the name.
    QMap<QString, QString> dropIns;
    for (const char* dir : kDropInDirs) {
        const QDir d(sysrootPath(QString::fromLatin1(dir)));
        for (const QString& name : d.entryList({QStringLiteral("*.conf")}, QDir::Files | QDir::System)) {
            if (!dropIns.contains(name))
                dropIns.insert(name, d.filePath(name));
        }
    }
    for (const QString& path : dropIns)
        readNtpLines(path, &servers);
    return servers.join(QLatin1Char(' '));
}

} // namespace timesyncd
} // namespace xwe
