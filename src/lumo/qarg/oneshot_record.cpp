#include "oneshot_record.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QMutexLocker>
#include <QtDebug>

#include <algorithm>

namespace {

const QString kDocumentField = QStringLiteral("document");
const QString kSucceededField = QStringLiteral("succeeded");
const QString kBootField = QStringLiteral("boot");

QString readBootId(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "boot id not readable, a reboot cannot be told:" << path << file.errorString();
        return QString();
    }
    return QString::fromLatin1(file.read(64)).trimmed();
}

QString pendingKey(quint64 run, const QString& command)
{
    return QString::number(run) + QLatin1Char('\n') + command;
}

} // namespace

const QString OneShotRecord::kUnchangedText = QStringLiteral("unchanged, not run again");

OneShotRecord::OneShotRecord(const QString& path, const QSet<QString>& bootScopedKeys,
                             const QString& bootIdPath)
    : m_path(path)
    , m_bootScopedKeys(bootScopedKeys)
    , m_boot(readBootId(bootIdPath))
    // Forgetting is safe: the items of the next document run once more.
    , m_file(path, QStringLiteral("one-shot record unreadable, starting afresh:"))
{
    load();
}

QString OneShotRecord::path() const
{
    return m_path;
}

QString OneShotRecord::entry(const QString& key, const QString& item)
{
    return key + QLatin1Char('\n') + item;
}

void OneShotRecord::begin(const QString& document)
{
    QMutexLocker locker(&m_mutex);
    if (document.isEmpty() || document == m_document)
        return;
    qInfo() << "new policy document, its one-shot items all run:" << document;
    m_document = document;
    m_succeeded.clear();
    save();
}

bool OneShotRecord::succeeded(const QString& document, const QString& key,
                              const QString& item) const
{
    QMutexLocker locker(&m_mutex);
    return !document.isEmpty() && document == m_document
           && m_succeeded.contains(entry(key, item));
}

void OneShotRecord::record(const QString& document, const QString& key, const QString& item,
                           bool success)
{
    QMutexLocker locker(&m_mutex);
    if (document.isEmpty() || document != m_document) {
        qInfo() << "outcome of an earlier policy document not remembered:" << key << item;
        return;
    }
    const QString name = entry(key, item);
    const bool changed = success ? !m_succeeded.contains(name) : m_succeeded.contains(name);
    if (!changed)
        return;
    if (success)
        m_succeeded.insert(name);
    else
        m_succeeded.remove(name);
    save();
}

void OneShotRecord::expect(quint64 run, const QString& command, const Item& item)
{
    QMutexLocker locker(&m_mutex);
    m_pending.insert(pendingKey(run, command), item);
}

void OneShotRecord::finished(quint64 run, const QString& command, bool success)
{
    Item pending;
    {
        QMutexLocker locker(&m_mutex);
        const auto it = m_pending.find(pendingKey(run, command));
        if (it == m_pending.end())
            return;
        pending = it.value();
        m_pending.erase(it);
    }
    record(pending.document, pending.key, pending.name, success);
}

void OneShotRecord::load()
{
    vorn::base::StateFile::Status status;
    const QJsonObject root = m_file.read(&status);
    if (status != vorn::base::StateFile::Status::Ok)
        return;
    m_document = root.value(kDocumentField).toString();
    const QJsonObject keys = root.value(kSucceededField).toObject();
    for (auto it = keys.constBegin(); it != keys.constEnd(); ++it) {
        for (const QJsonValue& item : it.value().toArray())
            m_succeeded.insert(entry(it.key(), item.toString()));
    }
    // A record without a boot (written before boots were kept) cannot show
    // that its firewall rules are still in the kernel: running them once more
    // at worst repeats a rule, trusting it may leave the machine without any.
    forgetBootScoped(root.value(kBootField).toString());
}

void OneShotRecord::forgetBootScoped(const QString& storedBoot)
{
    if (storedBoot == m_boot)
        return;
    bool forgot = false;
    for (auto it = m_succeeded.begin(); it != m_succeeded.end();) {
        if (m_bootScopedKeys.contains(it->section(QLatin1Char('\n'), 0, 0))) {
            it = m_succeeded.erase(it);
            forgot = true;
        } else {
            ++it;
        }
    }
    if (!forgot)
        return;
    qInfo() << "machine started again since the one-shot items of" << m_bootScopedKeys.values()
            << "ran, they run again; boot" << m_boot << "was" << storedBoot;
    save();
}

void OneShotRecord::save() const
{
    // Grouped by key, items sorted: the file reads well and never differs
    // for the same content.
    QMap<QString, QStringList> byKey;
    for (const QString& name : m_succeeded)
        byKey[name.section(QLatin1Char('\n'), 0, 0)].append(name.section(QLatin1Char('\n'), 1));
    QJsonObject keys;
    for (auto it = byKey.begin(); it != byKey.end(); ++it) {
        std::sort(it.value().begin(), it.value().end());
        keys.insert(it.key(), QJsonArray::fromStringList(it.value()));
    }
    const QJsonObject root{{kDocumentField, m_document}, {kBootField, m_boot}, {kSucceededField, keys}};
    if (!m_file.write(root))
        qWarning() << "one-shot record not written:" << m_path;
}
