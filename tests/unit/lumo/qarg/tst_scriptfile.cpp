#include "script_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestScriptFile : public QObject
{
    Q_OBJECT

private slots:
    void takenNameIsNeverUsed_data();
    void takenNameIsNeverUsed();
    void noFreeNameGivesUp();
};

void TestScriptFile::takenNameIsNeverUsed_data()
{
    QTest::addColumn<QString>("planted"); // what is at 7.bash already
    QTest::newRow("free") << QString();
    QTest::newRow("link to a file") << "link";
    QTest::newRow("dangling link") << "dangling";
}

void TestScriptFile::takenNameIsNeverUsed()
{
    QFETCH(QString, planted);
    QTemporaryDir dir;
    const QString target = dir.filePath("target");
    if (planted == "link") {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("original");
    }
    if (!planted.isEmpty())
        QVERIFY(QFile::link(target, dir.filePath("7.bash")));

    QList<quint32> numbers{7, 8};
    QString error;
    const QString path = ScriptFile::create(dir.path(), "echo new\n",
                                            [&numbers] { return numbers.takeFirst(); }, &error);
    QCOMPARE(path, dir.filePath(planted.isEmpty() ? "7.bash" : "8.bash"));
    QCOMPARE(contentOf(path), QByteArray("echo new\n"));
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
    QVERIFY(S_ISREG(st.st_mode));
    QCOMPARE(int(st.st_mode & 07777), 0700);
    if (!planted.isEmpty()) {
        QVERIFY(QFileInfo(dir.filePath("7.bash")).isSymLink());
        QCOMPARE(QFileInfo::exists(target), planted == "link");
    }
    if (planted == "link")
        QCOMPARE(contentOf(target), QByteArray("original"));
}

void TestScriptFile::noFreeNameGivesUp()
{
    QTemporaryDir dir;
    QFile taken(dir.filePath("3.bash"));
    QVERIFY(taken.open(QIODevice::WriteOnly));
    taken.close();

    int draws = 0;
    QString error;
    QVERIFY(ScriptFile::create(dir.path(), "x", [&draws] { ++draws; return 3u; }, &error).isEmpty());
    QCOMPARE(draws, ScriptFile::kMaxAttempts);
    QVERIFY2(error.contains("no free script file name"), qPrintable(error));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

QTEST_GUILESS_MAIN(TestScriptFile)
#include "tst_scriptfile.moc"
