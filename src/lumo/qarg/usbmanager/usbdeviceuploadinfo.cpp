#include "usbdeviceuploadinfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QByteArray UsbDeviceUploadInfo::toJsonByteArray() const
{
    QJsonObject record;
    record.insert(QStringLiteral("userName"), userName);
    record.insert(QStringLiteral("alias_name"), aliasName);
    record.insert(QStringLiteral("vendor_id"), vendorId);
    record.insert(QStringLiteral("product_id"), productId);
    record.insert(QStringLiteral("serial_number"), serialNumber);
    record.insert(QStringLiteral("action"), action);
    record.insert(QStringLiteral("operated_at"), operatedAt);
    record.insert(QStringLiteral("machine_id"), machineId);

    QJsonObject payload;
    payload.insert(QStringLiteral("list"), QJsonArray{record});

    QJsonObject top;
    top.insert(QStringLiteral("type"), type);
    top.insert(QStringLiteral("payload"), payload);
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}
