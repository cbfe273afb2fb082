#include "control_service.h"

#include "lumo/policy/policy_receiver.h"
#include "lumo/policy/status_board.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QtDebug>

namespace {
const QString kControlInterface = QStringLiteral("com.kestal.vorn.qarg.Control");
const QString kStatusInterface = QStringLiteral("com.kestal.vorn.qarg.Status");
constexpr int kUidQueryTimeoutMs = 1000;
} // namespace

const QString ControlService::kServiceName = QStringLiteral("com.kestal.vorn.qarg");
const QString ControlService::kObjectPath = QStringLiteral("/com/kestal/vorn/qarg");

ControlService::ControlService(PolicyReceiver* receiver, StatusBoard* status, QObject* parent)
    : QDBusVirtualObject(parent)
    , m_receiver(receiver)
    , m_status(status)
{
}

ControlService::~ControlService()
{
    if (!m_registered)
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    bus.unregisterObject(kObjectPath);
    bus.unregisterService(kServiceName);
}

bool ControlService::registerOnBus()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerVirtualObject(kObjectPath, this)) {
        qWarning() << "control object not registered:" << bus.lastError().message();
        return false;
    }
    if (!bus.registerService(kServiceName)) {
        qWarning() << "bus name not taken, lumoctl pull is not available:" << kServiceName
                   << bus.lastError().message();
        bus.unregisterObject(kObjectPath);
        return false;
    }
    m_registered = true;
    return true;
}

QString ControlService::introspect(const QString&) const
{
    return QStringLiteral("<interface name=\"com.kestal.vorn.qarg.Control\">"
                          "<method name=\"Pull\"><arg type=\"s\" direction=\"out\"/></method>"
                          "</interface>"
                          "<interface name=\"com.kestal.vorn.qarg.Status\">"
                          "<method name=\"Get\"><arg type=\"s\" direction=\"out\"/></method>"
                          "</interface>");
}

bool ControlService::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    if (message.interface() == kStatusInterface && message.member() == QLatin1String("Get")) {
        answerStatus(message, connection);
        return true;
    }
    if (message.interface() == kControlInterface && message.member() == QLatin1String("Pull")) {
        pullIfRoot(message, connection);
        return true;
    }
    return false;
}

// Who asks is known only from the bus; the answer is sent once it has said.
void ControlService::whenCallerKnown(const QDBusMessage& message, const QDBusConnection& connection,
                                     std::function<void(bool root)> then)
{
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixUser"));
    ask << message.service();
    QDBusConnection bus = connection;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask, kUidQueryTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [watcher, then = std::move(then)] {
                watcher->deleteLater();
                const QDBusPendingReply<uint> uid = *watcher;
                then(!uid.isError() && uid.value() == 0);
            });
}

void ControlService::pullIfRoot(const QDBusMessage& message, const QDBusConnection& connection)
{
    const QPointer<PolicyReceiver> receiver(m_receiver);
    QDBusConnection bus = connection;
    whenCallerKnown(message, connection, [message, bus, receiver](bool root) mutable {
        if (!root) {
            qWarning() << "pull request refused, caller is not root:" << message.service();
            bus.send(message.createErrorReply(QDBusError::AccessDenied,
                                              QStringLiteral("only root may ask for a pull")));
            return;
        }
        qInfo() << "pull requested by the administrator";
        if (receiver)
            receiver->pullPolicy(-1, -1);
        bus.send(message.createReply(QStringLiteral("pull started")));
    });
}

// Root sees what its scripts, firewall commands and installs printed; others their summaries.
void ControlService::answerStatus(const QDBusMessage& message, const QDBusConnection& connection)
{
    const QPointer<StatusBoard> status(m_status);
    QDBusConnection bus = connection;
    whenCallerKnown(message, connection, [message, bus, status](bool root) mutable {
        if (!status) {
            bus.send(message.createErrorReply(QDBusError::Failed, QStringLiteral("qarg is stopping")));
            return;
        }
        const StatusBoard::View view = root ? StatusBoard::View::Root : StatusBoard::View::Public;
        bus.send(message.createReply(QString::fromUtf8(status->snapshot(view))));
    });
}
