#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>

struct _GVariant;
struct _GVariantType;

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

    // Any value in GVariant text form ("@as []", "uint32 600"); empty when not available.
    QString readText() const;
    // The user's own value in that form, Null when the user set none (the default applies),
    // Undefined when not available.
    QJsonValue userText() const;
    // A JSON value as the key's type in GVariant text form; empty when it does not convert or
    // is out of the key's range.
    QString textOf(const QJsonValue& value) const;
    // Writes a value in GVariant text form; InvalidArgument when it does not parse as the
    // key's type or is out of its range.
    int writeText(const QString& text) const;
    // Back to the default: the user's own value removed.
    int reset() const;

    // Whether the schema is installed (relocatable or not).
    static bool installed(const QByteArray& schema);
    // The keys of an installed schema whose value type is type ("as"), in the schema's order.
    static QList<QByteArray> keysOfType(const QByteArray& schema, const char* type);
    // Ids of the installed schemas that have a fixed path.
    static QList<QByteArray> schemas();

private:
    int writeVariant(const std::function<_GVariant*(const _GVariantType*)>& make) const;

    QByteArray m_schema;
    QByteArray m_key;
};

} // namespace xwe
