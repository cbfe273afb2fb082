#include "session_policy_manager.h"

#include "common/shared/childprocess.h"
#include "common/base/codes.h"
#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/base/statusschema.h"
#include "common/external/vornsessioninterface.h"
#include "lumo/policy/policy_pipeline.h"
#include "lumo/policy/policy_receiver.h"
#include "lumo/policy/push_message.h"
#include "session_policy_executor.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QtDebug>

namespace {

using vorn::base::ChildLog;
using vorn::base::ChildOptions;
using vorn::base::ChildProcess;

constexpr int kCommandTimeoutMs = 30000;

// A systemctl command on the agent's user unit for every user, run without
// blocking the event loop; its error output joins the output it logs.
ChildProcess* startSystemctl(QObject* owner, const QString& verb)
{
    ChildLog log;
    log.notStarted = "command could not be started: {command}";
    log.timedOut = "command did not end in time, killed: {command}";
    log.ended = "command ended: {command} exit code: {exit} crashed: {crashed}";
    log.output = "command output: {program} {text}";
    return ChildProcess::start(QStringLiteral("systemctl"),
                               {QStringLiteral("--global"), verb, QStringLiteral("lumo-session")},
                               kCommandTimeoutMs, owner, log,
                               ChildOptions(ChildOptions::ErrorOutput::Merge));
}

const PolicyManager::Texts kTexts{"session policy manager init begin",
                                  "lumo-session remove domain begin"};
} // namespace

SessionPolicyManager::SessionPolicyManager(QObject* parent)
    : PolicyManager(kTexts, parent)
{
    initPolicy();
    qDebug() << "session policy manager init end";
}

// The base stops the executor and ends the pipeline.
SessionPolicyManager::~SessionPolicyManager() = default;

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
    PolicyPipeline* policies = setUpPipeline(paths);

    m_executor = new SessionPolicyExecutor(policies->queue());
    adoptExecutor(m_executor);
    m_executor->initControlCenterList();
    connect(policies->receiver(), &PolicyReceiver::pullCompleted, m_executor,
            [executor = m_executor] { executor->refreshControlCenterList(); });
    m_executor->start(QThread::InheritPriority);
}

void SessionPolicyManager::onServerMsgCame(const QString& appId, int type, const QString& payload)
{
    qInfo() << "onServerMsgCame------:" << ":" << appId << ":type:" << type;
    qDebug() << "push payload:" << payload;
    // Policy updates are the only push the session agent acts on.
    if (type != vorn::code::kPushPolicyUpdate)
        return;
    PushMessage message;
    if (acceptPush(type, payload, message))
        pipeline()->receiver()->pullPolicy(message.taskId, message.jobId);
}

void SessionPolicyManager::onExecPolicyFinished(int taskId, int jobId, bool isSuccessed,
                                                const QString& result, const QString& shown)
{
    qInfo() << "SessionManager::onExecPolicyFinished---------";
    PolicyManager::onExecPolicyFinished(taskId, jobId, isSuccessed, result, shown);
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
    // Nothing is held any more, and what the restrictions took from the desktop comes back.
    session->GiveBackSettings();

    connect(startSystemctl(this, QStringLiteral("disable")), &ChildProcess::finished, this, [this] {
        qDebug() << "lumo-session remove domain end";
        // Stops this agent's own unit, and with it the agent.
        startSystemctl(this, QStringLiteral("stop"));
    });
}
