#pragma once

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>

#include "common/base/constants.h"
#include "common/shared/statefile.h"

// What the one-shot items of a policy document (server scripts, software
// installations, firewall commands, the boot background) have done: for the
// latest document only, the items that succeeded. A timer pull queues the
// same document again and again; an item it remembers is not run a second
// time for it. Kept on disk (written atomically on every change), so a
// restart does not run everything again. Items of some keys change only
// the kernel's running state (firewall commands): they are remembered for
// the boot they ran in, and a reboot runs them again. Any thread.
class OneShotRecord
{
public:
    // Result text of an item that is not run again.
    static const QString kUnchangedText;

    // One item of one document: `name` tells the items of a key apart.
    struct Item
    {
        QString document;
        QString key;
        QString name;
    };

    // bootScopedKeys: keys whose items a reboot undoes. bootIdPath: where the
    // kernel tells the current boot apart.
    explicit OneShotRecord(const QString& path, const QSet<QString>& bootScopedKeys = {},
                           const QString& bootIdPath = vorn::kBootIdPath);

    QString path() const;

    // Makes `document` the one remembered; a different one forgets all that
    // the previous one ran. An empty identity is ignored.
    void begin(const QString& document);
    // Whether `item` of `key` succeeded for `document`.
    bool succeeded(const QString& document, const QString& key, const QString& item) const;
    // Stores the outcome of `item`: a success is remembered, a failure
    // forgets an earlier success. Outcomes of a document other than the
    // current one (late results) are dropped.
    void record(const QString& document, const QString& key, const QString& item, bool success);

    // For a command that ends on another thread: what it stands for, until
    // finished() brings its outcome. `run` tells runs of the same command apart.
    void expect(quint64 run, const QString& command, const Item& item);
    void finished(quint64 run, const QString& command, bool success);

private:
    Q_DISABLE_COPY(OneShotRecord)
    void load();
    void save() const;
    static QString entry(const QString& key, const QString& item);
    void forgetBootScoped(const QString& storedBoot);

    const QString m_path;
    const QSet<QString> m_bootScopedKeys;
    // The boot this process runs in, read once: it cannot change under us.
    const QString m_boot;
    const vorn::base::StateFile m_file;
    mutable QMutex m_mutex;
    QString m_document;
    QSet<QString> m_succeeded;
    QHash<QString, Item> m_pending;
};
