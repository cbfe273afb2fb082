#pragma once

#include "jsonstatefile.h"
#include "settingsbackend.h"

#include <QHash>

namespace xwe {

// Machine-wide settings on a standard Debian desktop: systemd-timesyncd, the kernel's
// rfkill, udev rules, dpkg-statoverride, PAM and GRUB. Every path is taken below the
// sysroot, every tool from PATH. What it applied is also kept in its own record, for the
// getters and for what must be applied again at start (radio switches).
class LinuxSystemBackend : public SettingsBackend
{
public:
    LinuxSystemBackend(const QString& directory, const QString& statePath);

    QString name() const override;
    QJsonValue value(const QString& key) override;
    int change(const QString& key, const Change& change) override;
    int keepFile(const QString& source, const QString& label, QString* kept) override;
    QList<uint> localUsers(const QString& passwdPath) override;

private:
    using Applier = int (LinuxSystemBackend::*)(const QJsonValue& next, const QJsonValue& current,
                                                QJsonObject* record);

    int applyNtp(const QJsonValue& next, const QJsonValue& current, QJsonObject* record);
    int applyBluetooth(const QJsonValue& next, const QJsonValue& current, QJsonObject* record);
    int applyWireless(const QJsonValue& next, const QJsonValue& current, QJsonObject* record);
    int applyStorage(const QJsonValue& next, const QJsonValue& current, QJsonObject* record);
    int applyBlacklist(const QJsonValue& next, const QJsonValue& current, QJsonObject* record);
    int applyLoginLimit(const QJsonValue& next, const QJsonValue& current, QJsonObject* record);
    int applyBootBackground(const QJsonValue& next, const QJsonValue& current, QJsonObject* record);
    void reapplyRadios();

    QString m_directory;
    JsonStateFile m_record;
    QHash<QString, Applier> m_appliers;
};

} // namespace xwe
