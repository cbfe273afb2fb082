#include "session_policy_manager.h"

#include "common/base/childprocess.h"
#include "common/base/codes.h"
#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/base/statusschema.h"
#include "common/dbus/vorng.h"
#include "common/external/vornsessioninterface.h"
#include "lumo/policy/policy_pipeline.h"
#include "lumo/policy/service_signals.h"
#include "lumo/policy/policy_receiver.h"
#include "lumo/policy/push_message.h"
#include "session_policy_executor.h"

#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QtDebug>

SessionPolicyManager::SessionPolicyManager(QObject* parent)
    : QObject(parent)
{
    qDebug() << "session policy manager init begin";
    m_vorng = new vorngInterface(vorn::vorngService(), vorn::vorngPath(),
                                 QDBusConnection::systemBus(), this);
    auto* serviceSignals = new ServiceSignals(ServiceSignals::ServerMsg | ServiceSignals::DomainRemoval, this);
    connect(serviceSignals, &ServiceSignals::serverMsgCame, this, &SessionPolicyManager::onServerMsgCame);
    connect(serviceSignals, &ServiceSignals::domainRemoved, this, &SessionPolicyManager::onDomainRemoved);
    initPolicy();
    qDebug() << "session policy manager init end";
}

SessionPolicyManager::~SessionPolicyManager()
{
    if (m_executor) {
        // Also ends a wait on an empty queue or on outstanding results.
        m_executor->stop();
        delete m_executor;
        m_executor = nullptr;
    }
    delete m_pipeline;
    m_pipeline = nullptr;
}

StatusBoard* SessionPolicyManager::statusBoard() const
{
    return m_pipeline->statusBoard();
}

void SessionPolicyManager::initCacheConfig(QString& policyPath, QString& cachePath)
{
    const QString cache = SessionPolicyExecutor::cacheHome();

    policyPath = vorn::KSessionPolicyPath.arg(cache);
    const QString policyDir = QFileInfo(policyPath).absolutePath();
    if (!QDir(policyDir).exists())
        QDir().mkdir(policyDir);

    cachePath = vorn::KTempSessionPolicyPath.arg(cache);
    if (!QDir(cachePath).exists())
        QDir().mkdir(cachePath);

    qInfo() << "-------cacheFile:" << policyPath << ":" << cachePath;
}

void SessionPolicyManager::initPolicy()
{
    PolicyPipeline::Paths paths;
    paths.url = vorn::kSessionPolicyUrl;
    paths.stateDir = vorn::status::sessionJournalPath(vorn::status::stateHome());
    paths.program = QStringLiteral("qars");
    paths.statusPath = vorn::status::sessionStatusPath(vorn::status::stateHome());
    initCacheConfig(paths.policyPath, paths.cachePath);
    m_pipeline = new PolicyPipeline(paths, this);

    m_executor = new SessionPolicyExecutor(m_pipeline->queue());
    m_executor->setJournal(m_pipeline->journal());
    m_executor->setStatusBoard(m_pipeline->statusBoard());
    m_executor->initControlCenterList();
    connect(m_pipeline->receiver(), &PolicyReceiver::pullCompleted, m_executor,
            [executor = m_executor] { executor->refreshControlCenterList(); });
    m_executor->start(QThread::InheritPriority);

    connect(m_executor, &SessionPolicyExecutor::execPolicyFinished, this,
            &SessionPolicyManager::onExecPolicyFinished);
}

void SessionPolicyManager::onServerMsgCame(const QString& appId, int type, const QString& payload)
{
    qInfo() << "onServerMsgCame------:" << ":" << appId << ":type:" << type;
    qDebug() << "push payload:" << payload;
    // Policy updates are the only push the session agent acts on.
    if (type != vorn::code::kPushPolicyUpdate)
        return;
    if (m_pipeline->leavingDomain()) {
        qInfo() << "domain removed, push ignored:" << type;
        return;
    }

    PushMessage message;
    if (!PushMessage::parse(payload, message))
        return;
    qInfo() << "onServerMsgCame------:" << message.taskId << ":" << message.jobId;
    m_pipeline->receiver()->pullPolicy(message.taskId, message.jobId);
}

void SessionPolicyManager::onExecPolicyFinished(int taskId, int jobId, bool isSuccessed,
                                                const QString& result)
{
    qInfo() << "SessionManager::onExecPolicyFinished---------";
    m_pipeline->sendReceipt(taskId, jobId, isSuccessed, result);
}

void SessionPolicyManager::onDomainRemoved()
{
    if (m_pipeline->leavingDomain())
        return;
    qDebug() << "lumo-session remove domain begin";
    m_pipeline->leaveDomain(m_executor, [this] { restoreAndLeave(); });
}

void SessionPolicyManager::restoreAndLeave()
{
    QSettings backup(vorn::kBackupConfigPath, QSettings::IniFormat);
    backup.beginGroup(QStringLiteral("config"));
    const QStringList modules = backup.value(QStringLiteral("ControlCenterList")).toStringList();
    VornSessionInterface* session = VornSessionInterface::Instance();
    session->SetControlConfig(modules, QStringList{QString()}, false);
    backup.endGroup();

    session->SetHotspotEnable(1);
    session->SetShortcutKeyEnable(true);
    session->SetLauncherDisplayable(true);
    session->SetTaskbarRightclickMenuEnable(true);
    session->SetResidentTaskbarAppDisplayable(true);
    session->SetRecycleBinDisplayable(true);
    session->SetWebTrayIconClickable(true);
    session->SetUsbTrayIconClickable(true);

    const QString systemctl = QStringLiteral("systemctl");
    runCommand(systemctl,
               {QStringLiteral("--global"), QStringLiteral("disable"), QStringLiteral("lumo-session")},
               [this, systemctl]() {
                   qDebug() << "lumo-session remove domain end";
                   // Stops this agent's own unit, and with it the agent.
                   runCommand(systemctl,
                              {QStringLiteral("--global"), QStringLiteral("stop"),
                               QStringLiteral("lumo-session")},
                              nullptr);
               });
}

void SessionPolicyManager::runCommand(const QString& program, const QStringList& arguments,
                                      std::function<void()> then)
{
    using vorn::base::ChildOptions;
    ChildOptions options;
    options.errorOutput = ChildOptions::ErrorOutput::Merge;
    vorn::base::ChildProcess* child =
        vorn::base::ChildProcess::start(program, arguments, kCommandTimeoutMs, this, options);
    connect(child, &vorn::base::ChildProcess::finished, this,
            [program, arguments, then](const vorn::base::ChildResult& result) {
                if (!result.started) {
                    qWarning() << "command could not be started:" << program << arguments;
                } else {
                    if (result.timedOut)
                        qWarning() << "command did not end in time, killed:" << program << arguments;
                    qInfo() << "command ended:" << program << arguments
                            << "exit code:" << result.exitCode << "crashed:" << result.crashed;
                    if (!result.output.isEmpty())
                        qInfo() << "command output:" << program << result.outputText();
                }
                if (then)
                    then();
            });
}
