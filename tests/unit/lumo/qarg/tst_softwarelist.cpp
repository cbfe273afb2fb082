#include "labsupport.h"
#include "software_list.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

class TestSoftwareList : public QObject
{
    Q_OBJECT

private slots:
    void save_data();
    void save();
    void unwritableListIsReported();

private:
    QTemporaryDir m_dir;
};

void TestSoftwareList::save_data()
{
    QTest::addColumn<QByteArray>("stored"); // null: no file
    QTest::addColumn<QByteArray>("packages");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray a1 = R"({"architecture":"amd64","installed_type":1,"package_name":"a","version":"1"})";
    QTest::newRow("missing file")
        << QByteArray() << QByteArray(R"([{"package_name":"a","architecture":"amd64","version":"1"}])")
        << "[" + a1 + "]";
    QTest::newRow("file not an array")
        << QByteArray(R"({"package_name":"old"})") << QByteArray(R"([{"package_name":"b","size":3}])")
        << QByteArray(R"([{"installed_type":1,"package_name":"b","size":3}])");
    QTest::newRow("same array again, rewritten compact")
        << "[ " + a1 + " ]\n" << QByteArray(R"([{"package_name":"a","architecture":"amd64","version":"1"}])")
        << "[" + a1 + "]";
    QTest::newRow("new version appended")
        << "[" + a1 + "]" << QByteArray(R"([{"package_name":"a","architecture":"amd64","version":"2"}])")
        << "[" + a1 + R"(,{"architecture":"amd64","installed_type":1,"package_name":"a","version":"2"}])";
    QTest::newRow("duplicates within one array all appended")
        << QByteArray("[]") << QByteArray(R"([{"package_name":"a","version":1},{"package_name":"a","version":1}])")
        << QByteArray(R"([{"installed_type":1,"package_name":"a","version":1},)"
                      R"({"installed_type":1,"package_name":"a","version":1}])");
}

void TestSoftwareList::save()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, packages);
    QFETCH(QByteArray, expected);

    // Each row in a directory of its own that the first save creates.
    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_')
                                        + "/qarg/software_list.list");
    if (!stored.isNull()) {
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(stored);
    }
    QVERIFY(SoftwareList::save(path, QJsonDocument::fromJson(packages).array()));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
    QCOMPARE(int(file.permissions()), int(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                                          | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther));
}

void TestSoftwareList::unwritableListIsReported()
{
    // Its directory would have to be made below a regular file.
    QFile blocker(m_dir.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    vorn::test::LogCapture log;
    QVERIFY(!SoftwareList::save(blocker.fileName() + "/software_list.list",
                                QJsonDocument::fromJson(R"([{"package_name":"a"}])").array()));
    const QStringList lines = log.linesWith("---faild to save qarg app info---: ");
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().contains("package_name"));
}

QTEST_GUILESS_MAIN(TestSoftwareList)
#include "tst_softwarelist.moc"
