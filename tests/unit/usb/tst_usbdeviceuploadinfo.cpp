#include "lumo/qarg/usbmanager/usbdeviceuploadinfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TstUsbDeviceUploadInfo : public QObject
{
    Q_OBJECT

private slots:
    void defaults()
    {
        const UsbDeviceUploadInfo info;
        QCOMPARE(info.type, 0);
        QVERIFY(info.userName.isEmpty() && info.machineId.isEmpty());
    }

    void json()
    {
        UsbDeviceUploadInfo info;
        info.type = 2004;
        info.userName = QStringLiteral("alice");
        info.aliasName = QStringLiteral("资料");
        info.vendorId = QStringLiteral("0781");
        info.productId = QStringLiteral("5567");
        info.serialNumber = QStringLiteral("S1");
        info.action = QStringLiteral("add");
        info.operatedAt = QStringLiteral("2026-12-07 10:00:00");
        info.machineId = QStringLiteral("m-1");

        const QByteArray data = info.toJsonByteArray();
        QVERIFY(data.contains('\n')); // indented
        const QJsonObject top = QJsonDocument::fromJson(data).object();
        QCOMPARE(top.keys(), (QStringList{QStringLiteral("payload"), QStringLiteral("type")}));
        QCOMPARE(top.value(QStringLiteral("type")).toInt(), 2004);
        const QJsonObject payload = top.value(QStringLiteral("payload")).toObject();
        QCOMPARE(payload.keys(), QStringList{QStringLiteral("list")});
        const QJsonArray list = payload.value(QStringLiteral("list")).toArray();
        QCOMPARE(list.size(), 1);
        const QJsonObject record = list.at(0).toObject();
        const QJsonObject expected{{QStringLiteral("userName"), QStringLiteral("alice")},
                                   {QStringLiteral("alias_name"), QStringLiteral("资料")},
                                   {QStringLiteral("vendor_id"), QStringLiteral("0781")},
                                   {QStringLiteral("product_id"), QStringLiteral("5567")},
                                   {QStringLiteral("serial_number"), QStringLiteral("S1")},
                                   {QStringLiteral("action"), QStringLiteral("add")},
                                   {QStringLiteral("operated_at"),
                                    QStringLiteral("2026-12-07 10:00:00")},
                                   {QStringLiteral("machine_id"), QStringLiteral("m-1")}};
        QCOMPARE(record, expected);
    }
};

QTEST_GUILESS_MAIN(TstUsbDeviceUploadInfo)
#include "tst_usbdeviceuploadinfo.moc"
