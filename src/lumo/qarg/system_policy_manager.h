#pragma once

#include "lumo/policy/policy_manager.h"
#include "lumo/policy/result_slot.h"

#include <QJsonArray>
#include <QObject>
#include <QString>

class SystemPolicyExecutor;
class UsbManager;
class QThread;
class InstallRunner;

namespace vorn {
namespace base {
struct ChildResult;
}
} // namespace vorn

// Top-level object of qarg: builds and wires the policy pipeline, the
// executor, the receipt thread and the USB monitor, and reacts to the core
// client service's pushes and to domain removal.
class SystemPolicyManager : public PolicyManager
{
    Q_OBJECT
public:
    explicit SystemPolicyManager(QObject* parent = nullptr);
    ~SystemPolicyManager() override;

    // What a script's run records as the result of its setting.
    static QString scriptResultText(const vorn::base::ChildResult& result);
    // How it ended, for every local user to see: "success", "failed: exit 2", ...
    static QString scriptSummaryText(const vorn::base::ChildResult& result);

signals:
    void notifyExeChangeDevConnStatusByIdTask(int taskId, int jobId, bool isAdd,
                                              const QString& vendorId, const QString& productId,
                                              const QString& serial);

public slots:
    void onServerMsgCame(const QString& appId, int type, const QString& payload) override;
    // Runs cmd for the setting of `slot`; its output becomes the slot's result.
    void startScript(const ResultSlot& slot, const QString& cmd);
    void notifyLoginLimitChanged(int type);
    void onUsbPolicyChanged(bool bflag);
    void onSaveSoftwareList(const QJsonArray& array);

private slots:
    void uploadUsbDeviceInfo(const QString& usbName, const QString& vendorID,
                             const QString& productID, const QString& serial,
                             const QString& status);
    void notifyNormalUsbInfo(const QString& content);
    void onChangeDevConnStatusByIdTaskExeFinished(int taskId, int jobId, bool sus);
    void removeDevice(const QString& idSerial);
    void notifyUsbCtrlAuthorChanged(bool isAdd, const QString& devName);

private:
    Q_DISABLE_COPY(SystemPolicyManager)

    void initPolicy();
    void restoreAndLeave() override;
    void initCacheConfig(QString& policyPath, QString& cachePath);
    void initUsbManager();
    void stopUsbManager();
    // Asks the USB thread to stop; waitUsbStopped() waits a bounded time for it.
    void askUsbStop();
    bool waitUsbStopped();
    void onUsbThreadFinished();
    // Ends whitelist control for good (domain removal): the monitor stops
    // and every held device is released.
    void endUsbControl(const QString& why);
    // New devices are authorized again and held ones released.
    void releaseUsbHold(const QString& why);
    // Runs or awaits a software installation; its output becomes the result.
    void startInstall(const ResultSlot& slot, const QString& cmd, const QString& id);

    SystemPolicyExecutor* m_executor = nullptr; // owned by the base
    UsbManager* m_usbManager = nullptr;
    QThread* m_usbThread = nullptr;
    InstallRunner* m_installs = nullptr;
};
