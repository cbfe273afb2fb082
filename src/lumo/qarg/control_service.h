#pragma once

#include <QDBusVirtualObject>
#include <QString>

#include <functional>

class PolicyReceiver;
class StatusBoard;

// qarg's own name on the system bus, for the administrator's command: anyone
// may read the status (the same text as the status file; root gets the full
// text of the results that are root's, as the detail file holds it); only
// root may ask for an immediate pull, as the timer would make it (no
// receipt). The bus policy installed with the package says the same; the
// checks here hold on any bus.
class ControlService : public QDBusVirtualObject
{
    Q_OBJECT
public:
    static const QString kServiceName;
    static const QString kObjectPath;

    ControlService(PolicyReceiver* receiver, StatusBoard* status, QObject* parent = nullptr);
    ~ControlService() override;

    // Takes the name and registers the object; false, with a log line, when
    // the bus refuses (the programs run on without it).
    bool registerOnBus();

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    Q_DISABLE_COPY(ControlService)
    // Asks the bus who sent `message` and calls `then` with whether it is root
    // (false too when the bus does not say).
    void whenCallerKnown(const QDBusMessage& message, const QDBusConnection& connection,
                         std::function<void(bool root)> then);
    void pullIfRoot(const QDBusMessage& message, const QDBusConnection& connection);
    void answerStatus(const QDBusMessage& message, const QDBusConnection& connection);

    PolicyReceiver* m_receiver;
    StatusBoard* m_status;
    bool m_registered = false;
};
