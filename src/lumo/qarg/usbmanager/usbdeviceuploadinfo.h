#pragma once

#include <QByteArray>
#include <QString>

// One USB connection record as uploaded to the server's log.
class UsbDeviceUploadInfo
{
public:
    UsbDeviceUploadInfo() = default;

    // {"type": <type>, "payload": {"list": [ { ...one record... } ]}}, indented.
    QByteArray toJsonByteArray() const;

    int type = 0;
    QString userName;
    QString aliasName;
    QString vendorId;
    QString productId;
    QString serialNumber;
    QString action;
    QString operatedAt;
    QString machineId;
};
