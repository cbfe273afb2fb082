#include "lumo/policy/service_manager_link.h"

#include <QJsonDocument>
#include <QtTest>

// The status line systemctl shows, from the status board's overview.
class TestServiceManagerLink : public QObject
{
    Q_OBJECT

private slots:
    void statusLine_data();
    void statusLine();
};

void TestServiceManagerLink::statusLine_data()
{
    QTest::addColumn<QByteArray>("overview");
    QTest::addColumn<bool>("usb");
    QTest::addColumn<QString>("line");

    const QByteArray pulled = R"("last_pull": {"time": "2026-12-08T07:00:00Z", "outcome": "accepted",
                                               "md5": "0cc175b9c0f1b6a831c399e269772661"})";
    QTest::newRow("applied")
        << "{" + pulled + R"(, "owed_receipts": 2, "usb_control": true,
              "policy": {"started": "2026-12-08T07:00:01Z", "finished": "2026-12-08T07:00:02Z"}})"
        << true
        << "policy 0cc175b9c0f1b6a831c399e269772661 applied 2026-12-08T07:00:02Z; last pull "
           "2026-12-08T07:00:00Z: accepted; receipts owed: 2; USB control on";
    QTest::newRow("being applied")
        << "{" + pulled + R"(, "owed_receipts": 0,
              "policy": {"started": "2026-12-08T07:00:01Z", "finished": null}})"
        << false
        << "applying a policy since 2026-12-08T07:00:01Z; last pull 2026-12-08T07:00:00Z: "
           "accepted; receipts owed: 0";
    QTest::newRow("document of an earlier run, no pull yet")
        << QByteArray(R"({"last_pull": null, "owed_receipts": 1,
              "policy": {"started": "2026-12-08T07:00:01Z", "finished": "2026-12-08T07:00:02Z"}})")
        << false << "policy applied 2026-12-08T07:00:02Z; no pull yet; receipts owed: 1";
    const QString reason = QStringLiteral("not accepted: ") + QString(200, QLatin1Char('r'));
    QTest::newRow("long outcome")
        << QJsonDocument(QJsonObject{{QStringLiteral("last_pull"),
                                      QJsonObject{{QStringLiteral("time"), QStringLiteral("T")},
                                                  {QStringLiteral("outcome"), reason},
                                                  {QStringLiteral("md5"), QString()}}}})
               .toJson()
        << false
        << "no policy applied yet; last pull T: "
               + reason.left(ServiceManagerLink::kMaxOutcomeChars - 3) + "...; receipts owed: 0";
}

void TestServiceManagerLink::statusLine()
{
    QFETCH(QByteArray, overview);
    QFETCH(bool, usb);
    QFETCH(QString, line);
    const QJsonDocument doc = QJsonDocument::fromJson(overview);
    QVERIFY(doc.isObject());
    QCOMPARE(ServiceManagerLink::statusLine(doc.object(), usb ? ServiceManagerLink::WithUsb
                                                              : ServiceManagerLink::WithoutUsb),
             line);
}

QTEST_GUILESS_MAIN(TestServiceManagerLink)
#include "tst_servicemanagerlink.moc"
