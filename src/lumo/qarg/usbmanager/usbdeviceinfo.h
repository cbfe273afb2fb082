#pragma once

#include <QString>

// Facts gathered about one USB device, from its udev events or from the
// start-up scan. Copied by value.
struct UsbDeviceInfo
{
    QString name;           // product name
    QString serial;
    QString vendorId;       // 4 hex digits
    QString productId;      // 4 hex digits
    QString interfaceClass; // 2 hex digits: "08" storage, "06" still image, "ff" vendor
    QString busNum;
    QString devNum;
    QString sysPath;        // device whose events are gathered; "*" when none
    QString devPath;
    QString devNode;        // block node last handled
    QString label;          // volume label of devNode
    QString diskSize;       // size text of the whole disk
    QString size;           // size text of devNode
    quint64 plug = 0;       // which plug of its port this is; 0 when not known
};
