#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

namespace xwe {

// One key of an installed GSettings schema, read and written through GIO, with whatever
// backend GIO picks (dconf on a desktop, a key file when GSETTINGS_BACKEND=keyfile).
// A schema or key that is not installed reads as Undefined and refuses writes with
// NotSupported: GIO itself would abort the process.
class GSettingsKey
{
public:
    GSettingsKey(const QByteArray& schema, const QByteArray& key);

    bool available() const;
    // Booleans, integers and strings as JSON; Undefined when not available.
    QJsonValue read() const;
    // The value converted to the key's type; a status of status.h. Written through to the
    // backend before it returns.
    int write(const QJsonValue& value) const;

private:
    QByteArray m_schema;
    QByteArray m_key;
};

} // namespace xwe
