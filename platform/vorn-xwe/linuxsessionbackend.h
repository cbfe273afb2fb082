#pragma once

#include "jsonstatefile.h"
#include "settingsbackend.h"
#include "settingskeeper.h"

#include <QHash>

namespace xwe {

// Desktop settings of a GNOME session through GSettings (GNOME's own schemas, and those of
// the dock and desktop-icons extensions where they are installed), desktop entries in the
// user's data and desktop directories and GNOME Settings' panel overrides. Every key it
// writes stays held (SettingsKeeper) while the policy holds it; the user's own values of
// the keys it restricts are kept in the record and given back. What the desktop has no
// counterpart for is NoSuchSetting; an extension that is not installed, NotSupported.
class LinuxSessionBackend : public SettingsBackend
{
public:
    LinuxSessionBackend(const QString& directory, const QString& statePath);

    QString name() const override;
    QJsonValue value(const QString& key) override;
    int change(const QString& key, const Change& change) override;
    int keepFile(const QString& source, const QString& label, QString* kept) override;
    int holdOnly(const QStringList& operations) override;
    int giveBack() override;

private:
    // The same on the keeper's thread, where every GSettings call is made.
    QJsonValue desktopValue(const QString& key);
    int changeHere(const QString& key, const Change& change);
    int holdOnlyHere(const QStringList& operations);
    int giveBackHere();

    using Applier = int (LinuxSessionBackend::*)(const QString& key, const QJsonValue& next,
                                                 const QJsonValue& current, QJsonObject& record);

    int applyMapped(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int applySleep(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int applyWallpaper(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int applyLinks(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int applyShortcuts(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int applyFavourites(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int applySwitches(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int applyDisplayMode(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int applyControlConfig(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int recordOnly(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);
    int noSuchSetting(const QString& key, const QJsonValue& next, const QJsonValue& current, QJsonObject& record);

    // Holds schema/key at text (GVariant text form) for owner, then writes it. With
    // giveBack, the user's own value is kept first, under owner, to be given back.
    int put(QJsonObject& record, const QString& owner, const QByteArray& schema, const QByteArray& key,
            const QString& text, bool giveBack);
    // Ends owner's holds and gives back the user's own values kept under owner.
    int giveBackOf(QJsonObject& record, const QString& owner);
    void dropOldCopies(const QString& prefix, const QStringList& inUse) const;

    QString m_directory;
    // First: the process's GSettings backend is made on the keeper's loop.
    SettingsKeeper m_keeper;
    JsonStateFile m_record;
    QHash<QString, Applier> m_appliers;
};

} // namespace xwe
