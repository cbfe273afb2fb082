#include "session_policy_manager.h"

#include "common/base/childprocess.h"
#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/dbus/vorng.h"
#include "common/external/vornsessioninterface.h"
#include "lumo/policy/policy_queue.h"
#include "lumo/policy/policy_receiver.h"
#include "lumo/policy/push_message.h"
#include "lumo/policy/policy_responder.h"
#include "session_policy_executor.h"

#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QtDebug>

namespace {
// How long the receipt thread may take to end at shutdown.
constexpr unsigned long kResponderStopMs = 2000;
} // namespace

SessionPolicyManager::SessionPolicyManager(QObject* parent)
    : QObject(parent)
{
    qDebug() << "session policy manager init begin";
    m_vorng = new vorngInterface(vorn::vorngService(), vorn::vorngPath(),
                                 QDBusConnection::systemBus(), this);
    connect(m_vorng, &vorngInterface::ServerMsgCame, this, &SessionPolicyManager::onServerMsgCame);
    connect(m_vorng, &vorngInterface::DomainRemoved, this, &SessionPolicyManager::onDomainRemoved);
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
    if (m_responder) {
        m_responder->stop();
        m_responderThread->quit();
        if (m_responderThread->wait(kResponderStopMs)) {
            delete m_responder;
            delete m_responderThread;
        } else {
            // Stuck in a bus call: leave it to process exit rather than
            // destroying a running thread.
            qWarning() << "receipt thread did not end in time";
        }
        m_responder = nullptr;
        m_responderThread = nullptr;
    }
    // The queue outlives both of its users.
    delete m_receiver;
    m_receiver = nullptr;
    delete m_queue;
    m_queue = nullptr;
}

bool SessionPolicyManager::initConfig(QString& host, QString& port)
{
    return vorn::base::FileContent::getHostAndPort(host, port);
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

QString SessionPolicyManager::getMachineId() const
{
    return vorn::base::FileContent::instace()->getMachineID(nullptr, false);
}

void SessionPolicyManager::initPolicy()
{
    QString host;
    QString port;
    initConfig(host, port);
    QString policyPath;
    QString cachePath;
    initCacheConfig(policyPath, cachePath);

    PolicyInfo info;
    info.ip = host;
    info.port = port;
    info.url = vorn::kSessionPolicyUrl;
    info.machineId = getMachineId();
    info.taskId = -1;
    info.jobId = -1;
    info.policyPath = policyPath;
    info.cachePath = cachePath;

    m_queue = new PolicyQueue;
    m_receiver = new PolicyReceiver(info, this);
    m_receiver->setPolicyQueue(m_queue);
    m_receiver->initPolicyCachePath();

    PolicyReceiver* receiver = m_receiver;
    QTimer::singleShot(kFirstPullDelayMs, receiver, [receiver]() { receiver->pullPolicy(-1, -1); });

    m_executor = new SessionPolicyExecutor(m_queue);
    m_executor->setConfig(host, port);
    m_executor->initControlCenterList();
    m_executor->start(QThread::InheritPriority);

    m_responder = new PolicyResponder(nullptr);
    m_responderThread = new QThread;
    m_responder->moveToThread(m_responderThread);
    m_responderThread->start(QThread::InheritPriority);

    connect(m_executor, &SessionPolicyExecutor::execPolicyFinished, this,
            &SessionPolicyManager::onExecPolicyFinished);
}

void SessionPolicyManager::onServerMsgCame(const QString& appId, int type, const QString& payload)
{
    qInfo() << "onServerMsgCame------:" << payload << ":" << appId << ":type:" << type;
    // Policy updates are the only push the session agent acts on.
    if (type != 1100)
        return;

    PushMessage message;
    if (!PushMessage::parse(payload, message))
        return;
    qInfo() << "onServerMsgCame------:" << message.taskId << ":" << message.jobId;
    m_receiver->pullPolicy(message.taskId, message.jobId);
}

void SessionPolicyManager::onExecPolicyFinished(int taskId, int jobId, bool isSuccessed,
                                                const QString& result)
{
    qInfo() << "SessionManager::onExecPolicyFinished---------";
    ResponseInfo receipt;
    receipt.taskId = taskId;
    receipt.jobId = jobId;
    receipt.isSuccessed = isSuccessed;
    receipt.result = result;
    PolicyResponder* responder = m_responder;
    QMetaObject::invokeMethod(
        responder, [responder, receipt]() { responder->addReceipt(receipt); },
        Qt::QueuedConnection);
}

void SessionPolicyManager::onDomainRemoved()
{
    qDebug() << "lumo-session remove domain begin";

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
