#include "service_signals.h"

#include "common/dbus/vorng.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QSet>
#include <QtDebug>

namespace {
// The bus daemon answers at once; a stuck bus must not keep signals for long.
constexpr int kUidQueryTimeoutMs = 1000;
// A bus too busy to answer in time (at boot, say) is asked again, each time
// waiting longer, up to this; the signals wait in order meanwhile.
constexpr int kUidQueryMaxTimeoutMs = 16000;
// Signals kept per sender while its user is not known yet.
constexpr int kMaxWaiting = 1024;

// Senders already named in the log, for every instance: one line per sender.
QSet<QString>& warnedSenders()
{
    static QSet<QString> senders;
    return senders;
}
} // namespace

ServiceSignals::ServiceSignals(int which, QObject* parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    const QString service = vorn::vorngService();
    const QString path = vorn::vorngPath();
    const QString kInterface = vorn::vorngInterfaceName();
    if (which & ServerMsg)
        bus.connect(service, path, kInterface, QStringLiteral("ServerMsgCame"), this,
                    SLOT(onServerMsgCame(QString, int, QString, QDBusMessage)));
    if (which & DomainRemoval)
        bus.connect(service, path, kInterface, QStringLiteral("DomainRemoved"), this,
                    SLOT(onDomainRemoved(QDBusMessage)));
    if (which & IntervalChange)
        bus.connect(service, path, kInterface, QStringLiteral("TimeIntervalChanged"), this,
                    SLOT(onTimeIntervalChanged(int, QDBusMessage)));

    m_watcher = new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString&) {
                // A unique name is never given out twice; forgetting the old
                // owner only keeps the table small.
                m_callers.remove(oldOwner);
                warnedSenders().remove(oldOwner);
            });
}

ServiceSignals::~ServiceSignals() = default;

void ServiceSignals::onServerMsgCame(const QString& appId, int type, const QString& payload,
                                     const QDBusMessage& message)
{
    admit(message, "ServerMsgCame",
          [this, appId, type, payload] { emit serverMsgCame(appId, type, payload); });
}

void ServiceSignals::onDomainRemoved(const QDBusMessage& message)
{
    admit(message, "DomainRemoved", [this] { emit domainRemoved(); });
}

void ServiceSignals::onTimeIntervalChanged(int interval, const QDBusMessage& message)
{
    admit(message, "TimeIntervalChanged",
          [this, interval] { emit timeIntervalChanged(interval); });
}

void ServiceSignals::admit(const QDBusMessage& message, const char* name,
                           std::function<void()> relay)
{
    const QString sender = message.service();
    const auto known = m_callers.constFind(sender);
    if (known != m_callers.constEnd() && !m_waiting.contains(sender)) {
        if (known->isRoot()) {
            relay();
        } else if (!warnedSenders().contains(sender)) {
            warnedSenders().insert(sender);
            qWarning() << "ignoring signals of a connection not owned by root:" << name << sender
                       << "uid:" << known->uid;
        }
        return;
    }
    const bool ask = !m_waiting.contains(sender);
    QList<Pending>& waiting = m_waiting[sender];
    if (waiting.size() >= kMaxWaiting) {
        qWarning() << "too many signals waiting for the sender check, dropping the oldest:"
                   << waiting.first().name << sender;
        waiting.removeFirst();
    }
    waiting.append(Pending{QString::fromLatin1(name), std::move(relay)});
    if (ask)
        askUid(sender, kUidQueryTimeoutMs);
}

void ServiceSignals::askUid(const QString& sender, int timeoutMs)
{
    vorn::base::askBusCaller(
        QDBusConnection::systemBus(), sender, timeoutMs, this,
        [this, sender, timeoutMs](const vorn::base::BusCaller& caller) {
            if (caller.timedOut()) {
                // The signals are not lost to a slow bus: ask again.
                const int next = qMin(timeoutMs * 2, kUidQueryMaxTimeoutMs);
                qWarning() << "sender check timed out, asking the bus again:" << sender
                           << "signals waiting:" << m_waiting.value(sender).size()
                           << "next wait ms:" << next;
                askUid(sender, next);
                return;
            }
            if (!caller.known) {
                for (const Pending& pending : m_waiting.value(sender))
                    qWarning() << "cannot tell who sent a signal, ignored:" << pending.name
                               << sender << caller.error.message();
            }
            onCallerKnown(sender, caller);
        });
}

void ServiceSignals::onCallerKnown(const QString& sender, const vorn::base::BusCaller& caller)
{
    // An unknown sender is not remembered: its next signal asks again.
    if (caller.known)
        m_callers.insert(sender, caller);
    const QList<Pending> waiting = m_waiting.take(sender);
    for (const Pending& pending : waiting) {
        if (caller.isRoot()) {
            pending.relay();
        } else if (caller.known && !warnedSenders().contains(sender)) {
            warnedSenders().insert(sender);
            qWarning() << "ignoring signals of a connection not owned by root:" << pending.name
                       << sender << "uid:" << caller.uid;
        }
    }
}
