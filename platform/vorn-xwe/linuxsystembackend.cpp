#include "linuxsystembackend.h"

#include "appblacklist.h"
#include "bootsplash.h"
#include "localusers.h"
#include "loginlimit.h"
#include "platformfiles.h"
#include "rfkill.h"
#include "status.h"
#include "storagerules.h"
#include "timesyncd.h"

#include <QDebug>
#include <QJsonArray>

namespace xwe {

namespace {

const QString kBlacklistOverrides = QStringLiteral("AppCtrlBlacklistOverrides");

} // namespace

LinuxSystemBackend::LinuxSystemBackend(const QString& directory, const QString& statePath)
    : m_directory(directory)
    , m_record(statePath)
    , m_appliers{{QStringLiteral("SetNTPServer"), &LinuxSystemBackend::applyNtp},
                 {QStringLiteral("SetBluetoothEnable"), &LinuxSystemBackend::applyBluetooth},
                 {QStringLiteral("SetWirelessEnable"), &LinuxSystemBackend::applyWireless},
                 {QStringLiteral("SetStorageGlobalPermPolicy"), &LinuxSystemBackend::applyStorage},
                 {QStringLiteral("SetAppCtrlBlacklist"), &LinuxSystemBackend::applyBlacklist},
                 {QStringLiteral("SetLocalUserLogoinLimit"), &LinuxSystemBackend::applyLoginLimit},
                 {QStringLiteral("SetBackgroundSourceFile"), &LinuxSystemBackend::applyBootBackground}}
{
    reapplyRadios();
}

QString LinuxSystemBackend::name() const
{
    return QStringLiteral("linux");
}

QJsonValue LinuxSystemBackend::value(const QString& key)
{
    if (key == QLatin1String("SetNTPServer"))
        return timesyncd::configuredServers();
    JsonStateFile::ReadResult result = JsonStateFile::ReadResult::Missing;
    return m_record.read(&result).value(key);
}

int LinuxSystemBackend::change(const QString& key, const Change& change)
{
    const auto applier = m_appliers.constFind(key);
    if (applier == m_appliers.constEnd())
        return NotSupported;
    int status = Success;
    const int saved = m_record.update([&](QJsonObject& record) {
        const QJsonValue current = key == QLatin1String("SetNTPServer") ? value(key) : record.value(key);
        const QJsonValue next = change(current);
        if (next.isUndefined())
            return false;
        status = (this->*applier.value())(next, current, &record);
        // The platform's own state is what counts; the record follows what took effect.
        if (status == Success)
            record.insert(key, next);
        return true;
    });
    return status != Success ? status : saved;
}

int LinuxSystemBackend::keepFile(const QString& source, const QString& label, QString* kept)
{
    return keepCopy(m_directory, source, label, kept);
}

QList<uint> LinuxSystemBackend::localUsers(const QString& passwdPath)
{
    return localUserIdsFromDatabase(passwdPath);
}

int LinuxSystemBackend::applyNtp(const QJsonValue& next, const QJsonValue&, QJsonObject*)
{
    return timesyncd::setServer(next.toString());
}

int LinuxSystemBackend::applyBluetooth(const QJsonValue& next, const QJsonValue&, QJsonObject*)
{
    return rfkill::setEnabled(rfkill::Radio::Bluetooth, next.toBool());
}

int LinuxSystemBackend::applyWireless(const QJsonValue& next, const QJsonValue&, QJsonObject*)
{
    return rfkill::setEnabled(rfkill::Radio::Wireless, next.toBool());
}

int LinuxSystemBackend::applyStorage(const QJsonValue& next, const QJsonValue& current, QJsonObject*)
{
    const QJsonObject wanted = next.toObject();
    const QJsonObject applied = current.toObject();
    int status = Success;
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        const int deviceClass = it.key().toInt();
        const int permission = it.value().toInt();
        const bool inPlace = applied.value(it.key()) == it.value()
            && readFile(storage::rulesPath(deviceClass)) == storage::rulesText(deviceClass, permission);
        if (inPlace)
            continue;
        const int one = storage::apply(deviceClass, permission);
        if (one != Success)
            status = one;
    }
    return status;
}

int LinuxSystemBackend::applyBlacklist(const QJsonValue& next, const QJsonValue&, QJsonObject* record)
{
    QStringList packages;
    for (const QString& name : next.toString().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString trimmed = name.trimmed();
        if (!appblacklist::isPackageName(trimmed)) {
            qWarning() << "vorn-xwe: not a package name:" << trimmed;
            return InvalidArgument;
        }
        packages.append(trimmed);
    }
    QJsonObject overrides = record->value(kBlacklistOverrides).toObject();
    const int status = appblacklist::apply(packages, &overrides);
    // Kept also after a failure: it says which files we changed and must give back.
    record->insert(kBlacklistOverrides, overrides);
    return status;
}

int LinuxSystemBackend::applyLoginLimit(const QJsonValue& next, const QJsonValue&, QJsonObject*)
{
    return loginlimit::apply(next.toBool());
}

int LinuxSystemBackend::applyBootBackground(const QJsonValue& next, const QJsonValue&, QJsonObject*)
{
    // Empty: no background of ours, GRUB's own look again.
    const QString picture = next.toString();
    return picture.isEmpty() ? bootsplash::reset() : bootsplash::apply(picture);
}

void LinuxSystemBackend::reapplyRadios()
{
    // New radios (a Bluetooth dongle plugged in since) and a reboot must not undo a switch.
    JsonStateFile::ReadResult result = JsonStateFile::ReadResult::Missing;
    const QJsonObject record = m_record.read(&result);
    const std::pair<const char*, rfkill::Radio> radios[] = {{"SetBluetoothEnable", rfkill::Radio::Bluetooth},
                                                            {"SetWirelessEnable", rfkill::Radio::Wireless}};
    for (const auto& radio : radios) {
        const QJsonValue enabled = record.value(QLatin1String(radio.first));
        if (enabled.isBool()) {
            const int status = rfkill::setEnabled(radio.second, enabled.toBool());
            qInfo().noquote() << "vorn-xwe: applied again at start:" << radio.first << enabled.toBool()
                              << "status" << status;
        }
    }
}

} // namespace xwe
