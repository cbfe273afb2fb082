#pragma once

#include "jsonstatefile.h"
#include "settingsbackend.h"

namespace xwe {

// Keeps every setting in one JSON file; what is in the file is in effect.
class StoreBackend : public SettingsBackend
{
public:
    StoreBackend(const QString& directory, const QString& stateName);

    QString name() const override;
    QJsonValue value(const QString& key) override;
    int change(const QString& key, const Change& change) override;
    int keepFile(const QString& source, const QString& label, QString* kept) override;

private:
    QString m_directory;
    JsonStateFile m_state;
};

} // namespace xwe
