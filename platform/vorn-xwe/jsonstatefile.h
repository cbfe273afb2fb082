#pragma once

#include "statefile.h"

#include <QJsonObject>
#include <QString>

#include <functional>

namespace xwe {

// One JSON object kept in a file (the programs' StateFile, owner-only).
// Writers serialise on a lock file beside it (also across processes) and
// replace the file atomically, so a reader never needs the lock and never
// sees a half-written file. A writer moves a damaged file aside to
// "<name>.damaged" and starts afresh.
class JsonStateFile
{
public:
    enum class ReadResult { Missing, Ok, Corrupt };
    // Returns false to leave the file untouched.
    using Change = std::function<bool(QJsonObject& content)>;

    explicit JsonStateFile(const QString& path);

    QString path() const;
    bool exists() const;
    QJsonObject read(ReadResult* result) const;
    // Locked read-modify-write; returns a status of status.h.
    int update(const Change& change);

private:
    QJsonObject read(ReadResult* result, vorn::base::StateFile::OnDamage onDamage) const;
    vorn::base::StateFile stateFile() const;
    bool ensureDirectory() const;
    int write(const QJsonObject& content) const;

    QString m_path;
};

} // namespace xwe
