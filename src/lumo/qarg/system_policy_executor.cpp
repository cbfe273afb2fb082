#include "system_policy_executor.h"

#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/external/errorsdescription.h"
#include "lumo/policy/policy_queue.h"
#include "system_config.h"
#include "system_policy_executor_p.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>

namespace {

const ExecutorSupport::WaitTexts kWaitTexts{"-----m_policyExecCounter: ", ":m_policyTotal: ",
                                            "---elapsed:"};

const QString kNtpKey = QStringLiteral("ntp/ntpServer");
const QString kSshKey = QStringLiteral("ssh_login/ssh_login_status");
const QString kBluetoothKey = QStringLiteral("blue_tooth/system_bluetooth");
const QString kLoginLimitKey = QStringLiteral("login_limit/local_login_limit");
const QString kBlacklistKey = QStringLiteral("pre_blacklist_app/pre_blacklist_app_list");
const QString kWirelessKey = QStringLiteral("wireless_adapter/wireless_adapter_status");
const QString kDiskKey = QStringLiteral("disk_manage/disk_rw");
const QString kUsbKey = QStringLiteral("usb/usb_store_device");

void removeFiles(const QStringList& files)
{
    for (const QString& path : files) {
        if (QFile::exists(path) && !QFile::remove(path))
            qWarning() << "cannot delete temporary file" << path;
    }
}

} // namespace

SystemPolicyExecutor::SystemPolicyExecutor(PolicyQueue* queue)
    : QThread(nullptr)
    , d(new SystemPolicyExecutorPrivate(queue, this))
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
    m_functions.insert(kBluetoothKey, &SystemPolicyExecutor::setBluetooth);
    m_functions.insert(kDiskKey, &SystemPolicyExecutor::setCDDeviceConfig);
    m_functions.insert(QStringLiteral("firewall/firewall_data"),
                       &SystemPolicyExecutor::execFireWall);
    m_functions.insert(QStringLiteral("launch_backgroud/launch_backgroud_name"),
                       &SystemPolicyExecutor::execLaunchBackground);
    m_functions.insert(kLoginLimitKey, &SystemPolicyExecutor::setLoginLimit);
    m_functions.insert(kNtpKey, &SystemPolicyExecutor::setNTPConfig);
    m_functions.insert(kBlacklistKey, &SystemPolicyExecutor::setAppBlacklist);
    m_functions.insert(QStringLiteral("pre_install_app/pre_install_app_list"),
                       &SystemPolicyExecutor::execAppInstall);
    m_functions.insert(QStringLiteral("script/script_name"),
                       &SystemPolicyExecutor::execScriptInstall);
    m_functions.insert(kSshKey, &SystemPolicyExecutor::setSSHLogin);
    m_functions.insert(kUsbKey, &SystemPolicyExecutor::setUSBDeviceCofnig);
    m_functions.insert(kWirelessKey, &SystemPolicyExecutor::setWireless);
}

void SystemPolicyExecutor::run()
{
    while (!isInterruptionRequested()) {
        msleep(20);
        if (!d->queue) {
            qInfo() << "Message queue is not initialized!";
            return;
        }
        qInfo() << "consumer.....";
        PolicyInfo info;
        // false: woken by stop() instead of a record.
        if (!d->queue->popPolicy(info) || isInterruptionRequested())
            return;
        qInfo() << "consumer-----msgPack" << info.policyPath << info.jobId << info.taskId;
        execPolicy(info);
    }
}

bool SystemPolicyExecutor::execPolicy(const PolicyInfo& info)
{
    qInfo() << "-----------systempolicy --------";
    d->takeTempFiles(); // left from an earlier run: forgotten, not deleted
    beginDocument();    // counter and total 0, fresh result array

    // A missing or empty cache file applies nothing: the settings of the
    // previous document are not applied again.
    QMap<QString, QString> table;
    QByteArray data;
    if (!readCache(info.cachePath, data) || data.isEmpty())
        qWarning() << "policy cache missing or empty, nothing applied:" << info.cachePath;
    else if (parsePolicy(data))
        table = getPolicy();

    // Settings without a handler record nothing, so they are not waited for.
    int total = 0;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        if (m_functions.contains(it.key()))
            ++total;
    }
    m_policyTotal = total; // handlers may raise it further
    QElapsedTimer stopwatch;
    stopwatch.start();

    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        if (d->support.isStopping())
            break;
        qInfo() << it.key() << ": " << it.value();
        callFunction(it.key(), it.value());
    }
    qInfo() << "-----m_policyExecCounter: " << m_policyExecCounter.load() << ":m_policyTotal:"
            << m_policyTotal.load();

    const ExecutorSupport::WaitEnd end = d->support.waitForResults(
        m_policyExecCounter, m_policyTotal, stopwatch, qint64(m_execTimeout) * 60 * 1000, kWaitTexts);
    if (end == ExecutorSupport::WaitEnd::Stopped) {
        // The cache file stays, so the document is applied and answered after the next start.
        qInfo() << "-----policy stopped before all results were in, kept:" << info.cachePath;
        m_policyExecCounter = 0;
        m_policyTotal = 0;
        removeFiles(d->takeTempFiles());
        return true;
    }

    qInfo() << "-----info.taskID: " << info.taskId;
    if (info.taskId > 0 && info.jobId > 0)
        emit execPolicyFinished(info.taskId, info.jobId, true, getExecResult());

    m_policyExecCounter = 0;
    m_policyTotal = 0;
    removeFiles(d->takeTempFiles());
    const bool removed = QFile::remove(info.cachePath);
    qInfo() << "-----policy ret " << removed;
    return true;
}

void SystemPolicyExecutor::callFunction(QString key, QString value)
{
    const auto it = m_functions.constFind(key);
    if (it == m_functions.constEnd()) {
        qInfo() << "nof function" << key;
        return;
    }
    (this->*it.value())(value);
}

void SystemPolicyExecutor::stop()
{
    d->support.stop(this, d->queue);
}

void SystemPolicyExecutor::onExecScriptFinished(const QString& key, const QString& result)
{
    appendExecResult(key, result);
}

void SystemPolicyExecutor::setNTPConfig(const QString& value)
{
    appendExecResult(kNtpKey, SystemConfig::GetInstance()->setNTPServer(value));
}

void SystemPolicyExecutor::setSSHLogin(const QString& value)
{
    appendExecResult(kSshKey, SystemConfig::GetInstance()->setSSHLogin(value.toInt()));
}

void SystemPolicyExecutor::setBluetooth(const QString& value)
{
    appendExecResult(kBluetoothKey, SystemConfig::GetInstance()->setBluetooth(value.toInt()));
}

void SystemPolicyExecutor::setWireless(const QString& value)
{
    qInfo() << "WIRELESS_ADAPTER----value:" << value;
    if (value.isEmpty()) {
        appendExecResult(kWirelessKey, QStringLiteral("value is empty"));
        return;
    }
    appendExecResult(kWirelessKey, SystemConfig::GetInstance()->setWireless(value.toInt()));
}

void SystemPolicyExecutor::setCDDeviceConfig(const QString& value)
{
    qInfo() << "DISK_CONFIG----value:" << value;
    appendExecResult(kDiskKey, SystemConfig::GetInstance()->setDeviceConfig(2, value.toInt()));
}

void SystemPolicyExecutor::setUSBDeviceCofnig(const QString& value)
{
    qInfo() << "USB_CONFIG----value:" << value;
    QString text;
    if (value == QLatin1String("0")) {
        // Whitelist control: storage as such is allowed, the whitelist decides per device.
        emit usbPolicyChanged(true);
        text = SystemConfig::GetInstance()->setDeviceConfig(1, 2);
    } else {
        emit usbPolicyChanged(false);
        text = SystemConfig::GetInstance()->setDeviceConfig(1, value.toInt());
    }
    appendExecResult(kUsbKey, text);
}

void SystemPolicyExecutor::setAppBlacklist(const QString& value)
{
    if (value.isEmpty()) {
        appendExecResult(kBlacklistKey, QStringLiteral("value is empty"));
        return;
    }
    qInfo() << "APP_BLACKLIST----value:" << value;
    appendExecResult(kBlacklistKey, SystemConfig::GetInstance()->setAppBlacklist(value));
}

void SystemPolicyExecutor::setLoginLimit(const QString& value)
{
    const int limit = value.toInt();
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
        appendExecResult(kLoginLimitKey, QStringLiteral("pc disabled"));
        return;
    }

    const int code = SystemConfig::GetInstance()->setLoginLimit(limit != 0);
    qInfo() << "---LOGIN_LIMIT :" << limit << code;
    if (code == 0 || code == SystemConfig::kLocalSessionsEnded)
        emit loginLimitChanged(limit);
    appendExecResult(kLoginLimitKey, ErrorsDescription::toErrorDescription(code));
}
