#include "lumo/policy/push_message.h"

#include <QtTest>

class TestPushMessage : public QObject
{
    Q_OBJECT
private slots:
    void readsIds_data();
    void readsIds();
    void refusesWhatIsNoObject_data();
    void refusesWhatIsNoObject();
    void readsTextMembers();
};

void TestPushMessage::readsIds_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<int>("jobId");
    QTest::addColumn<int>("taskId");
    QTest::newRow("both") << QStringLiteral("{\"job_id\": 7, \"task_id\": 9}") << 7 << 9;
    QTest::newRow("empty object") << QStringLiteral("{}") << 0 << 0;
    QTest::newRow("strings are no numbers") << QStringLiteral("{\"job_id\": \"7\", \"task_id\": \"9\"}")
                                            << 0 << 0;
    QTest::newRow("negative") << QStringLiteral("{\"job_id\": -1, \"task_id\": -1}") << -1 << -1;
}

void TestPushMessage::readsIds()
{
    QFETCH(QString, payload);
    QFETCH(int, jobId);
    QFETCH(int, taskId);
    PushMessage message;
    QVERIFY(PushMessage::parse(payload, message));
    QCOMPARE(message.jobId, jobId);
    QCOMPARE(message.taskId, taskId);
}

void TestPushMessage::refusesWhatIsNoObject_data()
{
    QTest::addColumn<QString>("payload");
    QTest::newRow("empty") << QString();
    QTest::newRow("array") << QStringLiteral("[{\"job_id\": 7}]");
    QTest::newRow("truncated") << QStringLiteral("{\"job_id\": 7,");
    QTest::newRow("trailing garbage") << QStringLiteral("{\"job_id\": 7} x");
}

void TestPushMessage::refusesWhatIsNoObject()
{
    QFETCH(QString, payload);
    PushMessage message;
    message.jobId = 5;
    message.taskId = 6;
    QVERIFY(!PushMessage::parse(payload, message));
    QCOMPARE(message.jobId, 5);
    QCOMPARE(message.taskId, 6);
    QVERIFY(message.object.isEmpty());
}

void TestPushMessage::readsTextMembers()
{
    PushMessage message;
    QVERIFY(PushMessage::parse(
        QStringLiteral("{\"action\": \"add\", \"alias_name\": \"U\u76d8\", \"vendor_id\": 781}"),
        message));
    QCOMPARE(message.text(QStringLiteral("action")), QStringLiteral("add"));
    QCOMPARE(message.text(QStringLiteral("alias_name")), QString::fromUtf8("U\xe7\x9b\x98"));
    // A number is no string, and a missing member reads as empty.
    QCOMPARE(message.text(QStringLiteral("vendor_id")), QString());
    QCOMPARE(message.text(QStringLiteral("serial_number")), QString());
}

QTEST_GUILESS_MAIN(TestPushMessage)
#include "tst_pushmessage.moc"
