// GIO first: its headers use names that Qt's keywords would replace.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>

#include "settingskeeper.h"

#include <QDebug>
#include <QHash>
#include <QJsonArray>
#include <QMutex>
#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QSet>

#include <functional>
#include <future>
#include <thread>

namespace xwe {

namespace {

struct Held {
    QByteArray schema;
    QByteArray key;
    QString value;
    QSet<QString> owners;
};

QByteArray holdId(const QByteArray& schema, const QByteArray& key)
{
    return schema + ' ' + key;
}

} // namespace

class SettingsKeeperPrivate
{
public:
    SettingsKeeperPrivate();
    ~SettingsKeeperPrivate();

    // Runs work on the keeper's loop, later; never waits for it.
    void post(std::function<void()> work);
    // Keeper thread: the key back at its held value when it is not.
    // Keeper thread: watches the key; with putBack also writes the held value back.
    void check(const QByteArray& id, bool putBack);
    GSettings* watch(const QByteArray& schema);
    static void changed(GSettings* settings, const gchar* key, gpointer self);

    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;
    // Recursive: a write back reports its own change on this same thread.
    mutable QRecursiveMutex mutex;
    QHash<QByteArray, Held> held;
    // Keeper thread only.
    QHash<QByteArray, GSettings*> watched;
    GSettingsBackend* backend = nullptr;
};

SettingsKeeperPrivate::SettingsKeeperPrivate()
{
    context = g_main_context_new();
    loop = g_main_loop_new(context, FALSE);
    std::promise<void> ready;
    std::future<void> started = ready.get_future();
    thread = std::thread([this, &ready] {
        g_main_context_push_thread_default(context);
        // The process's backend, made here: its own watches (a key file's monitor) then
        // report on this loop.
        backend = g_settings_backend_get_default();
        ready.set_value();
        g_main_loop_run(loop);
        for (GSettings* settings : qAsConst(watched))
            g_object_unref(settings);
        watched.clear();
        g_main_context_pop_thread_default(context);
    });
    started.wait();
}

SettingsKeeperPrivate::~SettingsKeeperPrivate()
{
    // After the work already posted: a put-back on its way is not lost at exit.
    GMainLoop* running = loop;
    post([running] { g_main_loop_quit(running); });
    if (thread.joinable())
        thread.join();
    g_main_loop_unref(loop);
    g_main_context_unref(context);
    if (backend)
        g_object_unref(backend);
}

void SettingsKeeperPrivate::post(std::function<void()> work)
{
    auto* owned = new std::function<void()>(std::move(work));
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        owned, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

GSettings* SettingsKeeperPrivate::watch(const QByteArray& schema)
{
    if (GSettings* settings = watched.value(schema))
        return settings;
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* found = source ? g_settings_schema_source_lookup(source, schema.constData(), TRUE) : nullptr;
    if (!found)
        return nullptr;
    GSettings* settings = g_settings_new_full(found, nullptr, nullptr);
    g_settings_schema_unref(found);
    g_signal_connect(settings, "changed", G_CALLBACK(&SettingsKeeperPrivate::changed), this);
    watched.insert(schema, settings);
    return settings;
}

void SettingsKeeperPrivate::changed(GSettings* settings, const gchar* key, gpointer self)
{
    gchar* schema = nullptr;
    g_object_get(settings, "schema-id", &schema, nullptr);
    const QByteArray id = holdId(QByteArray(schema), QByteArray(key));
    g_free(schema);
    static_cast<SettingsKeeperPrivate*>(self)->check(id, true);
}

void SettingsKeeperPrivate::check(const QByteArray& id, bool putBack)
{
    // Under the lock to the end: a hold released meanwhile is never written back.
    QMutexLocker locker(&mutex);
    const auto it = held.constFind(id);
    if (it == held.constEnd())
        return;
    const Held wanted = it.value();
    GSettings* settings = watch(wanted.schema);
    if (!settings)
        return;
    GSettingsSchema* schema = nullptr;
    g_object_get(settings, "settings-schema", &schema, nullptr);
    if (!schema || !g_settings_schema_has_key(schema, wanted.key.constData())) {
        if (schema)
            g_settings_schema_unref(schema);
        return;
    }
    GSettingsSchemaKey* key = g_settings_schema_get_key(schema, wanted.key.constData());
    GVariant* value = g_variant_parse(g_settings_schema_key_get_value_type(key),
                                      wanted.value.toUtf8().constData(), nullptr, nullptr, nullptr);
    g_settings_schema_key_unref(key);
    g_settings_schema_unref(schema);
    if (!value)
        return;
    g_variant_ref_sink(value);
    // Reading it also makes GSettings report the key's later changes.
    GVariant* now = g_settings_get_value(settings, wanted.key.constData());
    if (putBack && !g_variant_equal(now, value)) {
        if (g_settings_set_value(settings, wanted.key.constData(), value)) {
            g_settings_sync();
            qInfo().noquote() << "vorn-xwe: put back" << QString::fromUtf8(id) << "to" << wanted.value
                              << "- changed by someone else while the policy holds it";
        } else {
            qWarning().noquote() << "vorn-xwe: cannot put back" << QString::fromUtf8(id)
                                 << "- the key is not writable";
        }
    }
    g_variant_unref(now);
    g_variant_unref(value);
}

SettingsKeeper::SettingsKeeper()
    : d(new SettingsKeeperPrivate)
{
}

SettingsKeeper::~SettingsKeeper() = default;

void SettingsKeeper::run(const std::function<void()>& work)
{
    if (std::this_thread::get_id() == d->thread.get_id()) {
        work();
        return;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    d->post([&work, &done] {
        work();
        done.set_value();
    });
    finished.wait();
}

void SettingsKeeper::hold(const QByteArray& schema, const QByteArray& key, const QString& value,
                          const QString& owner)
{
    arm(schema, key, value, owner, false);
}

void SettingsKeeper::arm(const QByteArray& schema, const QByteArray& key, const QString& value,
                         const QString& owner, bool putBack)
{
    const QByteArray id = holdId(schema, key);
    {
        QMutexLocker locker(&d->mutex);
        Held& entry = d->held[id];
        entry.schema = schema;
        entry.key = key;
        entry.value = value;
        entry.owners.insert(owner);
    }
    SettingsKeeperPrivate* p = d.get();
    d->post([p, id, putBack] { p->check(id, putBack); });
}

void SettingsKeeper::drop(const QByteArray& schema, const QByteArray& key)
{
    QMutexLocker locker(&d->mutex);
    d->held.remove(holdId(schema, key));
}

void SettingsKeeper::release(const QString& owner)
{
    QMutexLocker locker(&d->mutex);
    for (auto it = d->held.begin(); it != d->held.end();) {
        it->owners.remove(owner);
        if (it->owners.isEmpty())
            it = d->held.erase(it);
        else
            ++it;
    }
}

void SettingsKeeper::keepOnly(const QStringList& owners)
{
    const QSet<QString> kept(owners.begin(), owners.end());
    QMutexLocker locker(&d->mutex);
    for (auto it = d->held.begin(); it != d->held.end();) {
        it->owners.intersect(kept);
        if (it->owners.isEmpty())
            it = d->held.erase(it);
        else
            ++it;
    }
}

QJsonObject SettingsKeeper::holds() const
{
    QJsonObject all;
    QMutexLocker locker(&d->mutex);
    for (auto it = d->held.constBegin(); it != d->held.constEnd(); ++it) {
        QStringList owners = it->owners.values();
        owners.sort();
        all.insert(QString::fromUtf8(it.key()),
                   QJsonObject{{QStringLiteral("value"), it->value},
                               {QStringLiteral("by"), QJsonArray::fromStringList(owners)}});
    }
    return all;
}

void SettingsKeeper::restore(const QJsonObject& holds)
{
    for (auto it = holds.constBegin(); it != holds.constEnd(); ++it) {
        const QByteArray id = it.key().toUtf8();
        const int blank = id.indexOf(' ');
        const QJsonObject entry = it.value().toObject();
        if (blank <= 0)
            continue;
        for (const QJsonValue& owner : entry.value(QStringLiteral("by")).toArray())
            arm(id.left(blank), id.mid(blank + 1), entry.value(QStringLiteral("value")).toString(),
                owner.toString(), true);
    }
}

} // namespace xwe
