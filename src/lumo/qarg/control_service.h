#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>

class PolicyReceiver;
class StatusBoard;

// qarg's own name on the system bus, for the administrator's command: anyone
// may read the status (the same text as the status file; root gets the full
// text of the results that are root's, as the detail file holds it); only
// root may ask for an immediate pull, as the timer would make it (no
// receipt). The bus policy installed with the package says the same; the
// checks here hold on any bus. The interfaces are those of
// com.kestal.vorn.qarg.xml, through adaptors generated from it.
class ControlService : public QObject, protected QDBusContext
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

    // com.kestal.vorn.qarg.Control.Pull and com.kestal.vorn.qarg.Status.Get,
    // called by the adaptors while a bus message is delivered. Both answer
    // later, once the bus has said who asks; their return values go nowhere.
    QString Pull();
    QString Get();

private:
    Q_DISABLE_COPY(ControlService)

    PolicyReceiver* m_receiver;
    StatusBoard* m_status;
    bool m_registered = false;
};
