#include "notify_message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestNotifyMessage : public QObject
{
    Q_OBJECT

private slots:
    void defaults();
    void fieldsAsSet_data();
    void fieldsAsSet();
};

void TestNotifyMessage::defaults()
{
    const QString text = NotifyMessageType().toString();
    QVERIFY(!text.contains(QLatin1Char('\n')));
    QCOMPARE(text, QStringLiteral("{\"actions\":[],\"appIcon\":\"vornw\",\"appName\":\"域管平台\","
                                  "\"body\":\"\",\"hints\":[],\"notifyId\":0,\"operation\":0,"
                                  "\"operationDelay\":0,\"summary\":\"\",\"timeout\":0,\"uid\":0}"));
}

void TestNotifyMessage::fieldsAsSet_data()
{
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QVariantMap>("hints");
    QTest::addColumn<QString>("actionsJson");
    QTest::addColumn<QString>("hintsJson");
    QTest::newRow("two actions in order")
        << QStringList{"_open1", "确定"} << QVariantMap() << "[\"_open1\",\"确定\"]" << "[]";
    QTest::newRow("two hints as two one-member objects")
        << QStringList() << QVariantMap{{"x-urgency", 2}, {"category", "device"}} << "[]"
        << "[{\"category\":\"device\"},{\"x-urgency\":\"2\"}]";
}

void TestNotifyMessage::fieldsAsSet()
{
    QFETCH(QStringList, actions);
    QFETCH(QVariantMap, hints);
    QFETCH(QString, actionsJson);
    QFETCH(QString, hintsJson);
    NotifyMessageType message;
    message.summary = QStringLiteral("提醒");
    message.actions = actions;
    message.hints = hints;
    message.timeout = -1;
    message.operation = 3;
    message.operationDelay = 60000;
    message.uid = 1001;
    message.notifyId = 4000000000u;
    const QJsonObject object = QJsonDocument::fromJson(message.toString().toUtf8()).object();
    QCOMPARE(object.size(), 11);
    QCOMPARE(QString::fromUtf8(QJsonDocument(object.value("actions").toArray()).toJson(QJsonDocument::Compact)),
             actionsJson);
    QCOMPARE(QString::fromUtf8(QJsonDocument(object.value("hints").toArray()).toJson(QJsonDocument::Compact)),
             hintsJson);
    QCOMPARE(object.value("summary").toString(), QStringLiteral("提醒"));
    QCOMPARE(object.value("timeout").toInt(), -1);
    QCOMPARE(object.value("operation").toInt(), 3);
    QCOMPARE(object.value("operationDelay").toInt(), 60000);
    QCOMPARE(object.value("uid").toInt(), 1001);
    QCOMPARE(object.value("notifyId").toDouble(), 4000000000.0);
}

QTEST_GUILESS_MAIN(TestNotifyMessage)
#include "tst_notifymessage.moc"
