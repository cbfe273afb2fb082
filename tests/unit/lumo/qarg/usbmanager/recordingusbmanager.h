#pragma once

#include "lumo/qarg/usbmanager/usbmanager.h"

#include <QList>

// Records the whitelist checks the monitor starts instead of asking the
// server; with forward set it also runs the real check.
class RecordingUsbManager : public UsbManager
{
public:
    struct Check
    {
        UsbDeviceInfo device;
        int type;
    };

    void execDevWhiteList(UsbDeviceInfo dev, int type) override
    {
        checks.append({dev, type});
        if (forward)
            UsbManager::execDevWhiteList(dev, type);
    }

    QList<Check> checks;
    bool forward = false;
};

namespace usbtest {

const QString kStick = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1");
const QString kStickDisk = kStick + QStringLiteral("/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb");

// The connection a check of dev asks about.
inline UsbConnectionInfo askedAbout(const UsbDeviceInfo& dev)
{
    UsbConnectionInfo conn;
    conn.name = dev.name;
    conn.action = QStringLiteral("add");
    conn.serial = dev.serial;
    conn.vendorId = dev.vendorId;
    conn.productId = dev.productId;
    conn.sysPath = dev.sysPath;
    conn.plug = dev.plug;
    return conn;
}

// conn as the monitor asks about the plug of the device it gathers now.
inline UsbConnectionInfo ofCurrentPlug(UsbConnectionInfo conn, const UsbManager& m)
{
    conn.plug = m.currentDevice().plug;
    return conn;
}

inline UsbDeviceEvent usbEvent(const QString& action, const QString& sysPath,
                               const QString& devType, const QHash<QString, QString>& attrs = {},
                               const QString& devNode = QString())
{
    UsbDeviceEvent event;
    event.action = action;
    event.sysPath = sysPath;
    event.devPath = sysPath.mid(4);
    event.devType = devType;
    event.devNode = devNode;
    event.sysAttrs = attrs;
    return event;
}

// The stick's own device event.
inline UsbDeviceEvent stickDevice(const QString& action = QStringLiteral("add"),
                                  const QString& serial = QStringLiteral("4C530001"))
{
    QHash<QString, QString> attrs{{QStringLiteral("product"), QStringLiteral("  Cruzer Blade ")},
                                  {QStringLiteral("idVendor"), QStringLiteral("0781")},
                                  {QStringLiteral("idProduct"), QStringLiteral("5567")},
                                  {QStringLiteral("busnum"), QStringLiteral("1")},
                                  {QStringLiteral("devnum"), QStringLiteral("5")}};
    if (!serial.isEmpty())
        attrs.insert(QStringLiteral("serial"), serial);
    return usbEvent(action, kStick, QStringLiteral("usb_device"), attrs);
}

inline UsbDeviceEvent interfaceOf(const QString& device, const QString& cls,
                                  const QString& action = QStringLiteral("add"))
{
    const QString name = device.section(QLatin1Char('/'), -1) + QStringLiteral(":1.0");
    return usbEvent(action, device + QLatin1Char('/') + name, QStringLiteral("usb_interface"),
                    {{QStringLiteral("bInterfaceClass"), cls}});
}

inline UsbDeviceEvent stickBlock(const QString& node, const QString& action = QStringLiteral("add"))
{
    const bool disk = node == QLatin1String("sdb");
    return usbEvent(action, disk ? kStickDisk : kStickDisk + QLatin1Char('/') + node,
                    disk ? QStringLiteral("disk") : QStringLiteral("partition"), {},
                    QStringLiteral("/dev/") + node);
}

} // namespace usbtest
