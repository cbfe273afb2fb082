#include "lumo/policy/download_budget.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The per-document download budget of the policy handlers, with real files.
class TstDownloadBudget : public QObject
{
    Q_OBJECT

private slots:
    void accounting_data();
    void accounting();
    void newerDocumentStartsAfresh();
    void executorsApart();
    void texts_data();
    void texts();

private:
    QString writeFile(const QTemporaryDir& dir, const QString& name, qint64 size);
};

QString TstDownloadBudget::writeFile(const QTemporaryDir& dir, const QString& name, qint64 size)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(int(size), 'x')) != size)
        return QString();
    return path;
}

void TstDownloadBudget::accounting_data()
{
    QTest::addColumn<QList<int>>("sizes");     // downloads of one document, in order
    QTest::addColumn<QList<bool>>("kept");     // whether each was accounted and kept
    QTest::addColumn<qint64>("used");
    QTest::addColumn<bool>("admitsMore");

    // Limit 1000 bytes.
    QTest::newRow("well within") << QList<int>{100, 200} << QList<bool>{true, true} << qint64(300) << true;
    QTest::newRow("exactly the limit") << QList<int>{600, 400} << QList<bool>{true, true} << qint64(1000) << false;
    QTest::newRow("one too many, smaller one still fits")
        << QList<int>{600, 500, 300} << QList<bool>{true, false, true} << qint64(900) << true;
    QTest::newRow("single file over the limit") << QList<int>{1001} << QList<bool>{false} << qint64(0) << true;
    QTest::newRow("empty files") << QList<int>{0, 0} << QList<bool>{true, true} << qint64(0) << true;
}

void TstDownloadBudget::accounting()
{
    QFETCH(QList<int>, sizes);
    QFETCH(QList<bool>, kept);
    QFETCH(qint64, used);
    QFETCH(bool, admitsMore);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    DownloadBudget budget(1000);
    const int executor = 0;
    for (int i = 0; i < sizes.size(); ++i) {
        QString refusal;
        QVERIFY(budget.admit(&executor, 1, &refusal));
        const QString path = writeFile(dir, QStringLiteral("f%1").arg(i), sizes.at(i));
        QVERIFY(!path.isEmpty());
        QCOMPARE(budget.account(&executor, 1, path, &refusal), kept.at(i));
        // A file over the budget is gone, with the reason given.
        QCOMPARE(QFile::exists(path), kept.at(i));
        if (!kept.at(i))
            QCOMPARE(refusal, QStringLiteral("the policy's downloads would exceed their limit of 1000 bytes "
                                             "with %1 more bytes")
                                  .arg(sizes.at(i)));
    }
    QCOMPARE(budget.used(&executor, 1), used);
    QString refusal;
    QCOMPARE(budget.admit(&executor, 1, &refusal), admitsMore);
    QCOMPARE(refusal.isEmpty(), admitsMore);
    if (!admitsMore)
        QCOMPARE(refusal, QStringLiteral("the policy's downloads reached their limit of 1000 bytes"));
}

void TstDownloadBudget::newerDocumentStartsAfresh()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    DownloadBudget budget(1000);
    const int executor = 0;
    QString refusal;
    QVERIFY(budget.account(&executor, 1, writeFile(dir, QStringLiteral("a"), 1000), &refusal));
    QVERIFY(!budget.admit(&executor, 1, &refusal));
    QVERIFY(budget.admit(&executor, 2, &refusal));
    QCOMPARE(budget.used(&executor, 1), qint64(0));
    QCOMPARE(budget.used(&executor, 2), qint64(0));
}

void TstDownloadBudget::executorsApart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    DownloadBudget budget(1000);
    const int first = 0;
    const int second = 0;
    QString refusal;
    QVERIFY(budget.account(&first, 7, writeFile(dir, QStringLiteral("a"), 1000), &refusal));
    QVERIFY(!budget.admit(&first, 7, &refusal));
    QVERIFY(budget.admit(&second, 7, &refusal));
    QVERIFY(budget.admit(&second, 8, &refusal));
    // The second executor's newer document leaves the first one's alone.
    QCOMPARE(budget.used(&first, 7), qint64(1000));
    QCOMPARE(DownloadBudget::shared().limit(), qint64(256) * 1024 * 1024);
}

void TstDownloadBudget::texts_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("text");

    const QString head = QStringLiteral("script download failed, code %1: https://h:1/s.sh");
    QTest::newRow("HTTP status alone") << 404 << "server answered HTTP 404" << head.arg(404);
    QTest::newRow("size limit with its reason")
        << 4013 << "answer exceeds the size limit of 64 MiB"
        << head.arg(4013) + ": answer exceeds the size limit of 64 MiB";
    QTest::newRow("no answer with its reason") << 0 << "Connection refused" << head.arg(0) + ": Connection refused";
    QTest::newRow("no reason given") << 4003 << "" << head.arg(4003);
}

void TstDownloadBudget::texts()
{
    QFETCH(int, code);
    QFETCH(QString, reason);
    QFETCH(QString, text);
    QCOMPARE(DownloadBudget::failedText(QStringLiteral("script"), code, QStringLiteral("https://h:1/s.sh"), reason),
             text);
    QCOMPARE(DownloadBudget::refusedText(QStringLiteral("icon"), QStringLiteral("https://h:1/i.png"),
                                         QStringLiteral("why")),
             QStringLiteral("icon download refused: https://h:1/i.png: why"));
}

QTEST_GUILESS_MAIN(TstDownloadBudget)
#include "tst_downloadbudget.moc"
