#pragma once

#include "jsonstatefile.h"
#include "settingsbackend.h"

#include <QHash>

namespace xwe {

// Desktop settings of a GNOME session through GSettings (the schemas of
// gsettings-desktop-schemas and gnome-settings-daemon-common) and desktop entries in the
// user's desktop directory. What GNOME has no counterpart for is NotSupported.
class LinuxSessionBackend : public SettingsBackend
{
public:
    LinuxSessionBackend(const QString& directory, const QString& statePath);

    QString name() const override;
    QJsonValue value(const QString& key) override;
    int change(const QString& key, const Change& change) override;
    int keepFile(const QString& source, const QString& label, QString* kept) override;

private:
    using Applier = int (LinuxSessionBackend::*)(const QString& key, const QJsonValue& next,
                                                 const QJsonValue& current);

    int applyMapped(const QString& key, const QJsonValue& next, const QJsonValue& current);
    int applySleep(const QString& key, const QJsonValue& next, const QJsonValue& current);
    int applyWallpaper(const QString& key, const QJsonValue& next, const QJsonValue& current);
    int applyScreenShield(const QString& key, const QJsonValue& next, const QJsonValue& current);
    int applyLinks(const QString& key, const QJsonValue& next, const QJsonValue& current);
    int recordOnly(const QString& key, const QJsonValue& next, const QJsonValue& current);
    void dropOldCopies(const QString& prefix, const QStringList& inUse) const;

    QString m_directory;
    JsonStateFile m_record;
    QHash<QString, Applier> m_appliers;
};

} // namespace xwe
