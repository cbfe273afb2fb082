#include "system_config.h"

#include "common/shared/childprocess.h"
#include "common/base/constants.h"
#include "common/shared/sysroot.h"
#include "common/external/errorsdescription.h"
#include "common/external/vornsysteminterface.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>

namespace {

using vorn::base::ChildLog;
using vorn::base::ChildOptions;
using vorn::base::ChildProcess;
using vorn::base::ChildResult;

const QString kSystemctl = QStringLiteral("systemctl");
const QString kSshService = QStringLiteral("ssh");

// A command that changes the machine: its error output joins the standard
// output, and whatever went wrong is logged with it.
bool runCommand(const QString& program, const QStringList& arguments)
{
    ChildLog log;
    log.notStarted = "cannot start {command} {error}";
    log.timedOut = "{command} did not end within {limit} ms; killed";
    log.crashed = "{command} crashed: {output}";
    log.failed = "{command} exited with {exit} {output}";
    const ChildOptions merged(ChildOptions::ErrorOutput::Merge);
    return ChildProcess::run(program, arguments, SystemConfig::kCommandTimeoutMs, log, merged)
        .succeeded();
}

// The first line of a command's output, trimmed, whatever its exit code:
// systemctl's is-active and is-enabled exit non-zero for "inactive" and
// "disabled". Empty when it gave no answer.
QString queryCommand(const QString& program, const QStringList& arguments)
{
    ChildLog log;
    log.notStarted = log.timedOut = log.crashed = "no answer from {command} {error}";
    const ChildResult result =
        ChildProcess::run(program, arguments, SystemConfig::kCommandTimeoutMs, log);
    if (!result.started || result.timedOut || result.crashed)
        return QString();
    return result.outputText().section(QLatin1Char('\n'), 0, 0).trimmed();
}

QString statusText(int status)
{
    return ErrorsDescription::toErrorDescription(status);
}

// logind session files are key=value lines; only two keys are needed here.
QHash<QString, QString> readSessionFile(const QString& path)
{
    QHash<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "cannot read session file" << path << file.errorString();
        return values;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine());
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        values.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return values;
}

// Uids of the machine's own passwd file (directory accounts are not in it).
// An unreadable file gives none, so that no session is ended by mistake.
QSet<int> passwdUids()
{
    QSet<int> uids;
    const QString path = vorn::base::sysrootPath(QStringLiteral("/etc/passwd"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "cannot read" << path << file.errorString();
        return uids;
    }
    while (!file.atEnd()) {
        // name:password:uid:gid:gecos:home:shell
        const QList<QByteArray> fields = file.readLine().split(':');
        bool ok = false;
        const int uid = fields.size() >= 3 ? fields.at(2).toInt(&ok) : -1;
        if (ok)
            uids.insert(uid);
    }
    return uids;
}

} // namespace

SystemConfig* SystemConfig::GetInstance()
{
    static SystemConfig instance;
    return &instance;
}

QString SystemConfig::setNTPServer(const QString& server)
{
    VornSystemInterface* system = VornSystemInterface::Instance();
    system->SetNTPServer(server);
    const QString current = system->GetNTPServer();
    qInfo() << "----cur ntp Value---" << current;
    // Success is judged only by what the service reports back.
    return current == server ? QStringLiteral("setNTPServer success")
                             : QStringLiteral("setNTPServer falied");
}

QString SystemConfig::setSSHLogin(int state)
{
    // Every step runs even after one failed: a half-done switch-off must
    // still end the sessions.
    bool ok = true;
    if (state == 1) {
        // Enabled while stopped, then started: enabling reloads the service
        // manager, and a reload that brings the unit's alias name (sshd) back
        // while the service runs can merge the running unit with the alias's
        // stale inactive state. The daemon then keeps running unseen, holding
        // the port, and every later start fails. With the start last, its own
        // exit code tells whether the service runs.
        ok &= runCommand(kSystemctl, {QStringLiteral("stop"), kSshService});
        ok &= runCommand(kSystemctl, {QStringLiteral("enable"), kSshService});
        ok &= runCommand(kSystemctl, {QStringLiteral("start"), kSshService});
    } else {
        ok &= runCommand(kSystemctl, {QStringLiteral("stop"), kSshService});
        ok &= runCommand(kSystemctl, {QStringLiteral("disable"), kSshService});
        ok &= stopCurrentSshSession(AllSshSessions);
    }
    const QString result =
        ok ? QStringLiteral("setSSHLogin true") : QStringLiteral("setSSHLogin false");
    qInfo() << result;
    return result;
}

QString SystemConfig::keepSSHLogin(int state)
{
    if (!sshServiceIs(state == 1))
        return setSSHLogin(state);
    qInfo() << "ssh service already as asked, not restarted:" << (state == 1 ? "on" : "off");
    // Sessions may outlive the service: with SSH off none is left.
    if (state != 1 && !stopCurrentSshSession(AllSshSessions))
        return QStringLiteral("setSSHLogin false");
    return QStringLiteral("setSSHLogin true");
}

bool SystemConfig::sshServiceIs(bool on)
{
    const QString active = queryCommand(kSystemctl, {QStringLiteral("is-active"), kSshService});
    const QString enabled = queryCommand(kSystemctl, {QStringLiteral("is-enabled"), kSshService});
    if (on)
        return active == QLatin1String("active") && enabled == QLatin1String("enabled");
    const bool stopped = active == QLatin1String("inactive") || active == QLatin1String("failed");
    return stopped && (enabled == QLatin1String("disabled") || enabled == QLatin1String("masked"));
}

QString SystemConfig::setBluetooth(int state)
{
    return statusText(VornSystemInterface::Instance()->SetBluetoothEnable(state != 0));
}

QString SystemConfig::setWireless(int state)
{
    return statusText(VornSystemInterface::Instance()->SetWirelessEnable(state != 0));
}

QString SystemConfig::setDeviceConfig(int deviceClass, int permission)
{
    return statusText(
        VornSystemInterface::Instance()->SetStorageGlobalPermPolicy(deviceClass, permission));
}

QString SystemConfig::setAppBlacklist(const QString& json)
{
    const QJsonArray array = QJsonDocument::fromJson(json.toLocal8Bit()).array();
    QString list;
    for (int i = 0; i < array.size(); ++i) {
        const QString name = array.at(i).toObject().value(QStringLiteral("package_name")).toString();
        qInfo() << "-------i:" << i << name;
        list += name;
        if (i != array.size() - 1)
            list += QLatin1Char(',');
    }
    return statusText(VornSystemInterface::Instance()->SetAppCtrlBlacklist(list));
}

int SystemConfig::setLoginLimit(bool allowed, QString* failedSession)
{
    const int code = VornSystemInterface::Instance()->SetLocalUserLogoinLimit(allowed);
    if (code != 0 || allowed)
        return code;
    return stopCurrentSshSession(LocalUserSshSessions, failedSession) ? kLocalSessionsEnded : 0;
}

bool SystemConfig::stopCurrentSshSession(SessionType type, QString* failedSession)
{
    const QDir dir(vorn::kLogindSessionsDir);
    if (!dir.exists()) {
        qWarning() << "Directory /run/systemd/sessions/ is not exists.";
        return false;
    }
    // Hidden entries are logind's files in the middle of being written.
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Unsorted);
    const QSet<int> localUids = type == LocalUserSshSessions ? passwdUids() : QSet<int>();
    for (const QFileInfo& info : files) {
        const QHash<QString, QString> session = readSessionFile(info.absoluteFilePath());
        const QString service = session.value(QStringLiteral("SERVICE"));
        bool hasUid = false;
        const int uid = session.value(QStringLiteral("UID")).toInt(&hasUid);
        const bool isSsh = service == QLatin1String("sshd");
        const bool selected = (type == AllSshSessions && isSsh)
                              || (type == LocalUserSshSessions && isSsh && hasUid
                                  && isRefusedLocalUser(uid, localUids));
        if (!selected)
            continue;
        const QString id = info.fileName();
        if (!runCommand(QStringLiteral("loginctl"), {QStringLiteral("terminate-session"), id})) {
            qCritical() << "loginctl terminate-session" << id << "failed";
            if (failedSession)
                *failedSession = id;
            return false;
        }
    }
    return true;
}

bool SystemConfig::isRefusedLocalUser(int uid, const QSet<int>& passwdUids)
{
    return uid >= kFirstLocalUid && uid <= kLastLocalUid && passwdUids.contains(uid);
}

QString SystemConfig::setLaunchBG(const QString& path)
{
    return statusText(VornSystemInterface::Instance()->SetBackgroundSourceFile(path));
}
