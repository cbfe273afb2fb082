#include "system_policy_executor.h"

#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/external/errorsdescription.h"
#include "lumo/policy/policy_queue.h"
#include "system_config.h"
#include "switch_value.h"
#include "system_policy_executor_p.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>

namespace {

const PolicyExecutor::CycleTexts kCycleTexts{
    "consumer.....",
    "-----policy stopped before all results were in, kept:",
    {"-----m_policyExecCounter: ", ":m_policyTotal: ", "---elapsed:"}};

const QString kNtpKey = QStringLiteral("ntp/ntpServer");
const QString kSshKey = QStringLiteral("ssh_login/ssh_login_status");
const QString kBluetoothKey = QStringLiteral("blue_tooth/system_bluetooth");
const QString kLoginLimitKey = QStringLiteral("login_limit/local_login_limit");
const QString kBlacklistKey = QStringLiteral("pre_blacklist_app/pre_blacklist_app_list");
const QString kWirelessKey = QStringLiteral("wireless_adapter/wireless_adapter_status");
const QString kDiskKey = QStringLiteral("disk_manage/disk_rw");
const QString kUsbKey = QStringLiteral("usb/usb_store_device");

// What refusing or allowing local logins did: the SSH pass that follows a
// refusal is part of it, so a session left running makes it a failure.
QString loginLimitText(int code, const QString& failedSession)
{
    if (!failedSession.isEmpty())
        return QStringLiteral("failed: local logins refused, but SSH session %1 could not be ended")
            .arg(failedSession);
    if (code == vorn::code::kLocalSessionsEnded)
        return QStringLiteral("success: local logins refused, local SSH sessions ended");
    return ErrorsDescription::toErrorDescription(code);
}

} // namespace

SystemPolicyExecutor::SystemPolicyExecutor(PolicyQueue* queue)
    : PolicyExecutor(queue)
    , d(new SystemPolicyExecutorPrivate(this))
{
    m_execTimeout = 30;
    initFunction();
}

SystemPolicyExecutor::~SystemPolicyExecutor()
{
    if (isRunning())
        stop();
}

void SystemPolicyExecutor::initFunction()
{
    addHandler(kBluetoothKey, &SystemPolicyExecutor::setBluetooth);
    addHandler(kDiskKey, &SystemPolicyExecutor::setCDDeviceConfig);
    addHandler(QStringLiteral("firewall/firewall_data"), &SystemPolicyExecutor::execFireWall);
    addHandler(QStringLiteral("launch_backgroud/launch_backgroud_name"),
               &SystemPolicyExecutor::execLaunchBackground);
    addHandler(kLoginLimitKey, &SystemPolicyExecutor::setLoginLimit);
    addHandler(kNtpKey, &SystemPolicyExecutor::setNTPConfig);
    addHandler(kBlacklistKey, &SystemPolicyExecutor::setAppBlacklist);
    addHandler(QStringLiteral("pre_install_app/pre_install_app_list"),
               &SystemPolicyExecutor::execAppInstall);
    addHandler(QStringLiteral("script/script_name"), &SystemPolicyExecutor::execScriptInstall);
    addHandler(kSshKey, &SystemPolicyExecutor::setSSHLogin);
    addHandler(kUsbKey, &SystemPolicyExecutor::setUSBDeviceCofnig);
    addHandler(kWirelessKey, &SystemPolicyExecutor::setWireless);
}

const PolicyExecutor::CycleTexts& SystemPolicyExecutor::cycleTexts() const
{
    return kCycleTexts;
}

void SystemPolicyExecutor::logStep(Step step, const PolicyInfo& info, int value,
                                   const QString&) const
{
    switch (step) {
    case Step::Record:
        qInfo() << "consumer-----msgPack" << info.policyPath << info.jobId << info.taskId;
        break;
    case Step::DocumentStart:
        qInfo() << "-----------systempolicy --------";
        break;
    case Step::NoDocument:
        qWarning() << "policy cache missing or empty, nothing applied:" << info.cachePath;
        break;
    case Step::HandlersCalled:
        qInfo() << "-----m_policyExecCounter: " << m_policyExecCounter.load() << ":m_policyTotal:"
                << m_policyTotal.load();
        break;
    case Step::WaitEnded:
        qInfo() << "-----info.taskID: " << info.taskId;
        break;
    case Step::Reported:
        break;
    case Step::CacheRemoved:
        qInfo() << "-----policy ret " << (value != 0);
        break;
    }
}

void SystemPolicyExecutorPrivate::addTempFile(const QString& path)
{
    q->addTempFile(path);
}

void SystemPolicyExecutor::setNTPConfig(const QString& value, const ResultSlot& slot)
{
    slot.record(SystemConfig::GetInstance()->setNTPServer(value));
}

void SystemPolicyExecutor::setSSHLogin(const QString& value, const ResultSlot& slot)
{
    const std::optional<int> state = switchValue(slot, value);
    if (!state)
        return;
    slot.record(applySSHLogin(*state));
}

void SystemPolicyExecutor::setBluetooth(const QString& value, const ResultSlot& slot)
{
    const std::optional<int> state = switchValue(slot, value);
    if (!state)
        return;
    slot.record(SystemConfig::GetInstance()->setBluetooth(*state));
}

void SystemPolicyExecutor::setWireless(const QString& value, const ResultSlot& slot)
{
    qInfo() << "WIRELESS_ADAPTER----value:" << value;
    if (value.isEmpty()) {
        slot.record(QStringLiteral("value is empty"));
        return;
    }
    const std::optional<int> state = switchValue(slot, value);
    if (!state)
        return;
    slot.record(SystemConfig::GetInstance()->setWireless(*state));
}

void SystemPolicyExecutor::setCDDeviceConfig(const QString& value, const ResultSlot& slot)
{
    qInfo() << "DISK_CONFIG----value:" << value;
    const std::optional<int> permission = switchValue(slot, value);
    if (!permission)
        return;
    slot.record(SystemConfig::GetInstance()->setDeviceConfig(2, *permission));
}

void SystemPolicyExecutor::setUSBDeviceCofnig(const QString& value, const ResultSlot& slot)
{
    qInfo() << "USB_CONFIG----value:" << value;
    const std::optional<int> permission = switchValue(slot, value);
    if (!permission)
        return;
    QString text;
    if (value == QLatin1String("0")) {
        // Whitelist control: storage as such is allowed, the whitelist decides per device.
        emit usbPolicyChanged(true);
        text = SystemConfig::GetInstance()->setDeviceConfig(1, 2);
    } else {
        emit usbPolicyChanged(false);
        text = SystemConfig::GetInstance()->setDeviceConfig(1, *permission);
    }
    slot.record(text);
}

void SystemPolicyExecutor::setAppBlacklist(const QString& value, const ResultSlot& slot)
{
    if (value.isEmpty()) {
        slot.record(QStringLiteral("value is empty"));
        return;
    }
    qInfo() << "APP_BLACKLIST----value:" << value;
    slot.record(SystemConfig::GetInstance()->setAppBlacklist(value));
}

void SystemPolicyExecutor::setLoginLimit(const QString& value, const ResultSlot& slot)
{
    const std::optional<int> parsed = switchValue(slot, value);
    if (!parsed)
        return;
    const int limit = *parsed;
    int pcEnabled = 1;
    QJsonParseError error;
    const QJsonDocument doc =
        QJsonDocument::fromJson(vorn::base::FileContent::readAll(vorn::kUserinfoPath), &error);
    if (error.error != QJsonParseError::NoError) {
        qInfo() << "--------json error";
    } else if (doc.object().contains(QStringLiteral("pc_enabled"))) {
        pcEnabled = doc.object().value(QStringLiteral("pc_enabled")).toInt(0);
        qInfo() << "--------pc_enabled" << pcEnabled;
    }
    qInfo() << "setLoginLimit" << pcEnabled << limit;
    if (pcEnabled != 1) {
        slot.record(QStringLiteral("pc disabled"));
        return;
    }

    QString failedSession;
    const int code = SystemConfig::GetInstance()->setLoginLimit(limit != 0, &failedSession);
    qInfo() << "---LOGIN_LIMIT :" << limit << code;
    if (code == 0 || code == SystemConfig::kLocalSessionsEnded)
        emit loginLimitChanged(limit);
    slot.record(loginLimitText(code, failedSession));
}
