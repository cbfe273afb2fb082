#pragma once

#include "common/base/codes.h"

#include "usbconnectioninfo.h"
#include "usbdeviceevent.h"
#include "usbdeviceinfo.h"

#include <QList>
#include <QObject>
#include <QScopedPointer>
#include <QString>

struct udev;
struct udev_device;
struct udev_monitor;

namespace vorn {
namespace base {
struct ChildOptions;
}
} // namespace vorn

class UsbManagerPrivate;

// Watches USB devices while whitelist control is on: gathers the facts of each
// new storage or mobile device from kernel events, asks the server whether it
// is whitelisted, detaches it through the USB driver's sysfs files when it is
// not, and reports connections. Lives in a thread of its own; run() waits for
// the kernel's events in an event loop of that thread, which also runs the
// calls queued to the monitor.
class UsbManager : public QObject
{
    Q_OBJECT
public:
    // Results of changeDevConnStatus.
    enum ConnStatusResult {
        ConnStatusDone = vorn::code::kUsbConnOk,
        ConnStatusOpenFailed = vorn::code::kUsbConnOpenFailed,
        ConnStatusQueueFailed = vorn::code::kUsbConnQueueFailed,
        ConnStatusWriteFailed = vorn::code::kUsbConnWriteFailed,
        ConnStatusNoDevice = vorn::code::kUsbConnNoDevice,
    };

    // Kinds of whitelist check.
    enum CheckType { CheckStartup = 0, CheckStorage = 1, CheckMobile = 2 };

    explicit UsbManager(QObject* parent = nullptr);
    ~UsbManager() override;

    // Ends the loop of run() once the event being processed is done. Any thread.
    void quit();
    // Whether events are acted on (true) or received and dropped. Any thread.
    void setCtrlStatus(const bool& status);
    bool ctrlStatus() const;

    // Holds new storage and mobile devices until the server's answer, where
    // the kernel can (see UsbHold); false when it cannot, and devices are
    // detached after the check as before.
    bool startHolding();
    // Control is off and held devices were released: detach nothing more.
    void stopHolding();
    bool holding() const;

    void getLocalConfig();
    void init();
    void preManage();
    bool isActivatorInVerifingModel() const;

    // Applies one device event to the device being gathered.
    void processDevice(const UsbDeviceEvent& event);

    QList<UsbDeviceInfo> getCurrentUsbDevList() const;
    bool isbMtpDevice(const QString& busNum, const QString& devNum) const;
    QString getDevLabel(const QString& devNode) const;
    QString getDevSize(const QString& devNode) const;
    QString getDevFsType(const QString& devNode) const;

    // Start the check of the device being gathered; while an event is processed.
    void manageDiskStorage();
    void manageMobileStorage();
    // Starts the whitelist check of dev; the outcome goes to execDevWhiteListCallback.
    // Called while an event is processed or by the start-up scan, with the
    // lock held: facts too incomplete to ask about are decided at once.
    virtual void execDevWhiteList(UsbDeviceInfo dev, int type);
    // Applies a whitelist outcome. Safe to call from the main thread while the loop runs.
    void execDevWhiteListCallback(const QString& body, int code, UsbConnectionInfo conn,
                                  int type);

    // Attaches (bind) or detaches the USB device named by the last part of sysPath.
    int changeDevConnStatus(bool bind, const QString& sysPath);
    bool changeDevConnStatusById(bool isAdd, const QString& vendorId, const QString& productId,
                                 const QString& serial);

    void addToConnectedDevList(const UsbConnectionInfo& info);
    // First entry with that sysPath, or null. Only while m_mutex is held.
    UsbConnectionInfo* getConnInfoFromDevListBySysPath(const QString& sysPath);

    // Snapshots of the state, each taken under the lock.
    UsbDeviceInfo currentDevice() const;
    int allowed() const;
    QList<UsbConnectionInfo> connectedDevices() const;

    static QString statusMessage(int status);
    static QString decisionReason(int status);

public slots:
    void run();
    void exeChangeDevConnStatusByIdTask(int taskId, int jobId, bool isAdd,
                                        const QString& vendorId, const QString& productId,
                                        const QString& serial);

signals:
    void requestShowUsbCtrlAuthorSysNotify(bool isAdd, const QString& devName);
    void requestShowNormalSysNotify(const QString& msg);
    void requestRemoveDevice(const QString& idSerial);
    void notifyReportUsbConnInfo(const QString& usbName, const QString& vendorID,
                                 const QString& productID, const QString& serial,
                                 const QString& status);
    void changeDevConnStatusByIdTaskExeFinished(int taskId, int jobId, bool sus);
    // What was decided on a device, and why, for administrators.
    void deviceDecided(const QString& name, const QString& vendorId, const QString& productId,
                       const QString& serial, const QString& decision, const QString& reason);

private:
    Q_DISABLE_COPY(UsbManager)
    Q_DECLARE_PRIVATE(UsbManager)

    void monitorDevices(udev* udevContext);
    // Takes one event off the monitor's socket, once it is readable.
    void receiveDevice(udev_monitor* monitor);
    // Ends the event loop when a stop was asked; a wake-up that comes after
    // a restart finds the monitor running and does nothing.
    void endLoopIfStopped();
    void processDevice(udev_device* device);
    bool keepRunning() const;
    // A stop was asked: no tool starts any more and a running one is ended.
    bool stopAsked() const;
    // How the tools run: a stop ends a running one quickly.
    vorn::base::ChildOptions toolOptions() const;
    void resetCurrentDevice(const QString& sysPath);
    // Parts of processDevice and of the whitelist outcome, with m_mutex held.
    // Counts the plug of a new USB device at its port, forgets an unplugged
    // one; true for a new plug.
    bool notePlug(const UsbDeviceEvent& event);
    // The device asked about is still the one at its port.
    bool isPresentPlug(const UsbConnectionInfo& conn) const;
    void applyWhiteListOutcome(const QString& body, int code, const UsbConnectionInfo& conn,
                               int type);
    void appendConnection(const UsbConnectionInfo& info);
    // A block device of a device no check was started for (a vendor-class
    // interface that a storage driver took): check it now; false when it is
    // held until the answer.
    bool checkUnexpectedStorage(const UsbDeviceEvent& event);
    // Reports the unplug of a connected device; true when the device being
    // gathered itself went.
    bool handleRemove(const UsbDeviceEvent& event);
    // Starts the whitelist checks its class calls for; false when the device
    // is blocked and was detached again.
    bool manageWatchedDevice();
    // Reports a new volume of the device once.
    void reportBlockDevice(const UsbDeviceEvent& event);
    // A root hub that appears while devices are held holds its devices too.
    void holdNewBus(const UsbDeviceEvent& event);
    // Holds or releases a device through interface authorization.
    int changeHold(bool release, const QString& sysPath);
    QString heldDecision() const;
    enum ReleaseResult { NoneHeld, Released, ReleaseFailed };
    // Releases the held devices that match the grant, in the form the server
    // was asked about them, or by their own attributes when it never was.
    ReleaseResult releaseUnlisted(const QString& vendorId, const QString& productId,
                                  const QString& serial);

    QScopedPointer<UsbManagerPrivate> d_ptr;
};
