#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace xwe {

class SettingsKeeperPrivate;

// Keeps GSettings keys at the values a policy gave them: a change by anyone else is written
// back as soon as GSettings reports it (its "changed" signal, on a GLib main loop of the
// keeper's own thread, since the callers' threads run none), with one log line naming the key.
// Each hold belongs to owners (the setters that wrote it); a key is let go when its last
// owner is. The GSettings backend of the process is created on that loop, so that a key-file
// backend watches its file there too: build the keeper before any other GSettings use.
class SettingsKeeper
{
public:
    SettingsKeeper();
    ~SettingsKeeper();

    // Runs work on the keeper's thread and waits for it: GIO's key-file backend is not safe
    // to use from two threads, so every GSettings call of the library goes through here.
    // Unbounded: the thread does nothing but GSettings calls, which the caller would have
    // waited for itself.
    void run(const std::function<void()>& work);

    // Holds schema/key at value (GVariant text) from the next change on. Call it before
    // writing the value, so that the own write is never taken for another's.
    void hold(const QByteArray& schema, const QByteArray& key, const QString& value, const QString& owner);
    // Ends the hold of one key, whoever owns it.
    void drop(const QByteArray& schema, const QByteArray& key);
    // Ends owner's holds.
    void release(const QString& owner);
    // Ends every hold of an owner not in owners.
    void keepOnly(const QStringList& owners);
    // Every hold: {"<schema> <key>": {"value": text, "by": [owners]}}, and taken up again
    // (a value already different is put back at once).
    QJsonObject holds() const;
    void restore(const QJsonObject& holds);

private:
    void arm(const QByteArray& schema, const QByteArray& key, const QString& value, const QString& owner,
             bool putBack);

    std::unique_ptr<SettingsKeeperPrivate> d;
};

} // namespace xwe
