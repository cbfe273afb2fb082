#pragma once

#include "common/base/buscaller.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QDBusMessage;
class QDBusServiceWatcher;

// The core client service's signals that make the programs act, relayed only
// when the connection that sent them belongs to root: whoever could take the
// service's name on the bus while the service is down must not be able to
// grant devices, remove the machine from its domain or change the pull
// interval. The sender's user is asked of the bus once per unique name, without
// blocking, and forgotten when the service's name changes owner; signals wait
// in order for that answer, which is asked again while the bus is too busy to
// give it in time. Lives on the main thread.
class ServiceSignals : public QObject
{
    Q_OBJECT
public:
    enum Signal { ServerMsg = 1, DomainRemoval = 2, IntervalChange = 4 };
    explicit ServiceSignals(int which, QObject* parent = nullptr);
    ~ServiceSignals() override;

signals:
    void serverMsgCame(const QString& appId, int type, const QString& payload);
    void domainRemoved();
    void timeIntervalChanged(int interval);

private slots:
    void onServerMsgCame(const QString& appId, int type, const QString& payload,
                         const QDBusMessage& message);
    void onDomainRemoved(const QDBusMessage& message);
    void onTimeIntervalChanged(int interval, const QDBusMessage& message);

private:
    Q_DISABLE_COPY(ServiceSignals)
    struct Pending
    {
        QString name;
        std::function<void()> relay;
    };
    void admit(const QDBusMessage& message, const char* name, std::function<void()> relay);
    void askUid(const QString& sender, int timeoutMs);
    void onCallerKnown(const QString& sender, const vorn::base::BusCaller& caller);

    QHash<QString, vorn::base::BusCaller> m_callers;
    QHash<QString, QList<Pending>> m_waiting;
    QDBusServiceWatcher* m_watcher = nullptr;
};
