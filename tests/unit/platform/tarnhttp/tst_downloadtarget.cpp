#include "downloadtarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TstDownloadTarget : public QObject
{
    Q_OBJECT

private slots:
    void commitCreatesFile();
    void commitKeepsModeOfReplacedFile();
    void discardLeavesTargetAlone_data();
    void discardLeavesTargetAlone();
    void replacesLinkInsteadOfFollowing();
    void openFails_data();
    void openFails();
};

void TstDownloadTarget::commitCreatesFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("a.png"));
    DownloadTarget file(target);
    QVERIFY2(file.open(), qPrintable(file.error()));
    // Private while it is being written, and beside the target.
    QCOMPARE(modeOf(file.tempPath()), mode_t(0600));
    QCOMPARE(QFileInfo(file.tempPath()).absolutePath(), QFileInfo(target).absolutePath());
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(file.write("hello ", 6));
    QVERIFY(file.write("world", 5));
    QVERIFY2(file.commit(), qPrintable(file.error()));
    QCOMPARE(readAll(target), QByteArray("hello world"));
    QCOMPARE(modeOf(target), mode_t(0644));
    QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("a.png")});
}

void TstDownloadTarget::commitKeepsModeOfReplacedFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("a.png"));
    QVERIFY(writeFile(target, "old"));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
    DownloadTarget file(target);
    QVERIFY(file.open());
    QVERIFY(file.write("new", 3));
    QVERIFY(file.commit());
    QCOMPARE(readAll(target), QByteArray("new"));
    QCOMPARE(modeOf(target), mode_t(0640));
}

void TstDownloadTarget::discardLeavesTargetAlone_data()
{
    QTest::addColumn<bool>("explicitDiscard");
    QTest::newRow("discard") << true;
    QTest::newRow("destroyed without commit") << false;
}

void TstDownloadTarget::discardLeavesTargetAlone()
{
    QFETCH(bool, explicitDiscard);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("a.png"));
    QVERIFY(writeFile(target, "old"));
    {
        DownloadTarget file(target);
        QVERIFY(file.open());
        QVERIFY(file.write("partial", 7));
        QCOMPARE(entries(dir.path()).size(), 2);
        if (explicitDiscard)
            file.discard();
    }
    QCOMPARE(readAll(target), QByteArray("old"));
    QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("a.png")});
}

void TstDownloadTarget::replacesLinkInsteadOfFollowing()
{
    // A link planted at the target must not redirect the write elsewhere.
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    QVERIFY(dir.isValid() && elsewhere.isValid());
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(victim, "precious"));
    const QString target = dir.filePath(QStringLiteral("a.png"));
    QVERIFY(QFile::link(victim, target));

    DownloadTarget file(target);
    QVERIFY(file.open());
    QVERIFY(file.write("downloaded", 10));
    QVERIFY(file.commit());
    QVERIFY(!QFileInfo(target).isSymLink());
    QCOMPARE(readAll(target), QByteArray("downloaded"));
    QCOMPARE(readAll(victim), QByteArray("precious"));
}

void TstDownloadTarget::openFails_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing directory") << "absent/a.png";
    QTest::newRow("target is a directory") << "sub";
    QTest::newRow("no file name") << "sub/";
}

void TstDownloadTarget::openFails()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    DownloadTarget file(dir.filePath(relative));
    QVERIFY(!file.open());
    QVERIFY(!file.error().isEmpty());
    QVERIFY(!file.write("x", 1));
    QVERIFY(!file.commit());
    QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("sub")});
    QCOMPARE(entries(dir.filePath(QStringLiteral("sub"))), QStringList{});
}

QTEST_GUILESS_MAIN(TstDownloadTarget)
#include "tst_downloadtarget.moc"
