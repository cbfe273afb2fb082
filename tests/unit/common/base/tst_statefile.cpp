#include "common/shared/statefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using vorn::base::StateFile;

namespace {

const QString kDamagedText = QStringLiteral("test record unreadable, starting afresh:");

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// What the callers check: an object with a numeric "id".
bool hasId(const QJsonObject& content)
{
    return content.value(QStringLiteral("id")).isDouble();
}

} // namespace

// The one policy for a damaged state file: moved aside whole, with a log line,
// never deleted and never trusted; a readable file is handed back as it is.
class TestStateFile : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void writeReplacesAndKeepsTheMode();
};

void TestStateFile::read_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<bool>("checked");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");

    const int missing = int(StateFile::Status::Missing);
    const int ok = int(StateFile::Status::Ok);
    const int damaged = int(StateFile::Status::Damaged);
    QTest::newRow("missing") << QByteArray() << true << missing << QString();
    QTest::newRow("whole") << QByteArray("{\"id\": 7}") << true << ok << QString();
    QTest::newRow("no check") << QByteArray("{\"other\": 1}") << false << ok << QString();
    QTest::newRow("cut off by a crash") << QByteArray("{\"id\": 7, \"na") << true << damaged
                                        << QStringLiteral("unterminated string");
    QTest::newRow("zeroes of a lost write") << QByteArray(16, '\0') << true << damaged
                                            << QStringLiteral("illegal value");
    QTest::newRow("an array") << QByteArray("[1, 2]") << true << damaged
                              << QStringLiteral("not a JSON object");
    QTest::newRow("refused by the check") << QByteArray("{\"id\": \"seven\"}") << true << damaged
                                          << QStringLiteral("content not understood");
}

void TestStateFile::read()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, checked);
    QFETCH(int, status);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("record.json"));
    const QString aside = path + StateFile::kDamagedSuffix;
    if (!content.isEmpty())
        writeFile(path, content);
    // An earlier damaged file gives way to the newer one.
    writeFile(aside, "older damage");

    const StateFile file(path, kDamagedText);
    if (status == int(StateFile::Status::Damaged))
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("%1 \"%2\" \"%3\" moved aside to \"%4\"")
                                            .arg(kDamagedText, path, reason, aside)));
    StateFile::Status got = StateFile::Status::Ok;
    const QJsonObject object =
        file.read(&got, checked ? StateFile::Check(hasId) : StateFile::Check());

    QCOMPARE(int(got), status);
    if (status == int(StateFile::Status::Ok)) {
        QCOMPARE(object, QJsonDocument::fromJson(content).object());
        QCOMPARE(contentOf(path), content);
        QCOMPARE(contentOf(aside), QByteArray("older damage"));
    } else if (status == int(StateFile::Status::Damaged)) {
        QVERIFY(object.isEmpty());
        QVERIFY(!QFileInfo::exists(path));
        // Kept whole for whoever looks into it later.
        QCOMPARE(contentOf(aside), content);
    } else {
        QVERIFY(object.isEmpty());
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(contentOf(aside), QByteArray("older damage"));
    }
}

void TestStateFile::writeReplacesAndKeepsTheMode()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("sub/record.json"));
    const StateFile file(path, kDamagedText, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    QVERIFY(file.write(QJsonObject{{QStringLiteral("id"), 1}}));
    QVERIFY(file.write(QJsonObject{{QStringLiteral("id"), 2}}, QJsonDocument::Compact));
    QCOMPARE(contentOf(path), QByteArray("{\"id\":2}"));
    QCOMPARE(QFileInfo(path).permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
             QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    StateFile::Status got = StateFile::Status::Damaged;
    QCOMPARE(file.read(&got, hasId).value(QStringLiteral("id")).toInt(), 2);
    QCOMPARE(int(got), int(StateFile::Status::Ok));
}

QTEST_GUILESS_MAIN(TestStateFile)
#include "tst_statefile.moc"
