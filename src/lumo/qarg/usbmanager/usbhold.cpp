#include "usbhold.h"

#include "common/base/constants.h"
#include "common/shared/sysroot.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
const char kDevicesDir[] = "/sys/bus/usb/devices";
const char kDriversProbe[] = "/sys/bus/usb/drivers_probe";
const char kDefaultAttr[] = "interface_authorized_default";
const char kAuthorizedAttr[] = "authorized";

// One write of a sysfs attribute; the kernel takes it whole or refuses it.
bool writeAttribute(const QString& path, const QByteArray& value, int extraFlags)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | extraFlags);
    if (fd < 0) {
        qWarning() << "cannot open" << path << std::strerror(errno);
        return false;
    }
    ssize_t written;
    do {
        written = ::write(fd, value.constData(), size_t(value.size()));
    } while (written < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (written != value.size()) {
        qWarning() << "cannot write" << path << std::strerror(written < 0 ? error : EIO);
        return false;
    }
    return true;
}

// The whole value as the kernel gives it, without its closing newline: the
// form libudev hands to the monitor's events (a serial may be long, and may
// end in blanks).
QByteArray readValue(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray value = file.readAll();
    while (value.endsWith('\n') || value.endsWith('\r'))
        value.chop(1);
    return value;
}

QByteArray readAttribute(const QString& path)
{
    return readValue(path).trimmed();
}

QString devicePath(const QString& name, const char* attr)
{
    return UsbHold::devicesDir() + QLatin1Char('/') + name + QLatin1Char('/')
        + QLatin1String(attr);
}

QStringList deviceEntries()
{
    return QDir(UsbHold::devicesDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System,
                                                 QDir::Name);
}

bool isInterfaceName(const QString& name)
{
    return name.contains(QLatin1Char(':'));
}

QString interfaceClass(const QString& interfaceName)
{
    return QString::fromLatin1(
        readAttribute(devicePath(interfaceName, "bInterfaceClass")).toLower());
}
} // namespace

QString UsbHold::devicesDir()
{
    return vorn::base::sysrootPath(QString::fromLatin1(kDevicesDir));
}

bool UsbHold::isGovernedClass(const QString& interfaceClass)
{
    return interfaceClass == QLatin1String("08") || interfaceClass == QLatin1String("06")
        || interfaceClass == QLatin1String("ff");
}

bool UsbHold::isRootHub(const QString& busId)
{
    static const QRegularExpression rootHub(QStringLiteral("^usb[0-9]+$"));
    return rootHub.match(busId).hasMatch();
}

QStringList UsbHold::rootHubs()
{
    QStringList hubs;
    for (const QString& name : deviceEntries()) {
        if (isRootHub(name) && QFile::exists(devicePath(name, kDefaultAttr)))
            hubs.append(name);
    }
    return hubs;
}

bool UsbHold::setDefault(const QString& rootHub, bool authorized)
{
    return writeAttribute(devicePath(rootHub, kDefaultAttr), authorized ? "1\n" : "0\n",
                          O_TRUNC);
}

int UsbHold::setDefaults(bool authorized)
{
    int written = 0;
    for (const QString& hub : rootHubs()) {
        if (setDefault(hub, authorized))
            ++written;
    }
    return written;
}

int UsbHold::holdingRootHubs()
{
    int holding = 0;
    for (const QString& hub : rootHubs()) {
        if (readAttribute(devicePath(hub, kDefaultAttr)) == "0")
            ++holding;
    }
    return holding;
}

QString UsbHold::busIdOf(const QString& path)
{
    return path.section(QLatin1Char('/'), -1);
}

QStringList UsbHold::governedInterfaces(const QString& busId)
{
    QStringList interfaces;
    if (busId.isEmpty() || isInterfaceName(busId))
        return interfaces;
    const QString prefix = busId + QLatin1Char(':');
    for (const QString& name : deviceEntries()) {
        if (name.startsWith(prefix) && isGovernedClass(interfaceClass(name)))
            interfaces.append(name);
    }
    return interfaces;
}

bool UsbHold::isAuthorized(const QString& interfaceName)
{
    return readAttribute(devicePath(interfaceName, kAuthorizedAttr)) != "0";
}

UsbHold::Result UsbHold::setAuthorized(const QString& busId, bool authorized)
{
    const QStringList interfaces = governedInterfaces(busId);
    if (interfaces.isEmpty())
        return NoInterface;
    bool ok = true;
    for (const QString& name : interfaces) {
        // Taking authorization away also unbinds the interface's driver.
        if (!writeAttribute(devicePath(name, kAuthorizedAttr), authorized ? "1\n" : "0\n",
                            O_TRUNC)) {
            ok = false;
        }
    }
    if (authorized) {
        // An interface authorized late is not probed by the kernel on its own.
        const QString probe = vorn::base::sysrootPath(QString::fromLatin1(kDriversProbe));
        for (const QString& name : interfaces) {
            if (!writeAttribute(probe, name.toUtf8() + '\n', O_APPEND))
                qWarning() << "driver of" << name << "not probed";
        }
    }
    return ok ? Done : WriteFailed;
}

QStringList UsbHold::heldDevices()
{
    QStringList devices;
    for (const QString& name : deviceEntries()) {
        if (!isInterfaceName(name) || !isGovernedClass(interfaceClass(name))
            || isAuthorized(name)) {
            continue;
        }
        const QString device = name.section(QLatin1Char(':'), 0, 0);
        if (!devices.contains(device))
            devices.append(device);
    }
    return devices;
}

bool UsbHold::hasIds(const QString& busId, const QString& vendorId, const QString& productId,
                     const QString& serial)
{
    return QString::fromUtf8(readValue(devicePath(busId, "idVendor"))) == vendorId
        && QString::fromUtf8(readValue(devicePath(busId, "idProduct"))) == productId
        && QString::fromUtf8(readValue(devicePath(busId, "serial"))) == serial;
}

QStringList UsbHold::heldDevicesWith(const QString& vendorId, const QString& productId,
                                     const QString& serial)
{
    QStringList matching;
    for (const QString& device : heldDevices()) {
        if (hasIds(device, vendorId, productId, serial))
            matching.append(device);
    }
    return matching;
}

int UsbHold::releaseAll()
{
    int released = 0;
    for (const QString& device : heldDevices()) {
        if (setAuthorized(device, true) == Done)
            ++released;
    }
    return released;
}

void UsbHold::keepMark(bool holding)
{
    if (!holding) {
        QFile::remove(vorn::kQargUsbHoldMarkPath);
        return;
    }
    QFile mark(vorn::kQargUsbHoldMarkPath);
    if (mark.exists())
        return;
    if (!mark.open(QIODevice::WriteOnly) || mark.write("qarg holds new USB storage devices\n") < 0)
        qWarning() << "cannot write" << mark.fileName() << mark.errorString();
}
