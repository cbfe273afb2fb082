#include "lumo/policy/receipt_bounds.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// Texts and receipts are cut to their bounds in UTF-8 bytes, never inside a
// character, with the mark saying how much went; a result array stays an
// array of the same settings.
class TstReceiptBounds : public QObject
{
    Q_OBJECT
private slots:
    void cutText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("maxBytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fits") << QString(100, QLatin1Char('a')) << 100 << QString(100, QLatin1Char('a'));
        QTest::newRow("ascii") << QString(200, QLatin1Char('a')) << 100
                               << QString(81, QLatin1Char('a')) + QStringLiteral("... [119 bytes cut]");
        // Three bytes each: the cut falls between characters.
        QTest::newRow("multibyte") << QString(100, QChar(0x20AC)) << 100
                                   << QString(27, QChar(0x20AC)) + QStringLiteral("... [219 bytes cut]");
    }
    void cutText()
    {
        QFETCH(QString, text);
        QFETCH(int, maxBytes);
        QFETCH(QString, expected);
        const QString cut = ReceiptBounds::cutText(text, maxBytes);
        QCOMPARE(cut, expected);
        QVERIFY(cut.toUtf8().size() <= maxBytes);
    }

    void cutReceipt_data()
    {
        QTest::addColumn<int>("results");
        QTest::addColumn<int>("textBytes");
        QTest::addColumn<int>("keptResults");
        QTest::newRow("few long texts") << 10 << 5000 << 10;
        QTest::newRow("escaped texts") << 10 << -5000 << 10;
        QTest::newRow("too many keys") << 2000 << 10 << -1;
    }
    void cutReceipt()
    {
        QFETCH(int, results);
        QFETCH(int, textBytes);
        QFETCH(int, keptResults);
        const int maxBytes = 16 * 1024;
        // A negative size asks for texts that JSON escapes to twice their size.
        const QString text = textBytes > 0 ? QString(textBytes, QLatin1Char('x'))
                                           : QString(-textBytes, QLatin1Char('"'));
        QJsonArray array;
        for (int i = 0; i < results; ++i)
            array.append(QJsonObject{{QStringLiteral("setting/%1").arg(i), text}});
        const QString receipt = QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));

        const QString cut = ReceiptBounds::cutReceipt(receipt, maxBytes);
        QVERIFY(cut.toUtf8().size() <= maxBytes);
        const QJsonArray kept = QJsonDocument::fromJson(cut.toUtf8()).array();
        if (keptResults < 0) {
            QVERIFY(kept.size() < results);
            const QString last = kept.last().toObject().value(QStringLiteral("receipt")).toString();
            QCOMPARE(last, QStringLiteral("... [%1 results cut]").arg(results - kept.size() + 1));
            return;
        }
        QCOMPARE(kept.size(), keptResults);
        for (int i = 0; i < kept.size(); ++i) {
            const QString value = kept.at(i).toObject().value(QStringLiteral("setting/%1").arg(i)).toString();
            QVERIFY2(value.endsWith(QStringLiteral(" bytes cut]")), qPrintable(value.right(40)));
            QVERIFY(value.size() > 500);
        }
    }

    void plainTextReceipt()
    {
        const QString cut = ReceiptBounds::cutReceipt(QString(20000, QLatin1Char('e')), 1000);
        QVERIFY(cut.toUtf8().size() <= 1000);
        QVERIFY(cut.endsWith(QStringLiteral(" bytes cut]")));
    }
};

QTEST_GUILESS_MAIN(TstReceiptBounds)
#include "tst_receiptbounds.moc"
