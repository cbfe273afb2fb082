#pragma once

#include <QHash>
#include <QString>

// One kernel device event as the monitor sees it, taken out of libudev so
// that the event rules do not depend on a live netlink socket.
struct UsbDeviceEvent
{
    QString action;  // "add", "change", "remove", "bind", ...
    QString sysPath; // "/sys/devices/..."
    QString devPath; // "/devices/..."
    QString devType; // "usb_device", "usb_interface", "disk", "partition", ...
    QString devNode; // "/dev/sdb1" for block devices, else empty
    // The device's own sysfs attributes the monitor reads (product, serial,
    // idVendor, idProduct, bInterfaceClass, busnum, devnum); absent ones are
    // not in the hash.
    QHash<QString, QString> sysAttrs;
    // The package's udev rule found that a storage driver binds this
    // vendor-class interface (the usb-storage quirk table matches by ids).
    bool storageDriver = false;

    QString sysAttr(const QString& name) const { return sysAttrs.value(name); }
};
