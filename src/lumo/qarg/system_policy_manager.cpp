#include "system_policy_manager.h"

#include "common/shared/childprocess.h"
#include "common/base/codes.h"
#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/dbus/vorng.h"
#include "common/external/errorsdescription.h"
#include "common/external/vornsysteminterface.h"
#include "lumo/policy/policy_pipeline.h"
#include "lumo/policy/status_board.h"
#include "control_service.h"
#include "install_runner.h"
#include "lumo/policy/policy_receiver.h"
#include "lumo/policy/push_message.h"
#include "notify_message.h"
#include "software_list.h"
#include "system_config.h"
#include "system_policy_executor.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QtDebug>

namespace {

// Scripts end well inside the executor's 30-minute wait, so their result still counts.
const int kScriptTimeLimitMs = 20 * 60 * 1000;

using vorn::base::ChildLog;
const PolicyManager::Texts kTexts{"system policy manager init begin", "qarg remove domain begin"};

using vorn::base::ChildOptions;
using vorn::base::ChildProcess;
using vorn::base::ChildResult;

// A systemctl command of the domain leave, with its error output in its log lines.
ChildProcess* startSystemctl(QObject* owner, const QString& verb)
{
    ChildLog log;
    log.notStarted = "cannot start {command} {error}";
    log.timedOut = "{command} did not end within {limit} ms; killed";
    log.ended = "{command} ended: {exit} {status} {output}";
    return ChildProcess::start(QStringLiteral("systemctl"), {verb, QStringLiteral("qarg")},
                               SystemConfig::kCommandTimeoutMs, owner, log,
                               ChildOptions(ChildOptions::ErrorOutput::Merge));
}

} // namespace

SystemPolicyManager::SystemPolicyManager(QObject* parent)
    : PolicyManager(kTexts, parent)
{
    initPolicy();
    initUsbManager();
    qDebug() << "system policy manager init end";
}

SystemPolicyManager::~SystemPolicyManager()
{
    // Commands still running (such as the "systemctl stop" that ended us)
    // are not waited for; a tool run of the USB or executor thread ends with
    // them. The USB thread is told first, so that it starts no further tool.
    askUsbStop();
    ChildProcess::endAll();
    stopUsbManager();
    // The base then stops the executor and ends the pipeline.
}

void SystemPolicyManager::initCacheConfig(QString& policyPath, QString& cachePath)
{
    policyPath = vorn::kSystemPolicyPath;
    const QDir policyDir = QFileInfo(policyPath).absoluteDir();
    if (!policyDir.exists()) {
        QDir parentDir = policyDir;
        if (parentDir.cdUp())
            parentDir.mkdir(QStringLiteral("vorn"));
    }

    // Created with its parents: a fresh machine may lack /root/.cache/vorn as well.
    cachePath = vorn::KTempSystemPolicyPath;
    if (!QDir(cachePath).exists())
        QDir().mkpath(cachePath);
}

void SystemPolicyManager::initPolicy()
{
    PolicyPipeline::Paths paths;
    paths.url = vorn::kSystemPolicyUrl;
    paths.stateDir = vorn::kQargReceiptJournalPath;
    paths.program = QStringLiteral("qarg");
    paths.statusPath = vorn::kQargStatusPath;
    initCacheConfig(paths.policyPath, paths.cachePath);
    PolicyPipeline* policies = setUpPipeline(paths);

    m_executor = new SystemPolicyExecutor(policies->queue());
    adoptExecutor(m_executor);
    policies->statusBoard()->setPrivateResults(SystemPolicyExecutor::rootOutputKeys(),
                                               vorn::kQargStatusDetailPath);
    auto* control = new ControlService(policies->receiver(), policies->statusBoard(), this);
    control->registerOnBus();
    connect(m_executor, &SystemPolicyExecutor::loginLimitChanged, this,
            &SystemPolicyManager::notifyLoginLimitChanged);
    connect(m_executor, &SystemPolicyExecutor::usbPolicyChanged, this,
            &SystemPolicyManager::onUsbPolicyChanged);
    connect(m_executor, &SystemPolicyExecutor::saveSoftwareList, this,
            &SystemPolicyManager::onSaveSoftwareList);
    connect(m_executor, &SystemPolicyExecutor::execDocumentScript, this,
            &SystemPolicyManager::startScript);
    m_installs = new InstallRunner(vorn::kQargInstallsPath, this);
    connect(m_executor, &SystemPolicyExecutor::execInstall, this,
            &SystemPolicyManager::startInstall);
    // Script output reaches the executor together with the document it belongs to.
    m_executor->start(QThread::InheritPriority);
}

void SystemPolicyManager::onServerMsgCame(const QString& appId, int type, const QString& payload)
{
    // Payloads may name devices and users: their text goes to the debug level only.
    qInfo() << "onServerMsgCame------:" << appId << ":type:" << type;
    qDebug() << "push payload:" << payload;
    PushMessage message;
    if (!acceptPush(type, payload, message))
        return;
    const int jobId = message.jobId;
    const int taskId = message.taskId;

    if (type == vorn::code::kPushPolicyUpdate) {
        vorng()->ReplyTaskResult(jobId, taskId, vorn::code::kTaskReceived, QString(),
                                 QStringLiteral("receive success"));
        pipeline()->receiver()->pullPolicy(taskId, jobId);
    } else if (type == vorn::code::kPushUsbOrder) {
        const QString action = message.text(QStringLiteral("action"));
        const bool order = action == QLatin1String("add") || action == QLatin1String("remove");
        if (order && !(m_usbThread && m_usbThread->isRunning())) {
            // Kept for later it would act on a device long after the server asked.
            qWarning() << "USB order while whitelist control is off, refused:" << taskId << jobId;
            vorng()->ReplyTaskResult(jobId, taskId, vorn::code::kTaskFailed, QString(),
                                     QStringLiteral("USB whitelist control is off"));
            return;
        }
        const QString vendorId = message.text(QStringLiteral("vendor_id"));
        const QString productId = message.text(QStringLiteral("product_id"));
        const QString serial = message.text(QStringLiteral("serial_number"));
        if (action == QLatin1String("add")) {
            const QString alias = message.text(QStringLiteral("alias_name"));
            notifyUsbCtrlAuthorChanged(true, alias);
            emit notifyExeChangeDevConnStatusByIdTask(taskId, jobId, true, vendorId, productId,
                                                      serial);
        } else if (action == QLatin1String("remove")) {
            emit notifyExeChangeDevConnStatusByIdTask(taskId, jobId, false, vendorId, productId,
                                                      serial);
        } else {
            vorng()->ReplyTaskResult(jobId, taskId, vorn::code::kBadPushMessage, QString(),
                                     QStringLiteral("data error"));
        }
    }
}

void SystemPolicyManager::startScript(const ResultSlot& slot, const QString& cmd)
{
    // The result belongs to the document that asked for it, however late it comes.
    const QString key = slot.key();
    const QStringList parts = ChildProcess::splitCommand(cmd);
    if (parts.isEmpty()) {
        qWarning() << "----empty script command for" << key;
        slot.record(QStringLiteral("script could not be started: empty command"));
        return;
    }
    ChildOptions options;
    options.errorOutput = ChildOptions::ErrorOutput::Capture;
    ChildProcess* child =
        ChildProcess::start(parts.first(), parts.mid(1), kScriptTimeLimitMs, this, options);
    child->setObjectName(key);
    connect(child, &ChildProcess::finished, this,
            [this, slot, key, cmd, program = parts.first()](const ChildResult& result) {
                if (!result.started)
                    qWarning() << "----script could not be started" << key << program << result.error;
                else
                    qInfo() << "----exitCode" << result.exitCode << ":status:"
                            << result.exitStatusName();
                if (result.timedOut)
                    qWarning() << "----script time limit reached, killed:" << key;
                // Remembered before the result can end the document.
                m_executor->commandFinished(slot.document(), cmd, result.succeeded());
                slot.record(scriptResultText(result), scriptSummaryText(result));
            });
}

void SystemPolicyManager::startInstall(const ResultSlot& slot, const QString& cmd,
                                       const QString& id)
{
    m_installs->run(id, cmd, [this, slot, cmd](const ChildResult& result) {
        qInfo() << "----exitCode" << result.exitCode << ":status:" << result.exitStatusName();
        m_executor->commandFinished(slot.document(), cmd, result.succeeded());
        slot.record(scriptResultText(result));
    });
}

QString SystemPolicyManager::scriptResultText(const ChildResult& result)
{
    if (!result.started)
        return QStringLiteral("script could not be started: ") + result.error;
    QString text = result.outputText();
    // A failing script that printed nothing explains itself on its error output.
    if (text.isEmpty() && !result.succeeded())
        text = QString::fromUtf8(result.errorOutput);
    if (result.timedOut)
        text += QStringLiteral("\nkilled: no end within %1 s").arg(kScriptTimeLimitMs / 1000);
    return text;
}

QString SystemPolicyManager::scriptSummaryText(const ChildResult& result)
{
    if (!result.started)
        return QStringLiteral("failed: could not be started");
    if (result.timedOut)
        return QStringLiteral("failed: no end within %1 s").arg(kScriptTimeLimitMs / 1000);
    if (result.crashed)
        return QStringLiteral("failed: ended by a signal");
    if (result.exitCode != 0)
        return QStringLiteral("failed: exit %1").arg(result.exitCode);
    return QStringLiteral("success");
}

void SystemPolicyManager::notifyLoginLimitChanged(int type)
{
    if (type != 0)
        return;
    NotifyMessageType message;
    message.summary = QStringLiteral("提醒");
    message.body = QStringLiteral("您的帐号已被管理员停用或删除，1分钟后强制注销");
    message.timeout = -1;
    message.operation = 3;
    message.operationDelay = 60000;
    const QList<uint> uids = VornSystemInterface::Instance()->GetLocalUIDList();
    for (uint uid : uids) {
        message.uid = static_cast<int>(uid);
        vorng()->SendSystemNotify(message.toString());
    }
}

void SystemPolicyManager::restoreAndLeave()
{
    // A machine that leaves its domain keeps no USB device waiting.
    endUsbControl(QStringLiteral("the computer left its domain"));
    VornSystemInterface* system = VornSystemInterface::Instance();
    system->SetStorageGlobalPermPolicy(2, 2);
    system->SetStorageGlobalPermPolicy(1, 2);
    QSettings backup(vorn::kBackupConfigPath, QSettings::IniFormat);
    backup.beginGroup(QStringLiteral("config"));
    system->SetNTPServer(backup.value(QStringLiteral("NTPServer")).toString());
    backup.endGroup();
    system->SetAppCtrlBlacklist(QString());
    system->SetWirelessEnable(true);
    system->SetBluetoothEnable(true);
    // Refused local logins would outlive the domain and lock local users out
    // for good; as at package removal, they are allowed again. SSH stays as
    // the policy left it.
    const int loginStatus = system->SetLocalUserLogoinLimit(true);
    if (loginStatus != 0)
        qWarning() << "local logins not allowed again:"
                   << ErrorsDescription::toErrorDescription(loginStatus);

    // Stopping the unit ends this process; the event loop must stay free
    // meanwhile, so both commands run without blocking it, one after the other.
    connect(startSystemctl(this, QStringLiteral("disable")), &ChildProcess::finished, this, [this] {
        qDebug() << "qarg remove domain end";
        startSystemctl(this, QStringLiteral("stop"));
    });
}

void SystemPolicyManager::onSaveSoftwareList(const QJsonArray& array)
{
    SoftwareList::save(vorn::kQARGSoftwareListPath, array);
}
