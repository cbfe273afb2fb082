#include "linuxsessionbackend.h"

#include "desktoplinks.h"
#include "gsettingskey.h"
#include "platformfiles.h"
#include "status.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QUrl>

namespace xwe {

namespace {

struct Mapping {
    const char* setter;
    const char* schema;
    const char* key;
};

const char* const kSession = "org.gnome.desktop.session";
const char* const kScreensaver = "org.gnome.desktop.screensaver";
const char* const kPower = "org.gnome.settings-daemon.plugins.power";
const char* const kBackground = "org.gnome.desktop.background";

// GNOME blanks the screen when the session goes idle, so the screen-saver time-out and
// both screen-black delays are its idle delay; it has one lock delay for both power sources.
const Mapping kMapped[] = {
    {"SetScreenSaverTime", kSession, "idle-delay"},
    {"SetPowerScreenBlackDelay", kSession, "idle-delay"},
    {"SetBatteryScreenBlackDelay", kSession, "idle-delay"},
    {"SetLockScreenAtAwake", kScreensaver, "lock-enabled"},
    {"SetPowerLockDelay", kScreensaver, "lock-delay"},
    {"SetBatteryLockDelay", kScreensaver, "lock-delay"},
};

// Sleep delays: a time-out and the action at its end ("nothing" switches sleep off).
const Mapping kSleep[] = {
    {"SetPowerSleepDelay", kPower, "sleep-inactive-ac"},
    {"SetBatterySleepDelay", kPower, "sleep-inactive-battery"},
};

const Mapping* find(const Mapping* begin, const Mapping* end, const QString& setter)
{
    for (const Mapping* m = begin; m != end; ++m) {
        if (setter == QLatin1String(m->setter))
            return m;
    }
    return nullptr;
}

const Mapping* mapped(const QString& setter)
{
    return find(std::begin(kMapped), std::end(kMapped), setter);
}

const Mapping* sleepMapping(const QString& setter)
{
    return find(std::begin(kSleep), std::end(kSleep), setter);
}

QByteArray sleepKey(const Mapping& m, const char* suffix)
{
    return QByteArray(m.key) + suffix;
}

QString fileUri(const QString& path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

// The picture a screen-saver directory holds: its newest regular file.
QString newestPicture(const QString& directory)
{
    const QFileInfoList files = QDir(directory).entryInfoList(QDir::Files, QDir::Time);
    return files.isEmpty() ? QString() : files.first().absoluteFilePath();
}

} // namespace

LinuxSessionBackend::LinuxSessionBackend(const QString& directory, const QString& statePath)
    : m_directory(directory)
    , m_record(statePath)
{
    for (const Mapping& m : kMapped)
        m_appliers.insert(QLatin1String(m.setter), &LinuxSessionBackend::applyMapped);
    for (const Mapping& m : kSleep)
        m_appliers.insert(QLatin1String(m.setter), &LinuxSessionBackend::applySleep);
    m_appliers.insert(QStringLiteral("MonitorBackgroundFile"), &LinuxSessionBackend::applyWallpaper);
    m_appliers.insert(QStringLiteral("SetMonitorBackground"), &LinuxSessionBackend::recordOnly);
    m_appliers.insert(QStringLiteral("SetScreenSaverPolicy"), &LinuxSessionBackend::applyScreenShield);
    m_appliers.insert(QStringLiteral("CreateDesktopNetAddress"), &LinuxSessionBackend::applyLinks);
}

QString LinuxSessionBackend::name() const
{
    return QStringLiteral("linux");
}

QJsonValue LinuxSessionBackend::value(const QString& key)
{
    if (const Mapping* m = mapped(key))
        return GSettingsKey(m->schema, m->key).read();
    if (const Mapping* m = sleepMapping(key)) {
        const QJsonValue action = GSettingsKey(m->schema, sleepKey(*m, "-type")).read();
        if (action == QJsonValue(QStringLiteral("nothing")))
            return 0; // never sleeps
        return GSettingsKey(m->schema, sleepKey(*m, "-timeout")).read();
    }
    JsonStateFile::ReadResult result = JsonStateFile::ReadResult::Missing;
    return m_record.read(&result).value(key);
}

int LinuxSessionBackend::change(const QString& key, const Change& change)
{
    const auto applier = m_appliers.constFind(key);
    if (applier == m_appliers.constEnd())
        return NotSupported;
    int status = Success;
    const int saved = m_record.update([&](QJsonObject& record) {
        const bool fromDesktop = mapped(key) || sleepMapping(key);
        const QJsonValue current = fromDesktop ? value(key) : record.value(key);
        const QJsonValue next = change(current);
        if (next.isUndefined())
            return false;
        status = (this->*applier.value())(key, next, current);
        if (status != Success || fromDesktop)
            return false; // GSettings holds those values itself
        record.insert(key, next);
        return true;
    });
    return status != Success ? status : saved;
}

int LinuxSessionBackend::keepFile(const QString& source, const QString& label, QString* kept)
{
    // The copy's name follows its content: GNOME reloads a picture when its URI changes.
    const QByteArray data = readFile(source);
    if (data.isNull())
        return QFileInfo::exists(source) ? InvalidArgument : FileNotFound;
    const QString stamp = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().left(16));
    return keepCopy(m_directory, source, label + QLatin1Char('-') + stamp, kept);
}

int LinuxSessionBackend::applyMapped(const QString& key, const QJsonValue& next, const QJsonValue&)
{
    const Mapping* m = mapped(key);
    return GSettingsKey(m->schema, m->key).write(next);
}

int LinuxSessionBackend::applySleep(const QString& key, const QJsonValue& next, const QJsonValue&)
{
    const Mapping* m = sleepMapping(key);
    const GSettingsKey timeout(m->schema, sleepKey(*m, "-timeout"));
    const GSettingsKey action(m->schema, sleepKey(*m, "-type"));
    if (!timeout.available() || !action.available())
        return NotSupported;
    const int seconds = next.toInt();
    if (seconds == 0)
        return action.write(QStringLiteral("nothing"));
    const int status = timeout.write(seconds);
    // Another action chosen by the user (hibernate) stays; only "never" is undone.
    if (status != Success || action.read() != QJsonValue(QStringLiteral("nothing")))
        return status;
    return action.write(QStringLiteral("suspend"));
}

int LinuxSessionBackend::applyWallpaper(const QString&, const QJsonValue& next, const QJsonValue& current)
{
    // GNOME has one background for every monitor: the copy that is new is the one to show.
    const QJsonObject wanted = next.toObject();
    const QJsonObject before = current.toObject();
    QStringList inUse;
    int status = Success;
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        inUse.append(it.value().toString());
        if (before.value(it.key()) == it.value())
            continue;
        const QString uri = fileUri(it.value().toString());
        status = GSettingsKey(kBackground, "picture-uri").write(uri);
        if (status == Success)
            status = GSettingsKey(kBackground, "picture-uri-dark").write(uri);
        if (status != Success)
            return status;
    }
    dropOldCopies(QStringLiteral("background-"), inUse);
    return status;
}

int LinuxSessionBackend::applyScreenShield(const QString&, const QJsonValue& next, const QJsonValue&)
{
    const GSettingsKey picture(kScreensaver, "picture-uri");
    if (!picture.available())
        return NotSupported;
    const QString source = newestPicture(next.toString());
    if (source.isEmpty())
        return FileNotFound;
    QString kept;
    int status = keepFile(source, QStringLiteral("screensaver"), &kept);
    if (status == Success)
        status = picture.write(fileUri(kept));
    if (status == Success)
        dropOldCopies(QStringLiteral("screensaver-"), {kept});
    return status;
}

int LinuxSessionBackend::applyLinks(const QString&, const QJsonValue& next, const QJsonValue& current)
{
    const QJsonArray before = current.toArray();
    for (const QJsonValue& value : next.toArray()) {
        if (before.contains(value) && QFileInfo::exists(desktoplinks::entryPath(value[QStringLiteral("name")].toString())))
            continue;
        const QJsonObject link = value.toObject();
        const int status = desktoplinks::write(link.value(QStringLiteral("name")).toString(),
                                               link.value(QStringLiteral("icon")).toString(),
                                               link.value(QStringLiteral("url")).toString());
        if (status != Success)
            return status;
    }
    return Success;
}

int LinuxSessionBackend::recordOnly(const QString&, const QJsonValue&, const QJsonValue&)
{
    return Success;
}

void LinuxSessionBackend::dropOldCopies(const QString& prefix, const QStringList& inUse) const
{
    const QDir files(m_directory + QStringLiteral("/files"));
    for (const QFileInfo& file : files.entryInfoList({prefix + QLatin1Char('*')}, QDir::Files)) {
        if (!inUse.contains(file.absoluteFilePath()))
            removeFile(file.absoluteFilePath());
    }
}

} // namespace xwe
