// GIO first: its headers use names that Qt's keywords would replace.
#include <gio/gio.h>

#include "gsettingskey.h"

#include "status.h"

#include <QDebug>

#include <functional>
#include <memory>

namespace xwe {

namespace {

struct Unref {
    void operator()(GSettingsSchema* p) const { g_settings_schema_unref(p); }
    void operator()(GSettingsSchemaKey* p) const { g_settings_schema_key_unref(p); }
    void operator()(GSettings* p) const { g_object_unref(p); }
    void operator()(GVariant* p) const { g_variant_unref(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Unref>;

Owned<GSettingsSchema> lookupSchema(const char* schema)
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source)
        return nullptr;
    return Owned<GSettingsSchema>(g_settings_schema_source_lookup(source, schema, TRUE));
}

Owned<GSettingsSchema> lookup(const char* schema, const char* key)
{
    Owned<GSettingsSchema> found = lookupSchema(schema);
    if (!found || !g_settings_schema_has_key(found.get(), key))
        return nullptr;
    return found;
}

QString printed(GVariant* value)
{
    gchar* text = g_variant_print(value, TRUE);
    const QString result = QString::fromUtf8(text);
    g_free(text);
    return result;
}

GVariant* toVariant(const GVariantType* type, const QJsonValue& value)
{
    if (g_variant_type_equal(type, G_VARIANT_TYPE_BOOLEAN))
        return g_variant_new_boolean(value.toBool());
    if (g_variant_type_equal(type, G_VARIANT_TYPE_STRING))
        return g_variant_new_string(value.toString().toUtf8().constData());
    const double number = value.toDouble(-1);
    if (g_variant_type_equal(type, G_VARIANT_TYPE_UINT32) && number >= 0 && number <= 4294967295.0)
        return g_variant_new_uint32(guint32(number));
    if (g_variant_type_equal(type, G_VARIANT_TYPE_INT32) && number >= -2147483648.0 && number <= 2147483647.0)
        return g_variant_new_int32(gint32(number));
    return nullptr;
}

QJsonValue fromVariant(GVariant* value)
{
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
        return bool(g_variant_get_boolean(value));
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32))
        return qint64(g_variant_get_uint32(value));
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32))
        return int(g_variant_get_int32(value));
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
        return QString::fromUtf8(g_variant_get_string(value, nullptr));
    return QJsonValue(QJsonValue::Undefined);
}

} // namespace

GSettingsKey::GSettingsKey(const QByteArray& schema, const QByteArray& key)
    : m_schema(schema)
    , m_key(key)
{
}

bool GSettingsKey::available() const
{
    return lookup(m_schema.constData(), m_key.constData()) != nullptr;
}

QJsonValue GSettingsKey::read() const
{
    Owned<GSettingsSchema> schema = lookup(m_schema.constData(), m_key.constData());
    if (!schema)
        return QJsonValue(QJsonValue::Undefined);
    Owned<GSettings> settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    Owned<GVariant> value(g_settings_get_value(settings.get(), m_key.constData()));
    return fromVariant(value.get());
}

int GSettingsKey::write(const QJsonValue& value) const
{
    return writeVariant([&](const GVariantType* type) { return toVariant(type, value); });
}

int GSettingsKey::writeText(const QString& text) const
{
    return writeVariant([&](const GVariantType* type) {
        return g_variant_parse(type, text.toUtf8().constData(), nullptr, nullptr, nullptr);
    });
}

QString GSettingsKey::textOf(const QJsonValue& value) const
{
    Owned<GSettingsSchema> schema = lookup(m_schema.constData(), m_key.constData());
    if (!schema)
        return QString();
    Owned<GSettingsSchemaKey> key(g_settings_schema_get_key(schema.get(), m_key.constData()));
    GVariant* variant = toVariant(g_settings_schema_key_get_value_type(key.get()), value);
    if (!variant)
        return QString();
    Owned<GVariant> owned(g_variant_ref_sink(variant));
    if (!g_settings_schema_key_range_check(key.get(), owned.get()))
        return QString();
    return printed(owned.get());
}

QString GSettingsKey::readText() const
{
    Owned<GSettingsSchema> schema = lookup(m_schema.constData(), m_key.constData());
    if (!schema)
        return QString();
    Owned<GSettings> settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    Owned<GVariant> value(g_settings_get_value(settings.get(), m_key.constData()));
    return printed(value.get());
}

QJsonValue GSettingsKey::userText() const
{
    Owned<GSettingsSchema> schema = lookup(m_schema.constData(), m_key.constData());
    if (!schema)
        return QJsonValue(QJsonValue::Undefined);
    Owned<GSettings> settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    GVariant* value = g_settings_get_user_value(settings.get(), m_key.constData());
    if (!value)
        return QJsonValue(QJsonValue::Null);
    Owned<GVariant> owned(value);
    return printed(value);
}

int GSettingsKey::reset() const
{
    Owned<GSettingsSchema> schema = lookup(m_schema.constData(), m_key.constData());
    if (!schema)
        return NotSupported;
    Owned<GSettings> settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    if (!g_settings_is_writable(settings.get(), m_key.constData())) {
        qWarning() << "vorn-xwe: GSettings refused" << m_schema << m_key;
        return Refused;
    }
    g_settings_reset(settings.get(), m_key.constData());
    g_settings_sync();
    return Success;
}

bool GSettingsKey::installed(const QByteArray& schema)
{
    return lookupSchema(schema.constData()) != nullptr;
}

QList<QByteArray> GSettingsKey::keysOfType(const QByteArray& schema, const char* type)
{
    QList<QByteArray> keys;
    Owned<GSettingsSchema> found = lookupSchema(schema.constData());
    if (!found)
        return keys;
    gchar** names = g_settings_schema_list_keys(found.get());
    for (gchar** name = names; name && *name; ++name) {
        Owned<GSettingsSchemaKey> key(g_settings_schema_get_key(found.get(), *name));
        if (g_variant_type_equal(g_settings_schema_key_get_value_type(key.get()), G_VARIANT_TYPE(type)))
            keys.append(QByteArray(*name));
    }
    g_strfreev(names);
    return keys;
}

QList<QByteArray> GSettingsKey::schemas()
{
    QList<QByteArray> ids;
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source)
        return ids;
    gchar** fixed = nullptr;
    g_settings_schema_source_list_schemas(source, TRUE, &fixed, nullptr);
    for (gchar** id = fixed; id && *id; ++id)
        ids.append(QByteArray(*id));
    g_strfreev(fixed);
    return ids;
}

int GSettingsKey::writeVariant(const std::function<GVariant*(const GVariantType*)>& make) const
{
    Owned<GSettingsSchema> schema = lookup(m_schema.constData(), m_key.constData());
    if (!schema) {
        qWarning() << "vorn-xwe: no GSettings key" << m_schema << m_key << "on this desktop";
        return NotSupported;
    }
    Owned<GSettingsSchemaKey> key(g_settings_schema_get_key(schema.get(), m_key.constData()));
    GVariant* variant = make(g_settings_schema_key_get_value_type(key.get()));
    if (!variant)
        return InvalidArgument;
    Owned<GVariant> owned(g_variant_ref_sink(variant));
    // Writing a value outside the key's range would be a programming error in GIO's eyes.
    if (!g_settings_schema_key_range_check(key.get(), owned.get()))
        return InvalidArgument;
    Owned<GSettings> settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    if (!g_settings_set_value(settings.get(), m_key.constData(), owned.get())) {
        qWarning() << "vorn-xwe: GSettings refused" << m_schema << m_key;
        return Refused;
    }
    g_settings_sync();
    return Success;
}

} // namespace xwe
