#include "lumo/policy/download_budget.h"
#include "lumo/policy/setting_download.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// How one setting's download counts, against the program's shared budget.
// Sparse files stand in for large downloads.
class TstSettingDownload : public QObject
{
    Q_OBJECT

private slots:
    void ended_data();
    void ended();
    void admitAfterBudgetUsedUp();

private:
    static QString makeFile(const QTemporaryDir& dir, const QString& name, qint64 size);
};

namespace {
const QString kUrl = QStringLiteral("https://h:1/a.png");
} // namespace

QString TstSettingDownload::makeFile(const QTemporaryDir& dir, const QString& name, qint64 size)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        return QString();
    return path;
}

void TstSettingDownload::ended_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("result");
    QTest::addColumn<bool>("fileKept");

    const int delivered = int(SettingDownload::End::Delivered);
    const int failed = int(SettingDownload::End::Failed);
    QTest::newRow("200 delivered") << 200 << QString() << qint64(10) << delivered << QString() << true;
    QTest::newRow("299 delivered") << 299 << QString() << qint64(10) << delivered << QString() << true;
    QTest::newRow("empty 200 delivered") << 200 << QString() << qint64(0) << delivered << QString() << true;
    QTest::newRow("199 failed") << 199 << QStringLiteral("odd") << qint64(10) << failed
                                << "icon download failed, code 199: " + kUrl << true;
    QTest::newRow("300 failed") << 300 << QString() << qint64(10) << failed
                                << "icon download failed, code 300: " + kUrl << true;
    QTest::newRow("no answer keeps the client's reason")
        << 0 << QStringLiteral("Connection refused") << qint64(10) << failed
        << "icon download failed, code 0: " + kUrl + ": Connection refused" << true;
    QTest::newRow("one byte over the budget refused")
        << 200 << QString() << DownloadBudget::kMaxDocumentBytes + 1 << int(SettingDownload::End::Refused)
        << "icon download refused: " + kUrl
               + ": the policy's downloads would exceed their limit of 256 MiB with 268435457 more bytes"
        << false;
}

void TstSettingDownload::ended()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(qint64, size);
    QFETCH(int, end);
    QFETCH(QString, result);
    QFETCH(bool, fileKept);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = makeFile(dir, QStringLiteral("a.png"), size);
    QVERIFY(!path.isEmpty());
    static int executor = 0; // its address keys this case's budget
    const SettingDownload download(&executor, 1, QStringLiteral("icon"), kUrl);
    QString refusal;
    QCOMPARE(int(download.ended(path, text, code, &refusal)), end);
    QCOMPARE(refusal, result);
    QCOMPARE(QFile::exists(path), fileKept);
}

void TstSettingDownload::admitAfterBudgetUsedUp()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    static int executor = 0; // its address keys this case's budget
    const SettingDownload first(&executor, 7, QStringLiteral("wallpaper"), kUrl);
    QString result;
    QString reason;
    QVERIFY(first.admit(&result, &reason));
    const QString full = makeFile(dir, QStringLiteral("full"), DownloadBudget::kMaxDocumentBytes);
    QVERIFY(!full.isEmpty());
    QCOMPARE(int(first.ended(full, QString(), 200, &result)), int(SettingDownload::End::Delivered));

    const SettingDownload next(&executor, 7, QStringLiteral("script"), QStringLiteral("https://h:1/s.sh"));
    QVERIFY(!next.admit(&result, &reason));
    QCOMPARE(reason, QStringLiteral("the policy's downloads reached their limit of 256 MiB"));
    QCOMPARE(result, QStringLiteral("script download refused: https://h:1/s.sh: ") + reason);
    // The next document of the executor has its own budget.
    QVERIFY(SettingDownload(&executor, 8, QStringLiteral("script"), kUrl).admit(&result));
}

QTEST_GUILESS_MAIN(TstSettingDownload)
#include "tst_settingdownload.moc"
