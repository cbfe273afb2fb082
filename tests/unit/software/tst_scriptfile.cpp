#include "script_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Hands out the given numbers in turn, then repeats the last one.
ScriptFile::NameSource numbers(QList<quint32> list)
{
    auto remaining = std::make_shared<QList<quint32>>(std::move(list));
    return [remaining] {
        return remaining->size() > 1 ? remaining->takeFirst() : remaining->first();
    };
}

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
    void init();
    void storesOwnerOnlyScript();
    void plantedLinkIsNeverFollowed_data();
    void plantedLinkIsNeverFollowed();
    void noFreeNameGivesUp();
    void randomNamesAreDistinctDecimalNames();
    void missingDirectoryIsReported();

private:
    QScopedPointer<QTemporaryDir> m_dir;
};

void TestScriptFile::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestScriptFile::storesOwnerOnlyScript()
{
    QString error;
    const QString path =
        ScriptFile::create(m_dir->path(), "echo hi\n", numbers({42}), &error);
    QCOMPARE(path, m_dir->filePath("42.bash"));
    QVERIFY(error.isEmpty());
    QCOMPARE(contentOf(path), QByteArray("echo hi\n"));
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
    QVERIFY(S_ISREG(st.st_mode));
    QCOMPARE(int(st.st_mode & 07777), 0700);
    QCOMPARE(st.st_uid, ::geteuid());
}

void TestScriptFile::plantedLinkIsNeverFollowed_data()
{
    QTest::addColumn<bool>("dangling");
    QTest::newRow("link to an existing file") << false;
    QTest::newRow("dangling link") << true;
}

void TestScriptFile::plantedLinkIsNeverFollowed()
{
    QFETCH(bool, dangling);
    const QString target = m_dir->filePath("target");
    if (!dangling) {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("original");
    }
    const QString planted = m_dir->filePath("7.bash");
    QVERIFY(QFile::link(target, planted));

    QString error;
    const QString path =
        ScriptFile::create(m_dir->path(), "echo new\n", numbers({7, 8}), &error);
    QCOMPARE(path, m_dir->filePath("8.bash"));
    QCOMPARE(contentOf(path), QByteArray("echo new\n"));
    QVERIFY(QFileInfo(planted).isSymLink());
    if (dangling)
        QVERIFY(!QFileInfo::exists(target));
    else
        QCOMPARE(contentOf(target), QByteArray("original"));
}

void TestScriptFile::noFreeNameGivesUp()
{
    QFile taken(m_dir->filePath("3.bash"));
    QVERIFY(taken.open(QIODevice::WriteOnly));
    taken.write("keep");
    taken.close();

    int draws = 0;
    QString error;
    const QString path = ScriptFile::create(
        m_dir->path(), "x", [&draws] { ++draws; return 3u; }, &error);
    QVERIFY(path.isEmpty());
    QCOMPARE(draws, ScriptFile::kMaxAttempts);
    QVERIFY2(error.contains("no free script file name"), qPrintable(error));
    QCOMPARE(contentOf(taken.fileName()), QByteArray("keep"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).size(), 1);
}

void TestScriptFile::randomNamesAreDistinctDecimalNames()
{
    const ScriptFile::NameSource names = ScriptFile::randomNames();
    QSet<QString> paths;
    const QRegularExpression form(QStringLiteral("^[0-9]+\\.bash$"));
    for (int i = 0; i < 20; ++i) {
        QString error;
        const QString path = ScriptFile::create(m_dir->path(), "x", names, &error);
        QVERIFY2(!path.isEmpty(), qPrintable(error));
        QVERIFY2(form.match(QFileInfo(path).fileName()).hasMatch(), qPrintable(path));
        paths.insert(path);
    }
    QCOMPARE(paths.size(), 20);
}

void TestScriptFile::missingDirectoryIsReported()
{
    QString error;
    const QString path =
        ScriptFile::create(m_dir->filePath("missing"), "x", numbers({1}), &error);
    QVERIFY(path.isEmpty());
    QVERIFY2(error.startsWith("cannot create"), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestScriptFile)
#include "tst_scriptfile.moc"
