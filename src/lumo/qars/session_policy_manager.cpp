#include "session_policy_manager.h"

#include "common/base/childprocess.h"
#include "common/base/codes.h"
#include "common/base/constants.h"
#include "common/base/filecontent.h"
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

// The user's state directory: XDG_STATE_HOME when it is an absolute path,
// else ~/.local/state.
QString SessionPolicyManager::stateHome()
{
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (QDir::isAbsolutePath(state))
        return state;
    return QDir::homePath() + QStringLiteral("/.local/state");
}

void SessionPolicyManager::initPolicy()
{
    PolicyPipeline::Paths paths;
    paths.url = vorn::kSessionPolicyUrl;
    paths.stateDir = stateHome() + QStringLiteral("/vorn/receipts");
    paths.program = QStringLiteral("qars");
    paths.statusPath = stateHome() + QStringLiteral("/vorn/status.json");
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
                                                const QString& result)
{
    qInfo() << "SessionManager::onExecPolicyFinished---------";
    PolicyManager::onExecPolicyFinished(taskId, jobId, isSuccessed, result);
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
