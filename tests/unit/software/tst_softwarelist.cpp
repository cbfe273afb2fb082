#include "labsupport.h"
#include "software_list.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using vorn::test::LogCapture;

namespace {

QJsonArray parse(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).array();
}

} // namespace

class TestSoftwareList : public QObject
{
    Q_OBJECT

private slots:
    void save_data();
    void save();
    void sameArrayTwiceLeavesFileUnchanged();
    void writesCompactFileWithItsDirectory();
    void unwritableListIsReported();

private:
    QTemporaryDir m_dir;
};

void TestSoftwareList::save_data()
{
    QTest::addColumn<QByteArray>("stored"); // null: no file
    QTest::addColumn<QByteArray>("packages");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("missing file")
        << QByteArray() << QByteArray(R"([{"package_name":"a","architecture":"amd64","version":"1"}])")
        << QByteArray(R"([{"architecture":"amd64","installed_type":1,"package_name":"a","version":"1"}])");
    QTest::newRow("file not an array")
        << QByteArray(R"({"package_name":"old"})") << QByteArray(R"([{"package_name":"a"}])")
        << QByteArray(R"([{"installed_type":1,"package_name":"a"}])");
    QTest::newRow("new version appended")
        << QByteArray(R"([{"architecture":"amd64","installed_type":1,"package_name":"a","version":"1"}])")
        << QByteArray(R"([{"package_name":"a","architecture":"amd64","version":"2"}])")
        << QByteArray(R"([{"architecture":"amd64","installed_type":1,"package_name":"a","version":"1"},)"
                      R"({"architecture":"amd64","installed_type":1,"package_name":"a","version":"2"}])");
    QTest::newRow("other architecture appended")
        << QByteArray(R"([{"architecture":"amd64","installed_type":1,"package_name":"a","version":"1"}])")
        << QByteArray(R"([{"package_name":"a","architecture":"arm64","version":"1"}])")
        << QByteArray(R"([{"architecture":"amd64","installed_type":1,"package_name":"a","version":"1"},)"
                      R"({"architecture":"arm64","installed_type":1,"package_name":"a","version":"1"}])");
    QTest::newRow("duplicates within one array all appended")
        << QByteArray("[]")
        << QByteArray(R"([{"package_name":"a","version":"1"},{"package_name":"a","version":"1"}])")
        << QByteArray(R"([{"installed_type":1,"package_name":"a","version":"1"},)"
                      R"({"installed_type":1,"package_name":"a","version":"1"}])");
    QTest::newRow("other members kept, non-string name stored")
        << QByteArray() << QByteArray(R"([{"package_name":5,"size":12}])")
        << QByteArray(R"([{"installed_type":1,"package_name":5,"size":12}])");
    QTest::newRow("version compared as JSON value")
        << QByteArray(R"([{"installed_type":1,"package_name":"a","version":"1"}])")
        << QByteArray(R"([{"package_name":"a","version":1}])")
        << QByteArray(R"([{"installed_type":1,"package_name":"a","version":"1"},)"
                      R"({"installed_type":1,"package_name":"a","version":1}])");
    QTest::newRow("empty array rewrites the stored list")
        << QByteArray(R"([ {"installed_type":1, "package_name":"a"} ])") << QByteArray("[]")
        << QByteArray(R"([{"installed_type":1,"package_name":"a"}])");
}

void TestSoftwareList::save()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, packages);
    QFETCH(QByteArray, expected);

    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".list");
    if (!stored.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(stored);
    }
    QVERIFY(SoftwareList::save(path, parse(packages)));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
}

void TestSoftwareList::sameArrayTwiceLeavesFileUnchanged()
{
    const QString path = m_dir.filePath("twice.list");
    const QJsonArray packages = parse(R"([{"package_name":"a","architecture":"amd64","version":"1"},
                                          {"package_name":"b","architecture":"all","version":"2"}])");
    QVERIFY(SoftwareList::save(path, packages));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray first = file.readAll();
    file.close();
    QCOMPARE(QJsonDocument::fromJson(first).array().size(), 2);

    QVERIFY(SoftwareList::save(path, packages));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), first);
}

void TestSoftwareList::writesCompactFileWithItsDirectory()
{
    const QString path = m_dir.filePath("var/lib/qarg/software_list.list");
    QVERIFY(SoftwareList::save(path, parse(R"([{"package_name":"a"}])")));
    const QFileInfo info(path);
    QVERIFY(info.exists());
    QCOMPARE(int(info.permissions() & 0x7777),
             int(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
                 | QFile::ReadGroup | QFile::ReadOther));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QVERIFY(!data.contains('\n') && !data.contains(' '));
}

void TestSoftwareList::unwritableListIsReported()
{
    // Its directory would have to be made below a regular file.
    const QString blocker = m_dir.filePath("blocker");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    LogCapture log;
    QVERIFY(!SoftwareList::save(blocker + "/qarg/software_list.list",
                                parse(R"([{"package_name":"a"}])")));
    const QStringList lines = log.linesWith("---faild to save qarg app info---: ");
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().contains("package_name"));
}

QTEST_GUILESS_MAIN(TestSoftwareList)
#include "tst_softwarelist.moc"
