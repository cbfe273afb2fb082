#include "linuxsessionbackend.h"

#include "controlpanels.h"
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
const char* const kLockdown = "org.gnome.desktop.lockdown";
const char* const kPower = "org.gnome.settings-daemon.plugins.power";
const char* const kBackground = "org.gnome.desktop.background";
const char* const kShell = "org.gnome.shell";
const char* const kMutter = "org.gnome.mutter";
const char* const kDock = "org.gnome.shell.extensions.dash-to-dock";
const char* const kDing = "org.gnome.shell.extensions.ding";

// Where each setter takes effect on GNOME: the table in README.md ("The linux backend").

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

// The extensions' switches: on shows, off hides. A setter none of whose schemas is
// installed is NotSupported.
const Mapping kSwitches[] = {
    {"SetRecycleBinDisplayable", kDing, "show-trash"},
    {"SetRecycleBinDisplayable", kDock, "show-trash"},
    {"SetLauncherDisplayable", kDock, "show-show-apps-button"},
    {"SetUsbTrayIconClickable", kDock, "show-mounts"},
    {"SetUsbTrayIconClickable", kDing, "show-volumes"},
};

// Shortcut keys: every key of type "as" of these schemas, enumerated at run time since
// GNOME's versions differ in them.
const char* const kShortcutSchemas[] = {
    "org.gnome.desktop.wm.keybindings",
    "org.gnome.shell.keybindings",
    "org.gnome.mutter.keybindings",
    "org.gnome.mutter.wayland.keybindings",
    "org.gnome.settings-daemon.plugins.media-keys",
};

const char* const kNoSuchSetting[] = {
    "SetHotspotEnable",               // NetworkManager's, restricted by polkit rules as root
    "SetScreenSaverPolicy",           // the shell draws the lock screen from the background
    "SetTaskbarRightclickMenuEnable", // the shell's panel has no such menu switch
    "SetWebTrayIconClickable",        // no tray
};

const QString kUserValues = QStringLiteral("UserValues");
const QString kHeld = QStringLiteral("Held");
const QString kPanelFiles = QStringLiteral("PanelFiles");
const QString kEmptyList = QStringLiteral("@as []");

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

QString boolText(bool on)
{
    return on ? QStringLiteral("true") : QStringLiteral("false");
}

// The first failure counts; later keys are still tried.
void worst(int* status, int next)
{
    if (*status == Success)
        *status = next;
}

// Where a desktop-icons extension draws the desktop.
bool desktopIconsRun()
{
    return GSettingsKey(kDing, "show-trash").available()
        && GSettingsKey(kShell, "enabled-extensions").readText().contains(QLatin1String("'ding@rastersoft.com'"));
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
    for (const Mapping& m : kSwitches)
        m_appliers.insert(QLatin1String(m.setter), &LinuxSessionBackend::applySwitches);
    for (const char* setter : kNoSuchSetting)
        m_appliers.insert(QLatin1String(setter), &LinuxSessionBackend::noSuchSetting);
    m_appliers.insert(QStringLiteral("MonitorBackgroundFile"), &LinuxSessionBackend::applyWallpaper);
    m_appliers.insert(QStringLiteral("SetMonitorBackground"), &LinuxSessionBackend::recordOnly);
    m_appliers.insert(QStringLiteral("CreateDesktopNetAddress"), &LinuxSessionBackend::applyLinks);
    m_appliers.insert(QStringLiteral("SetShortcutKeyEnable"), &LinuxSessionBackend::applyShortcuts);
    m_appliers.insert(QStringLiteral("SetResidentTaskbarAppDisplayable"), &LinuxSessionBackend::applyFavourites);
    m_appliers.insert(QStringLiteral("SetDisplayMode"), &LinuxSessionBackend::applyDisplayMode);
    m_appliers.insert(QStringLiteral("SetControlConfig"), &LinuxSessionBackend::applyControlConfig);

    // What the policy held before a restart is held again at once.
    JsonStateFile::ReadResult result = JsonStateFile::ReadResult::Missing;
    m_keeper.restore(m_record.read(&result).value(kHeld).toObject());
}

QString LinuxSessionBackend::name() const
{
    return QStringLiteral("linux");
}

QJsonValue LinuxSessionBackend::value(const QString& key)
{
    QJsonValue result;
    m_keeper.run([&] { result = desktopValue(key); });
    return result;
}

QJsonValue LinuxSessionBackend::desktopValue(const QString& key)
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
    int status = Success;
    m_keeper.run([&] { status = changeHere(key, change); });
    return status;
}

int LinuxSessionBackend::changeHere(const QString& key, const Change& change)
{
    const auto applier = m_appliers.constFind(key);
    if (applier == m_appliers.constEnd())
        return NotSupported;
    int status = Success;
    const int saved = m_record.update([&](QJsonObject& record) {
        const QJsonObject before = record;
        const bool fromDesktop = mapped(key) || sleepMapping(key);
        const QJsonValue current = fromDesktop ? desktopValue(key) : record.value(key);
        const QJsonValue next = change(current);
        if (next.isUndefined())
            return false;
        status = (this->*applier.value())(key, next, current, record);
        // GSettings holds the mapped values itself; the user's kept values and the holds
        // are recorded whatever the outcome.
        if (status == Success && !fromDesktop)
            record.insert(key, next);
        record.insert(kHeld, m_keeper.holds());
        return record != before;
    });
    return status != Success ? status : saved;
}

int LinuxSessionBackend::holdOnly(const QStringList& operations)
{
    int status = Success;
    m_keeper.run([&] { status = holdOnlyHere(operations); });
    return status;
}

int LinuxSessionBackend::holdOnlyHere(const QStringList& operations)
{
    return m_record.update([&](QJsonObject& record) {
        m_keeper.keepOnly(operations);
        const QJsonObject held = m_keeper.holds();
        if (record.value(kHeld).toObject() == held)
            return false;
        record.insert(kHeld, held);
        return true;
    });
}

int LinuxSessionBackend::giveBack()
{
    int status = Success;
    m_keeper.run([&] { status = giveBackHere(); });
    return status;
}

int LinuxSessionBackend::giveBackHere()
{
    int status = Success;
    const int saved = m_record.update([&](QJsonObject& record) {
        m_keeper.keepOnly({});
        for (const QString& owner : record.value(kUserValues).toObject().keys())
            worst(&status, giveBackOf(record, owner));
        QJsonObject panels = record.value(kPanelFiles).toObject();
        worst(&status, controlpanels::restore(panels));
        record.insert(kPanelFiles, panels);
        record.insert(kHeld, m_keeper.holds());
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

int LinuxSessionBackend::put(QJsonObject& record, const QString& owner, const QByteArray& schema,
                             const QByteArray& key, const QString& text, bool giveBack)
{
    const GSettingsKey target(schema, key);
    if (!target.available()) {
        qWarning() << "vorn-xwe: no GSettings key" << schema << key << "on this desktop";
        return NotSupported;
    }
    if (text.isEmpty())
        return InvalidArgument;
    if (giveBack) {
        QJsonObject all = record.value(kUserValues).toObject();
        QJsonObject own = all.value(owner).toObject();
        const QString id = QString::fromUtf8(schema + ' ' + key);
        // Only the first time: later the key holds the policy's value, not the user's.
        if (!own.contains(id)) {
            own.insert(id, target.userText());
            all.insert(owner, own);
            record.insert(kUserValues, all);
        }
    }
    m_keeper.hold(schema, key, text, owner);
    const int status = target.writeText(text);
    if (status != Success)
        m_keeper.drop(schema, key);
    return status;
}

int LinuxSessionBackend::giveBackOf(QJsonObject& record, const QString& owner)
{
    m_keeper.release(owner);
    QJsonObject all = record.value(kUserValues).toObject();
    QJsonObject own = all.value(owner).toObject();
    int status = Success;
    for (const QString& id : own.keys()) {
        const QByteArray schema = id.section(QLatin1Char(' '), 0, 0).toUtf8();
        const QByteArray key = id.section(QLatin1Char(' '), 1).toUtf8();
        const GSettingsKey target(schema, key);
        const QJsonValue user = own.value(id);
        int given = Success;
        if (target.available())
            given = user.isString() ? target.writeText(user.toString()) : target.reset();
        if (given == Success)
            own.remove(id);
        else
            worst(&status, given);
    }
    if (own.isEmpty())
        all.remove(owner);
    else
        all.insert(owner, own);
    record.insert(kUserValues, all);
    return status;
}

int LinuxSessionBackend::applyMapped(const QString& key, const QJsonValue& next, const QJsonValue&, QJsonObject& record)
{
    const Mapping* m = mapped(key);
    const GSettingsKey target(m->schema, m->key);
    if (!target.available())
        return NotSupported;
    int status = put(record, key, m->schema, m->key, target.textOf(next), false);
    // Locking on wake needs the lock screen itself allowed.
    if (status == Success && key == QLatin1String("SetLockScreenAtAwake") && next.toBool())
        status = put(record, key, kLockdown, "disable-lock-screen", boolText(false), true);
    return status;
}

int LinuxSessionBackend::applySleep(const QString& key, const QJsonValue& next, const QJsonValue&, QJsonObject& record)
{
    const Mapping* m = sleepMapping(key);
    const GSettingsKey timeout(m->schema, sleepKey(*m, "-timeout"));
    const GSettingsKey action(m->schema, sleepKey(*m, "-type"));
    if (!timeout.available() || !action.available())
        return NotSupported;
    const int seconds = next.toInt();
    if (seconds == 0)
        return put(record, key, m->schema, sleepKey(*m, "-type"), QStringLiteral("'nothing'"), false);
    const int status = put(record, key, m->schema, sleepKey(*m, "-timeout"), timeout.textOf(seconds), false);
    // Another action chosen by the user (hibernate) stays; only "never" is undone.
    if (status != Success || action.read() != QJsonValue(QStringLiteral("nothing")))
        return status;
    return put(record, key, m->schema, sleepKey(*m, "-type"), QStringLiteral("'suspend'"), false);
}

int LinuxSessionBackend::applyWallpaper(const QString&, const QJsonValue& next, const QJsonValue& current,
                                        QJsonObject& record)
{
    // GNOME has one background for every monitor: the copy that is new is the one to show.
    const QString owner = QStringLiteral("SetMonitorBackground");
    const QJsonObject wanted = next.toObject();
    const QJsonObject before = current.toObject();
    QStringList inUse;
    int status = Success;
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        inUse.append(it.value().toString());
        if (before.value(it.key()) == it.value())
            continue;
        const GSettingsKey uri(kBackground, "picture-uri");
        const QString text = uri.textOf(fileUri(it.value().toString()));
        status = put(record, owner, kBackground, "picture-uri", text, false);
        if (status == Success)
            status = put(record, owner, kBackground, "picture-uri-dark", text, false);
        if (status != Success)
            return status;
    }
    dropOldCopies(QStringLiteral("background-"), inUse);
    return status;
}

int LinuxSessionBackend::applyLinks(const QString&, const QJsonValue& next, const QJsonValue& current, QJsonObject&)
{
    // Files taken away since the last application come back.
    const bool onDesktop = desktopIconsRun();
    const QJsonArray before = current.toArray();
    for (const QJsonValue& value : next.toArray()) {
        const QJsonObject link = value.toObject();
        const QString name = link.value(QStringLiteral("name")).toString();
        if (before.contains(value) && desktoplinks::present(name, onDesktop))
            continue;
        const int status = desktoplinks::write(name, link.value(QStringLiteral("icon")).toString(),
                                               link.value(QStringLiteral("url")).toString(), onDesktop);
        if (status != Success)
            return status;
    }
    return Success;
}

int LinuxSessionBackend::applyShortcuts(const QString& key, const QJsonValue& next, const QJsonValue&, QJsonObject& record)
{
    if (next.toBool())
        return giveBackOf(record, key);
    QList<QByteArray> schemas;
    for (const char* schema : kShortcutSchemas)
        schemas.append(schema);
    for (const QByteArray& schema : GSettingsKey::schemas()) {
        if (schema.endsWith(".keybindings") && !schemas.contains(schema))
            schemas.append(schema);
    }
    int status = Success;
    int emptied = 0;
    for (const QByteArray& schema : schemas) {
        for (const QByteArray& name : GSettingsKey::keysOfType(schema, "as")) {
            worst(&status, put(record, key, schema, name, kEmptyList, true));
            ++emptied;
        }
    }
    // The dock's own: Super and a number, and the key that shows the dock.
    for (const char* dockKey : {"hot-keys", "hotkeys-show-dock"}) {
        if (GSettingsKey(kDock, dockKey).available())
            worst(&status, put(record, key, kDock, dockKey, boolText(false), true));
    }
    if (GSettingsKey(kMutter, "overlay-key").available()) {
        worst(&status, put(record, key, kMutter, "overlay-key", QStringLiteral("''"), true));
        ++emptied;
    }
    qInfo() << "vorn-xwe: shortcut keys switched off:" << emptied;
    return emptied == 0 ? int(NotSupported) : status;
}

int LinuxSessionBackend::applyFavourites(const QString& key, const QJsonValue& next, const QJsonValue&, QJsonObject& record)
{
    if (next.toBool())
        return giveBackOf(record, key);
    int status = put(record, key, kShell, "favorite-apps", kEmptyList, true);
    if (GSettingsKey(kDock, "show-favorites").available())
        worst(&status, put(record, key, kDock, "show-favorites", boolText(false), true));
    return status;
}

int LinuxSessionBackend::applySwitches(const QString& key, const QJsonValue& next, const QJsonValue&, QJsonObject& record)
{
    int status = Success;
    int applied = 0;
    for (const Mapping& m : kSwitches) {
        if (key != QLatin1String(m.setter) || !GSettingsKey(m.schema, m.key).available())
            continue;
        worst(&status, put(record, key, m.schema, m.key, boolText(next.toBool()), true));
        ++applied;
    }
    if (applied == 0)
        qWarning().noquote() << "vorn-xwe:" << key << "needs the dock or the desktop-icons extension, neither is installed";
    return applied == 0 ? int(NotSupported) : status;
}

int LinuxSessionBackend::applyDisplayMode(const QString& key, const QJsonValue& next, const QJsonValue&, QJsonObject& record)
{
    // "fashion" a floating dock, "efficient" a panel along the whole edge.
    if (!GSettingsKey(kDock, "extend-height").available()) {
        qWarning().noquote() << "vorn-xwe:" << key << "needs the dock extension, it is not installed";
        return NotSupported;
    }
    return put(record, key, kDock, "extend-height", boolText(next.toString() == QLatin1String("efficient")), true);
}

int LinuxSessionBackend::applyControlConfig(const QString&, const QJsonValue& next, const QJsonValue&, QJsonObject& record)
{
    const QJsonObject config = next.toObject();
    QJsonObject saved = record.value(kPanelFiles).toObject();
    QStringList all;
    QStringList shown;
    for (const QJsonValue& module : config.value(QStringLiteral("all")).toArray())
        all.append(module.toString());
    for (const QJsonValue& module : config.value(QStringLiteral("shown")).toArray())
        shown.append(module.toString());
    const int status = config.value(QStringLiteral("apply")).toBool() ? controlpanels::apply(all, shown, saved)
                                                                      : controlpanels::restore(saved);
    record.insert(kPanelFiles, saved);
    return status;
}

int LinuxSessionBackend::recordOnly(const QString&, const QJsonValue&, const QJsonValue&, QJsonObject&)
{
    return Success;
}

int LinuxSessionBackend::noSuchSetting(const QString& key, const QJsonValue&, const QJsonValue&, QJsonObject&)
{
    qInfo().noquote() << "vorn-xwe:" << key << "has no counterpart on this desktop, nothing changed";
    return NoSuchSetting;
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
