#pragma once

#include <QString>

// A USB connection as it is reported to the server and kept in the
// connected-device list. Copied by value.
struct UsbConnectionInfo
{
    QString name;   // shown to the user
    QString action; // "add" or "remove"
    QString serial;
    QString vendorId;
    QString productId;
    QString sysPath;
    quint64 plug = 0; // the plug of the device asked about (UsbDeviceInfo::plug)
};
