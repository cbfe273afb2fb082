#pragma once

#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace xwe {

// Where settings go. The front ends (VornSystemInterface, VornSessionInterface)
// speak only to this; each backend decides how a named value takes effect.
class SettingsBackend
{
public:
    // Machine-wide settings (the daemon) or the settings of one user's desktop.
    enum class Scope { System, Session };

    // Gets the value in effect (Undefined when never set) and returns the new
    // one, or Undefined to leave it unchanged.
    using Change = std::function<QJsonValue(const QJsonValue& current)>;

    virtual ~SettingsBackend();

    virtual QString name() const = 0;
    // The value in effect now, Undefined when never set.
    virtual QJsonValue value(const QString& key) = 0;
    // Atomic read-modify-write of one value; returns a status of status.h.
    virtual int change(const QString& key, const Change& change) = 0;
    // Takes a copy of a file the caller may delete once the call returned,
    // stored under label; *kept receives the copy's path.
    virtual int keepFile(const QString& source, const QString& label, QString* kept) = 0;
    // Settings of these operations stay held against changes by others; the holds of
    // every other operation end. A status of status.h.
    virtual int holdOnly(const QStringList& operations);
    // Every hold ends and every value and file the backend changed for the user's
    // restrictions is given back (the domain is left).
    virtual int giveBack();
    // Ids of the local people who can log in (uid 1000 to 9999 with a login shell).
    virtual QList<uint> localUsers(const QString& passwdPath);

    // The backend named by VORN_XWE_BACKEND ("store" when unset, or "linux"),
    // keeping its state in directory under the file name stateName. Null for an
    // unknown name.
    static std::unique_ptr<SettingsBackend> create(Scope scope, const QString& directory,
                                                   const QString& stateName);
    // The name of the backend create() makes, as VORN_XWE_BACKEND gives it.
    static QString kind();
};

} // namespace xwe
