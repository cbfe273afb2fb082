#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/base/fileproxy.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using vorn::base::FileContent;

namespace {

// The state file paths are fixed at load time, so the tests run in a child
// of this binary whose VORN_SYSROOT is a temporary directory.
constexpr char kChildMarker[] = "VORN_FILECONTENT_CHILD";

void writeFile(const QString& path, const QByteArray& data)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

} // namespace

class TestFileContent : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(vorn::kUserinfoPath.startsWith(qEnvironmentVariable("VORN_SYSROOT")));
    }

    void cleanup()
    {
        QFile::remove(vorn::kUserinfoPath);
        QFile::remove(vorn::kAppBlackListPath);
    }

    void writeAtomicCreatesParentsAndReplaces()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("one/two/three/file.json"));
        QVERIFY(FileContent::writeAtomic(path, QByteArrayLiteral("first content")));
        QCOMPARE(FileContent::readAll(path), QByteArrayLiteral("first content"));
        // Readable by all, writable by the owner only.
        QVERIFY(QFileInfo(path).permissions().testFlag(QFileDevice::ReadOther));
        QVERIFY(!QFileInfo(path).permissions().testFlag(QFileDevice::WriteOther));
        QVERIFY(!QFileInfo(path).permissions().testFlag(QFileDevice::WriteGroup));

        QVERIFY(FileContent::writeAtomic(path, QByteArrayLiteral("x"), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QCOMPARE(FileContent::readAll(path), QByteArrayLiteral("x"));
        QCOMPARE(QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());
        // Nothing but the file itself is left in the directory.
        QCOMPARE(QDir(dir.filePath(QStringLiteral("one/two/three")))
                     .entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    void writeAtomicReplacesALinkInsteadOfFollowingIt()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString victim = dir.filePath(QStringLiteral("victim"));
        writeFile(victim, "precious");
        const QString path = dir.filePath(QStringLiteral("policy.json"));
        QVERIFY(QFile::link(victim, path));

        QVERIFY(FileContent::writeAtomic(path, QByteArrayLiteral("{}")));
        QCOMPARE(FileContent::readAll(victim), QByteArrayLiteral("precious"));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(FileContent::readAll(path), QByteArrayLiteral("{}"));
    }

    void writeAtomicFailures()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString blocker = dir.filePath(QStringLiteral("plain"));
        writeFile(blocker, "x");

        QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("create path failed, path: \"%1/sub\"").arg(blocker)));
        QVERIFY(!FileContent::writeAtomic(blocker + QStringLiteral("/sub/file"), "data"));

        // A directory in the way of the file itself: nothing half-written is left behind.
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("isdir"))));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^rename failed: .*isdir\"")));
        QVERIFY(!FileContent::writeAtomic(dir.filePath(QStringLiteral("isdir")), "data"));
        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(left, QStringList{QStringLiteral("plain")});
    }

    void unfinishedWriteNames()
    {
        QVERIFY(FileContent::isUnfinishedWrite(QStringLiteral(".7_3.writing-Ab12Cd")));
        QVERIFY(!FileContent::isUnfinishedWrite(QStringLiteral("7_3.writing-Ab12Cd")));
        QVERIFY(!FileContent::isUnfinishedWrite(QStringLiteral(".7_3.1")));
        QVERIFY(!FileContent::isUnfinishedWrite(QStringLiteral("1733600000")));
    }

    void readAllMissing()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^open file failed, file: .*nothing\" , mode: .* , exist: false$")));
        QVERIFY(FileContent::readAll(dir.filePath(QStringLiteral("nothing"))).isEmpty());
    }

    void fileProxyReopens()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString first = dir.filePath(QStringLiteral("a"));
        const QString second = dir.filePath(QStringLiteral("b"));
        {
            vorn::base::FileProxy proxy;
            QVERIFY(proxy.open(first, QIODevice::WriteOnly));
            proxy.file().write("one");
            // Reopening flushes and closes the first file.
            QVERIFY(proxy.open(second, QIODevice::WriteOnly));
            QCOMPARE(FileContent::readAll(first), QByteArrayLiteral("one"));
            proxy.file().write("two");
        }
        QCOMPARE(FileContent::readAll(second), QByteArrayLiteral("two"));
    }

    void hostAndPort_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("warning");

        QTest::newRow("string port") << QByteArray("{\"server_host\":\"srv.example\",\"server_port\":\"8443\"}")
                                     << true << "srv.example" << "8443" << QString();
        QTest::newRow("numeric port") << QByteArray("{\"server_host\":\"10.0.0.1\",\"server_port\":443}")
                                      << true << "10.0.0.1" << "443" << QString();
        QTest::newRow("missing port") << QByteArray("{\"server_host\":\"10.0.0.1\"}") << false << "10.0.0.1"
                                      << "unchanged" << "\"getHostAndPort\" can not get json key: \"server_port\"";
        QTest::newRow("missing host") << QByteArray("{\"server_port\":\"1\"}") << false << "unchanged"
                                      << "1" << "\"getHostAndPort\" can not get json key: \"server_host\"";
        QTest::newRow("not json") << QByteArray("garbage") << false << "unchanged" << "unchanged"
                                  << "\"getHostAndPort\" can not get json key: \"server_host\"";
    }

    void hostAndPort()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, ok);
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(QString, warning);

        writeFile(vorn::kUserinfoPath, content);
        QString gotHost = QStringLiteral("unchanged");
        QString gotPort = QStringLiteral("unchanged");
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        QCOMPARE(FileContent::getHostAndPort(gotHost, gotPort), ok);
        QCOMPARE(gotHost, host);
        QCOMPARE(gotPort, port);
    }

    void hostAndPortWithoutFile()
    {
        QString host = QStringLiteral("h");
        QString port = QStringLiteral("p");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^open file failed")));
        QTest::ignoreMessage(QtWarningMsg, "\"getHostAndPort\" can not get json key: \"server_host\"");
        QTest::ignoreMessage(QtWarningMsg, "\"getHostAndPort\" can not get json key: \"server_port\"");
        QVERIFY(!FileContent::getHostAndPort(host, port));
        QCOMPARE(host, QStringLiteral("h"));
        QCOMPARE(port, QStringLiteral("p"));
    }

    void machineIdCache()
    {
        FileContent* content = FileContent::instace();
        QCOMPARE(FileContent::instace(), content);
        bool ok = true;

        // Nothing cached and only white space in the file.
        writeFile(vorn::kMachineidPath, " \n\t ");
        QCOMPARE(content->getMachineID(&ok, false), QString());
        QVERIFY(!ok);

        writeFile(vorn::kMachineidPath, "  machine-1\n");
        QCOMPARE(content->getMachineID(&ok, false), QStringLiteral("machine-1"));
        QVERIFY(ok);

        // Cached: a changed file is not read again without a reload.
        writeFile(vorn::kMachineidPath, "machine-2");
        QCOMPARE(content->getMachineID(&ok, false), QStringLiteral("machine-1"));
        QVERIFY(ok);
        QCOMPARE(content->getMachineID(nullptr, false), QStringLiteral("machine-1"));

        // White space only on reload keeps the earlier value.
        writeFile(vorn::kMachineidPath, "   \n");
        QCOMPARE(content->getMachineID(&ok, true), QStringLiteral("machine-1"));
        QVERIFY(!ok);

        writeFile(vorn::kMachineidPath, QByteArray("machine-3\0tail", 14));
        QCOMPARE(content->getMachineID(&ok, true), QStringLiteral("machine-3"));
        QVERIFY(ok);
    }

    void blackList_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("names");

        QTest::newRow("empty parts") << QByteArray("a,,b,") << QStringList{"a", "b"};
        QTest::newRow("trailing line break") << QByteArray("vim,emacs\n") << QStringList{"vim", "emacs"};
        QTest::newRow("spaces and blank part") << QByteArray(" x , y\n,\n") << QStringList{"x", "y"};
        QTest::newRow("case kept") << QByteArray("App,app") << QStringList{"App", "app"};
        QTest::newRow("ends at NUL") << QByteArray("a\0b,c", 5) << QStringList{"a"};
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("utf-8") << QByteArray("\xe5\x90\x8d,b") << QStringList{QStringLiteral("名"), "b"};
    }

    void blackList()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, names);
        writeFile(vorn::kAppBlackListPath, content);
        QCOMPARE(FileContent::getAppBlackList(), names);
    }

    void blackListMissingFile()
    {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^open file failed")));
        QVERIFY(FileContent::getAppBlackList().isEmpty());
    }
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(kChildMarker)) {
        QCoreApplication app(argc, argv);
        TestFileContent test;
        return QTest::qExec(&test, argc, argv);
    }

    QCoreApplication app(argc, argv);
    QTemporaryDir sysroot;
    if (!sysroot.isValid())
        return 1;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VORN_SYSROOT"), sysroot.path());
    env.insert(QString::fromLatin1(kChildMarker), QStringLiteral("1"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), app.arguments().mid(1));
    if (!child.waitForFinished(240000)) {
        child.kill();
        child.waitForFinished();
        return 1;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

#include "tst_filecontent.moc"
