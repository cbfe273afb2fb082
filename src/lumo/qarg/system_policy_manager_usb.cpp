// The manager's side of USB control: the monitor's thread, and what the
// monitor reports turned into uploads, notifications and task replies.
#include "system_policy_manager.h"

#include "lumo/policy/server_endpoint.h"

#include "common/base/accountinfo.h"
#include "common/base/baseutils.h"
#include "common/base/codes.h"
#include "common/base/constants.h"
#include "common/dbus/vorng.h"
#include "lumo/policy/policy_pipeline.h"
#include "lumo/policy/status_board.h"
#include "notify_message.h"
#include "usbmanager/usbdeviceuploadinfo.h"
#include "usbmanager/usbhold.h"
#include "usbmanager/usbmanager.h"

#include <QDateTime>
#include <QThread>
#include <QVariant>
#include <QtDebug>

namespace {
constexpr int kNotifyTimeoutMs = 5000;
constexpr unsigned long kUsbStopWaitMs = 1000;
} // namespace

using vorn::code::kTaskDone;
using vorn::code::kTaskFailed;
using vorn::code::kUsbUploadType;

void SystemPolicyManager::initUsbManager()
{
    m_usbThread = new QThread;
    m_usbManager = new UsbManager;
    m_usbManager->moveToThread(m_usbThread);

    connect(m_usbThread, &QThread::started, m_usbManager, &UsbManager::run);
    connect(m_usbThread, &QThread::finished, this, &SystemPolicyManager::onUsbThreadFinished,
            Qt::QueuedConnection);
    connect(m_usbManager, &UsbManager::requestShowUsbCtrlAuthorSysNotify, this,
            &SystemPolicyManager::notifyUsbCtrlAuthorChanged);
    connect(m_usbManager, &UsbManager::requestShowNormalSysNotify, this,
            &SystemPolicyManager::notifyNormalUsbInfo);
    connect(m_usbManager, &UsbManager::requestRemoveDevice, this,
            &SystemPolicyManager::removeDevice);
    connect(m_usbManager, &UsbManager::notifyReportUsbConnInfo, this,
            &SystemPolicyManager::uploadUsbDeviceInfo);
    connect(m_usbManager, &UsbManager::deviceDecided, statusBoard(),
            &StatusBoard::usbDevice);
    connect(this, &SystemPolicyManager::notifyExeChangeDevConnStatusByIdTask, m_usbManager,
            &UsbManager::exeChangeDevConnStatusByIdTask);
    connect(m_usbManager, &UsbManager::changeDevConnStatusByIdTaskExeFinished, this,
            &SystemPolicyManager::onChangeDevConnStatusByIdTaskExeFinished);
}

void SystemPolicyManager::askUsbStop()
{
    if (m_usbManager)
        m_usbManager->quit();
    if (m_usbThread) {
        // Also ends a loop that has not begun yet.
        m_usbThread->requestInterruption();
        m_usbThread->quit();
    }
}

bool SystemPolicyManager::waitUsbStopped()
{
    // The monitor ends its tools when asked to stop, so a second is plenty;
    // the main thread never waits longer than that.
    if (!m_usbThread || m_usbThread->wait(kUsbStopWaitMs))
        return true;
    qWarning() << "USB monitor still ending after" << kUsbStopWaitMs << "ms; not waited for";
    return false;
}

void SystemPolicyManager::stopUsbManager()
{
    askUsbStop();
    if (!waitUsbStopped()) {
        // Deleting a running thread aborts the process: at exit they are left
        // to the end of the process instead.
        m_usbManager = nullptr;
        m_usbThread = nullptr;
        return;
    }
    // The thread has ended and no event loop runs any more, so a deferred
    // deletion would never happen: nothing else touches them, delete now.
    delete m_usbManager;
    m_usbManager = nullptr;
    delete m_usbThread;
    m_usbThread = nullptr;
}

void SystemPolicyManager::onUsbThreadFinished()
{
    // Control came back on while the loop was still ending: start it again.
    if (!m_usbManager || !m_usbThread || !m_usbManager->ctrlStatus())
        return;
    if (m_usbThread->wait(kUsbStopWaitMs) && !m_usbThread->isRunning()) {
        qInfo() << "USB whitelist control is on again, monitor restarted";
        m_usbThread->start(QThread::InheritPriority);
    }
}

void SystemPolicyManager::onUsbPolicyChanged(bool bflag)
{
    qInfo() << "-onUsbPolicyChanged--------" << (bflag ? "true" : "false");
    if (!m_usbManager || !m_usbThread)
        return;
    m_usbManager->setCtrlStatus(bflag);
    statusBoard()->setUsbControl(bflag);
    if (bflag && !m_usbThread->isRunning()) {
        m_usbThread->start(QThread::InheritPriority);
    } else if (!bflag) {
        if (m_usbThread->isRunning()) {
            askUsbStop();
            waitUsbStopped();
        }
        // Also after a restart: a daemon that ended while control was on
        // left new devices held.
        releaseUsbHold(QStringLiteral("USB whitelist control off"));
    }
}

void SystemPolicyManager::endUsbControl(const QString& why)
{
    if (m_usbManager)
        m_usbManager->setCtrlStatus(false);
    if (m_usbThread && m_usbThread->isRunning()) {
        askUsbStop();
        waitUsbStopped();
    }
    statusBoard()->setUsbControl(false);
    releaseUsbHold(why);
}

void SystemPolicyManager::releaseUsbHold(const QString& why)
{
    // A few small sysfs writes; the monitor has stopped, so nothing holds
    // a device again meanwhile.
    const int hubs = UsbHold::holdingRootHubs();
    const bool wasHolding = m_usbManager && m_usbManager->holding();
    if (m_usbManager)
        m_usbManager->stopHolding();
    if (hubs == 0 && !wasHolding) {
        UsbHold::keepMark(false);
        return;
    }
    UsbHold::setDefaults(true);
    const int released = UsbHold::releaseAll();
    // Last: the udev rule authorizes new keyboards only while it is there.
    UsbHold::keepMark(false);
    qInfo() << "USB devices are no longer held:" << why << "; root hubs:" << hubs
            << "devices released:" << released;
    statusBoard()->usbHoldEnded(why);
}

void SystemPolicyManager::uploadUsbDeviceInfo(const QString& usbName, const QString& vendorID,
                                              const QString& productID, const QString& serial,
                                              const QString& status)
{
    const uint uid = vorn::base::BaseUtils::getCurActiveUid();
    const vorn::base::AccountInfo account(uid);
    qInfo() << "upload usb log:" << uid << account.name();
    if (!vorn::base::AccountInfo::isLdap(uid))
        return;

    UsbDeviceUploadInfo info;
    info.type = kUsbUploadType;
    info.userName = vorn::base::AccountInfo::realName(account.name());
    info.aliasName = usbName;
    info.vendorId = vendorID;
    info.productId = productID;
    info.serialNumber = serial;
    info.action = status;
    info.operatedAt = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    const QVariant machineId = vorng()->property("MachineID");
    if (machineId.type() == QVariant::String)
        info.machineId = machineId.toString();
    else
        info.machineId = ServerEndpoint::instance()->current().machineId;

    const QString url = ServerEndpoint::instance()->url(vorn::kUploadInfoLogUrl);
    qDebug() << "upload type:" << kUsbUploadType;
    vorng()->UploadInfo(url, QString::fromUtf8(info.toJsonByteArray()));
}

void SystemPolicyManager::removeDevice(const QString& idSerial)
{
    vorng()->RemoveDevice(idSerial);
}

void SystemPolicyManager::notifyNormalUsbInfo(const QString& content)
{
    NotifyMessageType msg;
    msg.body = content;
    msg.timeout = kNotifyTimeoutMs;
    vorng()->SendSystemNotify(msg.toString());
}

void SystemPolicyManager::notifyUsbCtrlAuthorChanged(bool isAdd, const QString& devName)
{
    NotifyMessageType msg;
    msg.timeout = kNotifyTimeoutMs;
    if (isAdd) {
        msg.body = QStringLiteral("管理员已允许[") + devName
            + QStringLiteral("]在该终端上的授权，如设备已经插入需要重新拔插才能使用");
    } else {
        msg.body = QStringLiteral("该USB设备已被管理员限制在该终端上使用");
        msg.actions = QStringList{QStringLiteral("_open1"), QStringLiteral("确定")};
    }
    vorng()->SendSystemNotify(msg.toString());
}

void SystemPolicyManager::onChangeDevConnStatusByIdTaskExeFinished(int taskId, int jobId,
                                                                   bool sus)
{
    qInfo() << Q_FUNC_INFO << (sus ? "true" : "false");
    if (sus)
        vorng()->ReplyTaskResult(jobId, taskId, kTaskDone, QString(), QStringLiteral("changed"));
    else
        vorng()->ReplyTaskResult(jobId, taskId, kTaskFailed, QString(),
                                 QStringLiteral("change faild"));
}
