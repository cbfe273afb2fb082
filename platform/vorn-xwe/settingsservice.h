#pragma once

#include "faultinjector.h"
#include "settingsbackend.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QMutex>
#include <QString>

#include <functional>
#include <memory>

namespace xwe {

// What the two front ends share: one backend, injected failures, one lock
// per process and a log line per call.
class SettingsService
{
public:
    using Apply = std::function<int(SettingsBackend& backend)>;

    // directory holds the state file stateName and the faults file.
    SettingsService(SettingsBackend::Scope scope, const QString& directory, const QString& stateName);
    ~SettingsService();

    // Runs one setter: an injected failure wins, then apply. Logged with its status.
    int call(const QString& operation, const QJsonArray& arguments, const Apply& apply);
    // A setter whose whole effect is value recorded under the operation's name;
    // a non-zero refusal (bad argument) is returned instead.
    int record(const QString& operation, const QJsonArray& arguments, const QJsonValue& value,
               int refusal = 0);
    // A stored value for a getter, Undefined when never set or no backend.
    QJsonValue value(const QString& key);
    // The local people who can log in, as the backend reads them.
    QList<uint> localUsers(const QString& passwdPath);
    // Log line of a getter.
    void logRead(const QString& operation, const QJsonValue& result);

private:
    QMutex m_mutex;
    std::unique_ptr<SettingsBackend> m_backend;
    FaultInjector m_faults;
};

} // namespace xwe
