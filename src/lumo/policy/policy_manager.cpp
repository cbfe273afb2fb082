#include "policy_manager.h"

#include "common/base/constants.h"
#include "common/dbus/vorng.h"
#include "policy_executor.h"
#include "push_message.h"
#include "service_signals.h"

#include <QDBusConnection>
#include <QtDebug>

PolicyManager::PolicyManager(const Texts& texts, QObject* parent)
    : QObject(parent)
    , m_texts(texts)
{
    qDebug() << m_texts.initBegin;
    m_vorng = new vorngInterface(vorn::vorngService(), vorn::vorngPath(),
                                 QDBusConnection::systemBus(), this);
    auto* serviceSignals = new ServiceSignals(ServiceSignals::ServerMsg | ServiceSignals::DomainRemoval, this);
    connect(serviceSignals, &ServiceSignals::serverMsgCame, this, &PolicyManager::onServerMsgCame);
    connect(serviceSignals, &ServiceSignals::domainRemoved, this, &PolicyManager::onDomainRemoved);
}

PolicyManager::~PolicyManager()
{
    // Threads have ended before their objects go, and no event loop runs
    // after this, so objects are deleted here rather than later.
    if (m_executor) {
        // Also ends a wait on an empty queue or on outstanding results.
        m_executor->stop();
        delete m_executor;
        m_executor = nullptr;
    }
    delete m_pipeline;
    m_pipeline = nullptr;
}

PolicyPipeline* PolicyManager::setUpPipeline(const PolicyPipeline::Paths& paths)
{
    m_pipeline = new PolicyPipeline(paths, this);
    return m_pipeline;
}

void PolicyManager::adoptExecutor(PolicyExecutor* executor)
{
    m_executor = executor;
    m_executor->setJournal(m_pipeline->journal());
    m_executor->setStatusBoard(m_pipeline->statusBoard());
    connect(m_executor, &PolicyExecutor::execPolicyFinished, this,
            &PolicyManager::onExecPolicyFinished);
}

StatusBoard* PolicyManager::statusBoard() const
{
    return m_pipeline->statusBoard();
}

PolicyPipeline* PolicyManager::pipeline() const
{
    return m_pipeline;
}

vorngInterface* PolicyManager::vorng() const
{
    return m_vorng;
}

bool PolicyManager::acceptPush(int type, const QString& payload, PushMessage& message) const
{
    if (m_pipeline->leavingDomain()) {
        qInfo() << "domain removed, push ignored:" << type;
        return false;
    }
    if (!PushMessage::parse(payload, message))
        return false;
    qInfo() << "onServerMsgCame------:" << message.taskId << ":" << message.jobId;
    return true;
}

void PolicyManager::onExecPolicyFinished(int taskId, int jobId, bool isSuccessed,
                                         const QString& result, const QString& shown)
{
    m_pipeline->sendReceipt(taskId, jobId, isSuccessed, result, shown);
}

void PolicyManager::onDomainRemoved()
{
    if (m_pipeline->leavingDomain())
        return;
    qDebug() << m_texts.leaveBegin;
    m_pipeline->leaveDomain(m_executor, [this] { restoreAndLeave(); });
}
