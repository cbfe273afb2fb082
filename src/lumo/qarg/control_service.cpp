#include "control_service.h"

#include "common/base/buscaller.h"
#include "control_adaptor.h"
#include "lumo/policy/policy_receiver.h"
#include "lumo/policy/status_board.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QPointer>
#include <QtDebug>

namespace {
constexpr int kUidQueryTimeoutMs = 1000;
} // namespace

const QString ControlService::kServiceName = QStringLiteral("com.kestal.vorn.qarg");
const QString ControlService::kObjectPath = QStringLiteral("/com/kestal/vorn/qarg");

ControlService::ControlService(PolicyReceiver* receiver, StatusBoard* status, QObject* parent)
    : QObject(parent)
    , m_receiver(receiver)
    , m_status(status)
{
    new ControlAdaptor(this);
    new StatusAdaptor(this);
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
    if (!bus.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors)) {
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

// Who asks is known only from the bus; the answer is sent once it has said.
QString ControlService::Pull()
{
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    const QPointer<PolicyReceiver> receiver(m_receiver);
    vorn::base::askBusCaller(
        bus, call.service(), kUidQueryTimeoutMs, this,
        [call, bus, receiver](const vorn::base::BusCaller& caller) mutable {
            if (!caller.isRoot()) {
                qWarning() << "pull request refused, caller is not root:" << call.service();
                bus.send(call.createErrorReply(QDBusError::AccessDenied,
                                               QStringLiteral("only root may ask for a pull")));
                return;
            }
            qInfo() << "pull requested by the administrator";
            if (receiver)
                receiver->pullPolicy(-1, -1);
            bus.send(call.createReply(QStringLiteral("pull started")));
        });
    return QString();
}

// Root sees what its scripts, firewall commands and installs printed; others their summaries.
QString ControlService::Get()
{
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    const QPointer<StatusBoard> status(m_status);
    vorn::base::askBusCaller(
        bus, call.service(), kUidQueryTimeoutMs, this,
        [call, bus, status](const vorn::base::BusCaller& caller) mutable {
            if (!status) {
                bus.send(call.createErrorReply(QDBusError::Failed, QStringLiteral("qarg is stopping")));
                return;
            }
            const StatusBoard::View view =
                caller.isRoot() ? StatusBoard::View::Root : StatusBoard::View::Public;
            bus.send(call.createReply(QString::fromUtf8(status->snapshot(view))));
        });
    return QString();
}
