#include "usbmanager.h"

#include "lumo/policy/server_endpoint.h"

#include "usbmanager_p.h"

#include "usbhold.h"

#include "common/shared/childprocess.h"
#include "common/base/constants.h"
#include "common/base/filecontent.h"

#include <QEventLoop>
#include <QFile>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QThread>
#include <QtDebug>

#include <libudev.h>

#include <cerrno>

namespace {
// A tool still running when the monitor is stopped gets this long between
// SIGTERM and SIGKILL, so that the thread ends well inside a second.
constexpr int kToolStopGraceMs = 200;

const QString kAdd = QStringLiteral("add");
const QString kChange = QStringLiteral("change");
const QString kRemove = QStringLiteral("remove");
const QString kNoDevice = QStringLiteral("*");
const QString kUsbDevice = QStringLiteral("usb_device");
// Set by the package's udev rule on an interface a storage driver binds.
const char kStorageDriverProperty[] = "QARG_USB_STORAGE";

const char* const kWatchedAttrs[] = {"product", "serial",  "idVendor", "idProduct",
                                     "bInterfaceClass", "busnum", "devnum"};

QString fromUdev(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

// The only place that reads a libudev device.
UsbDeviceEvent eventFromUdev(udev_device* device)
{
    UsbDeviceEvent event;
    event.action = fromUdev(udev_device_get_action(device));
    event.sysPath = fromUdev(udev_device_get_syspath(device));
    event.devPath = fromUdev(udev_device_get_devpath(device));
    event.devType = fromUdev(udev_device_get_devtype(device));
    event.devNode = fromUdev(udev_device_get_devnode(device));
    for (const char* name : kWatchedAttrs) {
        const char* value = udev_device_get_sysattr_value(device, name);
        if (value)
            event.sysAttrs.insert(QString::fromLatin1(name), QString::fromUtf8(value));
    }
    const char* storage = udev_device_get_property_value(device, kStorageDriverProperty);
    event.storageDriver = storage && qstrcmp(storage, "1") == 0;
    return event;
}

// True when path is the device at base or one of its children (interfaces,
// block devices). A plain prefix test would also take "1-10" for part of "1-1".
bool isSameOrBelow(const QString& path, const QString& base)
{
    if (!path.startsWith(base))
        return false;
    return path.size() == base.size() || base.endsWith(QLatin1Char('/'))
        || path.at(base.size()) == QLatin1Char('/');
}

// Each attribute the event carries replaces the gathered one; missing ones
// leave it as it was.
void takeAttributes(const UsbDeviceEvent& event, UsbDeviceInfo& cur)
{
    const auto take = [&event](const char* attr, QString& field, bool trim) {
        QString value = event.sysAttr(QString::fromLatin1(attr));
        if (trim)
            value = value.trimmed();
        if (!value.isEmpty())
            field = value;
    };
    take("product", cur.name, true);
    take("serial", cur.serial, false);
    take("idVendor", cur.vendorId, false);
    take("idProduct", cur.productId, false);
    take("bInterfaceClass", cur.interfaceClass, false);
    take("busnum", cur.busNum, false);
    take("devnum", cur.devNum, false);
    if (!event.devPath.isEmpty())
        cur.devPath = event.devPath;
}

bool isWatchedClass(const QString& interfaceClass)
{
    return interfaceClass == QLatin1String("06") || interfaceClass == QLatin1String("ff")
        || interfaceClass == QLatin1String("08");
}
} // namespace

UsbManager::UsbManager(QObject* parent)
    : QObject(parent)
    , d_ptr(new UsbManagerPrivate)
{
    d_ptr->m_curDevice.sysPath = kNoDevice;
}

UsbManager::~UsbManager()
{
    quit();
}

void UsbManager::quit()
{
    d_func()->m_stopAsked.storeRelease(1);
    d_func()->m_running.storeRelease(0);
    // Wakes the loop where it waits; posted events die with the object.
    QMetaObject::invokeMethod(this, [this] { endLoopIfStopped(); }, Qt::QueuedConnection);
}

void UsbManager::endLoopIfStopped()
{
    Q_D(UsbManager);
    if (d->m_loop && !keepRunning())
        d->m_loop->quit();
}

void UsbManager::setCtrlStatus(const bool& status)
{
    d_func()->m_ctrlStatus.storeRelease(status ? 1 : 0);
}

bool UsbManager::ctrlStatus() const
{
    return d_func()->m_ctrlStatus.loadAcquire() != 0;
}

bool UsbManager::startHolding()
{
    Q_D(UsbManager);
    // The mark first: the udev rule authorizes keyboards and the rest only
    // while it is there.
    if (!UsbHold::rootHubs().isEmpty())
        UsbHold::keepMark(true);
    const int hubs = UsbHold::setDefaults(false);
    d->m_holding.storeRelease(hubs > 0 ? 1 : 0);
    if (hubs > 0) {
        d->m_heldOnce.storeRelease(1);
        qInfo() << "new USB storage and mobile devices are held until the server allows them;"
                << "root hubs:" << hubs;
    } else if (!d->m_holdUnavailableLogged) {
        d->m_holdUnavailableLogged = true;
        qWarning() << "USB devices cannot be held: the kernel offers no interface authorization;"
                   << "storage devices are detached after the whitelist check";
    }
    return hubs > 0;
}

void UsbManager::stopHolding()
{
    d_func()->m_holding.storeRelease(0);
}

bool UsbManager::holding() const
{
    return d_func()->m_holding.loadAcquire() != 0;
}

// The server is asked afresh for every check; this only reads the
// enrolment files now, so that their state is logged at start.
void UsbManager::getLocalConfig()
{
    ServerEndpoint::instance()->current();
}

void UsbManager::init()
{
    Q_D(UsbManager);
    d->m_running.storeRelease(1);
    {
        QMutexLocker lock(&d->m_mutex);
        d->m_allowed = 1;
        d->m_curDevice.sysPath = kNoDevice;
    }
    getLocalConfig();
    preManage();
    d->m_inited = true;
}

void UsbManager::preManage()
{
    Q_D(UsbManager);
    if (isActivatorInVerifingModel() || !ctrlStatus())
        return;
    const QList<UsbDeviceInfo> devices = getCurrentUsbDevList();
    for (UsbDeviceInfo device : devices) {
        if (!keepRunning())
            break;
        QMutexLocker lock(&d->m_mutex);
        // Each device found is a plug of its port, as if it had just come.
        const QString busId = UsbHold::busIdOf(device.devPath);
        if (!d->m_plugs.contains(busId))
            d->m_plugs.insert(busId, {++d->m_lastPlug, QString()});
        device.plug = d->m_plugs.value(busId).plug;
        execDevWhiteList(device, CheckStartup);
    }
}

bool UsbManager::isActivatorInVerifingModel() const
{
    return QFile::exists(vorn::kInstallerMarkerPath);
}

bool UsbManager::keepRunning() const
{
    // The interruption request covers a stop asked for before run() began.
    return d_func()->m_running.loadAcquire() != 0
        && !QThread::currentThread()->isInterruptionRequested();
}

bool UsbManager::stopAsked() const
{
    return d_func()->m_stopAsked.loadAcquire() != 0
        || QThread::currentThread()->isInterruptionRequested();
}

vorn::base::ChildOptions UsbManager::toolOptions() const
{
    vorn::base::ChildOptions options;
    options.stopRequested = [this] { return stopAsked(); };
    options.terminateGraceMs = kToolStopGraceMs;
    return options;
}

void UsbManager::run()
{
    Q_D(UsbManager);
    // Cleared before the interruption is looked at: the manager asks for a
    // stop with quit() and an interruption request together.
    d->m_stopAsked.storeRelease(0);
    if (QThread::currentThread()->isInterruptionRequested())
        return;
    d->m_running.storeRelease(1);
    // Before the start-up scan, so that nothing plugged meanwhile slips through.
    startHolding();
    if (!d->m_inited)
        init();

    d->m_udev = udev_new();
    if (!d->m_udev) {
        qDebug() << "Can't create udev.";
        return;
    }
    monitorDevices(d->m_udev);
    udev_unref(d->m_udev);
    d->m_udev = nullptr;
}

void UsbManager::monitorDevices(udev* udevContext)
{
    Q_D(UsbManager);
    udev_monitor* monitor = udev_monitor_new_from_netlink(udevContext, "udev");
    if (!monitor) {
        qWarning() << "cannot create the udev monitor";
        return;
    }
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", nullptr);
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", nullptr);
    udev_monitor_enable_receiving(monitor);
    const int fd = udev_monitor_get_fd(monitor);
    qInfo() << "usb monitor listening";

    // The thread sleeps until an event comes or a call is queued to it:
    // nothing wakes it while no device comes and goes. One event is taken per
    // wake-up, so queued calls run between two events, in their order.
    {
        QEventLoop loop;
        QSocketNotifier notifier(fd, QSocketNotifier::Read);
        connect(&notifier, &QSocketNotifier::activated, this,
                [this, monitor] { receiveDevice(monitor); });
        d->m_loop = &loop;
        // A stop asked meanwhile; a quit of the thread also ends loop.exec().
        if (keepRunning())
            loop.exec();
        d->m_loop = nullptr;
    }
    // Closes the descriptor; a restarted thread makes a new monitor.
    udev_monitor_unref(monitor);
}

void UsbManager::receiveDevice(udev_monitor* monitor)
{
    if (!keepRunning()) {
        endLoopIfStopped();
        return;
    }
    errno = 0;
    udev_device* device = udev_monitor_receive_device(monitor);
    if (!device) {
        // Nothing for us (filtered out, or a lost burst); only a descriptor
        // that is gone ends the monitoring, until the thread starts again.
        if (errno == EBADF || errno == ENOTSOCK) {
            qWarning() << "udev monitor wait failed, errno" << errno;
            if (d_func()->m_loop)
                d_func()->m_loop->quit();
        }
        return;
    }
    if (ctrlStatus())
        processDevice(device);
    udev_device_unref(device);
}

void UsbManager::processDevice(udev_device* device)
{
    processDevice(eventFromUdev(device));
}

void UsbManager::resetCurrentDevice(const QString& sysPath)
{
    Q_D(UsbManager);
    d->m_curDevice = UsbDeviceInfo();
    d->m_curDevice.sysPath = sysPath;
    if (sysPath != kNoDevice)
        d->m_curDevice.plug = d->m_plugs.value(UsbHold::busIdOf(sysPath)).plug;
    d->m_diskManaged = false;
    d->m_mobileManaged = false;
    d->m_allowed = 1;
    d->m_handledNodes.clear();
}

bool UsbManager::notePlug(const UsbDeviceEvent& event)
{
    Q_D(UsbManager);
    if (event.devType != kUsbDevice)
        return false;
    const QString busId = UsbHold::busIdOf(event.sysPath);
    if (event.action == kRemove) {
        d->m_plugs.remove(busId);
        d->m_asked.remove(busId);
        return false;
    }
    const QString devNum = event.sysAttr(QStringLiteral("devnum"));
    const auto known = d->m_plugs.constFind(busId);
    if (event.action != kAdd
        || (known != d->m_plugs.constEnd() && known->devNum == devNum)) {
        return false;
    }
    d->m_plugs.insert(busId, {++d->m_lastPlug, devNum});
    d->m_asked.remove(busId);
    return true;
}

bool UsbManager::isPresentPlug(const UsbConnectionInfo& conn) const
{
    Q_D(const UsbManager);
    return d->m_plugs.value(UsbHold::busIdOf(conn.sysPath)).plug == conn.plug;
}

void UsbManager::processDevice(const UsbDeviceEvent& event)
{
    Q_D(UsbManager);
    QMutexLocker lock(&d->m_mutex);
    UsbDeviceInfo& cur = d->m_curDevice;

    // A new plug begins a new record, also where the remove of the device
    // before it at that port was never seen.
    const bool newPlug = notePlug(event);
    if ((event.action == kAdd || event.action == kChange)
        && (!isSameOrBelow(event.sysPath, cur.sysPath)
            || (newPlug && event.sysPath == cur.sysPath))) {
        resetCurrentDevice(event.sysPath);
    }
    if (event.action == kRemove && handleRemove(event))
        return;
    if (event.action == kAdd)
        holdNewBus(event);
    takeAttributes(event, cur);
    if ((isWatchedClass(cur.interfaceClass) || d->m_diskManaged) && !manageWatchedDevice())
        return;
    if (!checkUnexpectedStorage(event))
        return;
    if (event.action == kAdd)
        reportBlockDevice(event);
}

bool UsbManager::checkUnexpectedStorage(const UsbDeviceEvent& event)
{
    Q_D(UsbManager);
    const UsbDeviceInfo& cur = d->m_curDevice;
    const bool block = event.action == kAdd
        && (event.devType == QLatin1String("disk") || event.devType == QLatin1String("partition"));
    // Only storage of the USB device being gathered, whose ids are known.
    if (!(block || event.storageDriver) || d->m_diskManaged || d->m_mobileManaged
        || cur.vendorId.isEmpty() || !isSameOrBelow(event.sysPath, cur.sysPath)) {
        return true;
    }
    d->m_diskManaged = true;
    qWarning() << "usb device" << UsbHold::busIdOf(cur.sysPath)
               << "has storage behind an interface of class" << cur.interfaceClass
               << "; checked as a storage device";
    // Held at once where the kernel can: its block device goes until the answer.
    const bool held = block && holding() && changeHold(false, cur.sysPath) == ConnStatusDone;
    manageDiskStorage();
    return !held && d->m_allowed != 0;
}

bool UsbManager::handleRemove(const UsbDeviceEvent& event)
{
    Q_D(UsbManager);
    UsbConnectionInfo* entry = getConnInfoFromDevListBySysPath(event.sysPath);
    // A repeated remove event must not report the same unplug twice.
    if (entry && !entry->sysPath.isEmpty() && entry->action != kRemove) {
        entry->action = kRemove;
        emit notifyReportUsbConnInfo(entry->name, entry->vendorId, entry->productId,
                                     entry->serial, kRemove);
        emit deviceDecided(entry->name, entry->vendorId, entry->productId, entry->serial,
                           QStringLiteral("removed"), QStringLiteral("unplugged"));
        qDebug() << event.action << entry->sysPath << entry->serial;
    }
    if (event.sysPath != d->m_curDevice.sysPath)
        return false;
    const UsbDeviceInfo& cur = d->m_curDevice;
    if ((d->m_diskManaged || d->m_mobileManaged) && !entry) {
        // Checked but never listed (allowed without a volume yet, or still
        // waiting for the answer): it no longer waits.
        emit deviceDecided(cur.name, cur.vendorId, cur.productId, cur.serial,
                           QStringLiteral("removed"), QStringLiteral("unplugged"));
    }
    resetCurrentDevice(kNoDevice);
    return true;
}

void UsbManager::holdNewBus(const UsbDeviceEvent& event)
{
    const QString busId = event.sysPath.section(QLatin1Char('/'), -1);
    if (!holding() || event.devType != QLatin1String("usb_device") || !UsbHold::isRootHub(busId))
        return;
    if (UsbHold::setDefault(busId, false))
        qInfo() << "new USB bus, its new storage and mobile devices are held:" << busId;
}

bool UsbManager::manageWatchedDevice()
{
    Q_D(UsbManager);
    const UsbDeviceInfo& cur = d->m_curDevice;
    if (d->m_allowed == 0) {
        changeDevConnStatus(false, cur.sysPath);
        return false;
    }
    if (!isWatchedClass(cur.interfaceClass))
        return true;
    if (!d->m_diskManaged && cur.interfaceClass == QLatin1String("08")) {
        d->m_diskManaged = true;
        manageDiskStorage();
    }
    if (!d->m_mobileManaged
        && ((cur.interfaceClass == QLatin1String("ff") && isbMtpDevice(cur.busNum, cur.devNum))
            || cur.interfaceClass == QLatin1String("06"))) {
        d->m_mobileManaged = true;
        manageMobileStorage();
    }
    return true;
}

void UsbManager::reportBlockDevice(const UsbDeviceEvent& event)
{
    Q_D(UsbManager);
    UsbDeviceInfo& cur = d->m_curDevice;
    const bool isDisk = event.devType == QLatin1String("disk");
    if (isDisk)
        cur.diskSize = getDevSize(event.devNode);
    if (!(isDisk || event.devType == QLatin1String("partition")) || cur.devNode == event.devNode
        || d->m_handledNodes.contains(event.devNode)) {
        return;
    }

    d->m_handledNodes.insert(event.devNode);
    cur.devNode = event.devNode;
    cur.label = getDevLabel(event.devNode);
    cur.size = getDevSize(event.devNode);
    if (cur.size.isEmpty() || getDevFsType(event.devNode).isEmpty())
        return;

    UsbConnectionInfo conn;
    conn.name = cur.label.isEmpty() ? cur.diskSize : cur.label;
    conn.vendorId = cur.vendorId;
    conn.productId = cur.productId;
    conn.serial = cur.serial;
    conn.action = kAdd;
    conn.sysPath = cur.sysPath;
    conn.plug = cur.plug;
    emit notifyReportUsbConnInfo(conn.name, conn.vendorId, conn.productId, conn.serial, kAdd);
    appendConnection(conn);
}

UsbDeviceInfo UsbManager::currentDevice() const
{
    Q_D(const UsbManager);
    QMutexLocker lock(&d->m_mutex);
    return d->m_curDevice;
}

int UsbManager::allowed() const
{
    Q_D(const UsbManager);
    QMutexLocker lock(&d->m_mutex);
    return d->m_allowed;
}

QList<UsbConnectionInfo> UsbManager::connectedDevices() const
{
    Q_D(const UsbManager);
    QMutexLocker lock(&d->m_mutex);
    return d->m_connDevList;
}
