// Whitelist decision, detaching and attaching through sysfs, and the
// connected-device list.
#include "usbmanager.h"

#include "lumo/policy/server_endpoint.h"

#include "usbmanager_p.h"

#include "usbhold.h"

#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/external/asynchttpclientapi.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QUrl>
#include <QtDebug>

#include <aio.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
const QString kAdd = QStringLiteral("add");
constexpr int kWhiteListTimeoutSeconds = 3;
constexpr int kControlBufferSize = 256;
// A sysfs write completes at once; past this the write is cancelled.
constexpr qint64 kControlWriteLimitMs = 5000;

// Device descriptors are outside input: keep them from adding query items.
QString queryValue(const QString& value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

// Waits for the queued write to leave EINPROGRESS and returns its status.
int waitForWrite(aiocb& request)
{
    QElapsedTimer timer;
    timer.start();
    bool cancelled = false;
    int status;
    while ((status = aio_error(&request)) == EINPROGRESS) {
        const aiocb* const list[1] = {&request};
        timespec slice = {0, 10 * 1000 * 1000};
        aio_suspend(list, 1, &slice);
        if (!cancelled && timer.elapsed() > kControlWriteLimitMs) {
            qWarning() << "usb control write did not complete, cancelling";
            aio_cancel(request.aio_fildes, &request);
            // If it cannot be cancelled the buffer is still in use: keep waiting.
            cancelled = true;
        }
    }
    return status;
}
} // namespace

// The statuses of statusMessage, in the words of an administrator's tool.
QString UsbManager::decisionReason(int status)
{
    switch (status) {
    case 0:
        return QStringLiteral("not on the whitelist");
    case 1:
        return QStringLiteral("on the whitelist");
    case 2:
        return QStringLiteral("the server could not be reached");
    case 3:
        return QStringLiteral("vendor, product or serial number missing");
    default:
        return QString();
    }
}

QString UsbManager::statusMessage(int status)
{
    switch (status) {
    case 0:
        return QStringLiteral("请联系管理员将USB设备加入白名单并对终端授权，然后重新插入使用");
    case 1:
        return QStringLiteral("当前USB设备允许使用");
    case 2:
        return QStringLiteral("当前网络异常，USB设备限制使用");
    case 3:
        return QStringLiteral("该设备的硬件信息不齐全，存在安全风险，请使用正规的USB存储设备");
    default:
        return QString();
    }
}

void UsbManager::manageDiskStorage()
{
    execDevWhiteList(d_func()->m_curDevice, CheckStorage);
}

void UsbManager::manageMobileStorage()
{
    execDevWhiteList(d_func()->m_curDevice, CheckMobile);
}

void UsbManager::execDevWhiteList(UsbDeviceInfo dev, int type)
{
    Q_D(UsbManager);
    UsbConnectionInfo conn;
    conn.name = dev.name;
    conn.vendorId = dev.vendorId;
    conn.productId = dev.productId;
    conn.serial = dev.serial;
    conn.action = kAdd;
    conn.sysPath = dev.sysPath.isEmpty() ? dev.devPath : dev.sysPath;
    conn.plug = dev.plug;
    qInfo() << "execDevWhiteList" << conn.name << conn.sysPath << conn.serial << dev.devPath;

    if (conn.serial.isEmpty() || conn.vendorId.isEmpty() || conn.productId.isEmpty()) {
        applyWhiteListOutcome(QString(), -1, conn, type);
        return;
    }
    d->m_asked.insert(UsbHold::busIdOf(conn.sysPath), conn);
    if (holding())
        emit deviceDecided(conn.name, conn.vendorId, conn.productId, conn.serial,
                           QStringLiteral("held"), QStringLiteral("awaiting the server"));
    else
        emit deviceDecided(conn.name, conn.vendorId, conn.productId, conn.serial,
                           QStringLiteral("awaiting the server"),
                           QStringLiteral("whitelist check sent"));

    const ServerEndpoint::Snapshot server = ServerEndpoint::instance()->current();
    const QString url = vorn::kUsbWhiteListCheckUrl.arg(
        server.host, server.port, queryValue(server.machineId), queryValue(conn.vendorId),
        queryValue(conn.productId), queryValue(conn.serial));

    // The reply comes on the main thread, possibly after this object is gone.
    // It is applied on the monitor's own thread, between two device events,
    // so the main thread never waits while an event is being processed.
    const QPointer<UsbManager> self(this);
    AsyncHttpClientApi::getInstance()->getRequest(
        [self, conn, type](QString body, int code) {
            if (!self) {
                qInfo() << "whitelist reply after the usb monitor ended, dropped" << conn.sysPath;
                return;
            }
            UsbManager* monitor = self.data();
            if (monitor->thread()->isRunning() && monitor->thread() != QThread::currentThread()) {
                QMetaObject::invokeMethod(
                    monitor,
                    [monitor, body, code, conn, type]() {
                        monitor->execDevWhiteListCallback(body, code, conn, type);
                    },
                    Qt::QueuedConnection);
            } else {
                monitor->execDevWhiteListCallback(body, code, conn, type);
            }
        },
        url, QString(), kWhiteListTimeoutSeconds);
}

void UsbManager::execDevWhiteListCallback(const QString& body, int code, UsbConnectionInfo conn,
                                          int type)
{
    QMutexLocker lock(&d_func()->m_mutex);
    applyWhiteListOutcome(body, code, conn, type);
}

void UsbManager::applyWhiteListOutcome(const QString& body, int code,
                                       const UsbConnectionInfo& conn, int type)
{
    Q_D(UsbManager);
    if (d->m_heldOnce.loadAcquire() != 0 && !ctrlStatus()) {
        // Control went off meanwhile and released every held device.
        qInfo() << "whitelist reply after USB control was switched off, dropped" << conn.sysPath;
        return;
    }

    int allowed = 0;
    int status = 0;
    if (code == AsyncHttpClientApi::NoAnswer || code == AsyncHttpClientApi::Timeout) {
        status = 2;
    } else if (code == -1) {
        status = 3;
    } else {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(body.toUtf8(), &error);
        QJsonObject reply;
        if (error.error != QJsonParseError::NoError)
            qDebug() << "recived message not formate as json";
        else
            reply = doc.object();
        if (reply.value(QStringLiteral("code")).toInt(0) == 1) {
            allowed = 1;
            status = 1;
        }
    }

    qInfo() << "WhiteListCallback" << allowed << conn.sysPath << conn.serial << code << body
            << status << type;

    if (!isPresentPlug(conn)) {
        // Unplugged before the answer: whatever is at its port now waits for
        // its own answer and is neither released nor detached by this one.
        qInfo() << "whitelist reply for a device unplugged meanwhile, dropped" << conn.sysPath
                << conn.serial;
        emit deviceDecided(conn.name, conn.vendorId, conn.productId, conn.serial,
                           QStringLiteral("removed"), QStringLiteral("unplugged"));
        return;
    }
    if (allowed && type != CheckStartup)
        emit requestShowNormalSysNotify(statusMessage(1));
    // A late reply must not decide for the device gathered meanwhile.
    if (conn.sysPath == d->m_curDevice.sysPath && conn.plug == d->m_curDevice.plug)
        d->m_allowed = allowed;
    else
        qInfo() << "whitelist reply for a device no longer gathered" << conn.sysPath
                << "current" << d->m_curDevice.sysPath;

    emit deviceDecided(conn.name, conn.vendorId, conn.productId, conn.serial,
                       allowed ? QStringLiteral("allowed") : heldDecision(),
                       decisionReason(status));
    if (allowed && holding())
        changeDevConnStatus(true, conn.sysPath);
    if (allowed == 0) {
        if (changeDevConnStatus(false, conn.sysPath) == ConnStatusDone) {
            qInfo() << statusMessage(status);
            if (status == 0 && type == CheckStartup)
                emit requestShowUsbCtrlAuthorSysNotify(false, conn.name);
            else
                emit requestShowNormalSysNotify(statusMessage(status));
        }
        emit requestRemoveDevice(conn.serial);
    }

    if (type == CheckMobile || (type == CheckStorage && allowed == 0)) {
        emit notifyReportUsbConnInfo(conn.name, conn.vendorId, conn.productId, conn.serial,
                                     conn.action);
        appendConnection(conn);
    }
}

QString UsbManager::heldDecision() const
{
    return holding() ? QStringLiteral("held") : QStringLiteral("detached");
}

int UsbManager::changeHold(bool release, const QString& sysPath)
{
    const QString busId = UsbHold::busIdOf(sysPath);
    switch (UsbHold::setAuthorized(busId, release)) {
    case UsbHold::Done:
        qInfo() << (release ? "usb device released:" : "usb device held:") << busId;
        return ConnStatusDone;
    case UsbHold::NoInterface:
        qWarning() << "usb device" << busId << "has no storage or mobile interface to"
                   << (release ? "release" : "hold");
        return ConnStatusNoDevice;
    case UsbHold::WriteFailed:
        break;
    }
    qWarning() << "usb device" << busId
               << (release ? "could not be released" : "could not be held");
    return ConnStatusWriteFailed;
}

int UsbManager::changeDevConnStatus(bool bind, const QString& sysPath)
{
    // Held devices stay attached; their storage and mobile interfaces are
    // what the kernel is told to leave alone.
    if (holding())
        return changeHold(bind, sysPath);

    // The device's sysfs directory name is its bus id, e.g. "1-1.2".
    const QString busId = sysPath.section(QLatin1Char('/'), -1);
    if (busId.isEmpty()) {
        qWarning() << "no usb device named by" << sysPath << ", nothing written";
        return ConnStatusNoDevice;
    }

    const QByteArray path = QFile::encodeName(bind ? vorn::kUsbBindPath : vorn::kUsbUnbindPath);
    const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        qDebug() << "open 'unbind' file failed !";
        return ConnStatusOpenFailed;
    }

    char buffer[kControlBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    const QByteArray name = busId.toUtf8().left(kControlBufferSize - 1);
    std::memcpy(buffer, name.constData(), size_t(name.size()));

    aiocb request;
    std::memset(&request, 0, sizeof request);
    request.aio_fildes = fd;
    request.aio_buf = buffer;
    request.aio_nbytes = sizeof buffer;
    request.aio_offset = 0;
    if (aio_write(&request) != 0) {
        ::fsync(fd);
        ::close(fd);
        qDebug() << "Async write failed!";
        return ConnStatusQueueFailed;
    }

    const int status = waitForWrite(request);
    const ssize_t written = aio_return(&request);
    ::fsync(fd);
    ::close(fd);
    if (status == 0 && written >= 0) {
        qDebug() << "usb disconnected!";
        return ConnStatusDone;
    }
    qDebug() << "usb disconnect failed!" << busId << std::strerror(status);
    return ConnStatusWriteFailed;
}

bool UsbManager::changeDevConnStatusById(bool isAdd, const QString& vendorId,
                                         const QString& productId, const QString& serial)
{
    Q_D(UsbManager);
    qDebug() << Q_FUNC_INFO << (isAdd ? "true" : "false") << serial;
    QMutexLocker lock(&d->m_mutex);
    bool result = true;
    const QList<UsbConnectionInfo> entries = d->m_connDevList;
    for (const UsbConnectionInfo& entry : entries) {
        if (entry.action != kAdd || entry.serial != serial || entry.vendorId != vendorId
            || entry.productId != productId) {
            continue;
        }
        if (changeDevConnStatus(isAdd, entry.sysPath) == ConnStatusDone) {
            if (!isAdd)
                emit requestShowUsbCtrlAuthorSysNotify(false, entry.name);
            emit deviceDecided(entry.name, entry.vendorId, entry.productId, entry.serial,
                               isAdd ? QStringLiteral("allowed") : heldDecision(),
                               isAdd ? QStringLiteral("granted by the server")
                                     : QStringLiteral("revoked by the server"));
            return true;
        }
        result = false;
    }
    // A held device that matches but cannot be released is not "changed".
    if (isAdd && holding() && releaseUnlisted(vendorId, productId, serial) == ReleaseFailed)
        result = false;
    return result;
}

UsbManager::ReleaseResult UsbManager::releaseUnlisted(const QString& vendorId,
                                                      const QString& productId,
                                                      const QString& serial)
{
    Q_D(UsbManager);
    // Devices of the start-up scan are never listed, but may be held.
    if (serial.isEmpty())
        return NoneHeld;
    QStringList matching;
    for (const QString& busId : UsbHold::heldDevices()) {
        const auto asked = d->m_asked.constFind(busId);
        const bool same = asked != d->m_asked.constEnd()
            ? asked->vendorId == vendorId && asked->productId == productId
                && asked->serial == serial
            : UsbHold::hasIds(busId, vendorId, productId, serial);
        if (same)
            matching.append(busId);
    }
    ReleaseResult result = NoneHeld;
    for (const QString& busId : matching) {
        if (changeHold(true, busId) == ConnStatusDone) {
            result = Released;
            emit deviceDecided(QString(), vendorId, productId, serial, QStringLiteral("allowed"),
                               QStringLiteral("granted by the server"));
        } else if (result == NoneHeld) {
            result = ReleaseFailed;
        }
    }
    return result;
}

void UsbManager::exeChangeDevConnStatusByIdTask(int taskId, int jobId, bool isAdd,
                                                const QString& vendorId,
                                                const QString& productId, const QString& serial)
{
    emit changeDevConnStatusByIdTaskExeFinished(
        taskId, jobId, changeDevConnStatusById(isAdd, vendorId, productId, serial));
}

void UsbManager::addToConnectedDevList(const UsbConnectionInfo& info)
{
    QMutexLocker lock(&d_func()->m_mutex);
    appendConnection(info);
}

void UsbManager::appendConnection(const UsbConnectionInfo& info)
{
    Q_D(UsbManager);
    auto& list = d->m_connDevList;
    for (int i = list.size() - 1; i >= 0; --i) {
        if (list.at(i).sysPath == info.sysPath)
            list.removeAt(i);
    }
    list.append(info);
}

UsbConnectionInfo* UsbManager::getConnInfoFromDevListBySysPath(const QString& sysPath)
{
    Q_D(UsbManager);
    auto& list = d->m_connDevList;
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).sysPath == sysPath)
            return &list[i];
    }
    return nullptr;
}
