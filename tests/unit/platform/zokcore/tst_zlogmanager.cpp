#include "zlogmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using Zok::Core::ZLogManager;

namespace {

// The log manager installs a process-wide handler, so every case runs in a
// child of this binary: child <scenario> <log file or "-">.
constexpr char kChildArgument[] = "child";
constexpr int kThreadLines = 500;

constexpr int kWorkerLogLine = __LINE__ + 3;
void logFromWorker()
{
    qInfo() << "worker message" << 42;
}

void logBurst(const QString& tag)
{
    for (int i = 0; i < kThreadLines; ++i)
        qInfo() << "burst" << tag << i;
}

int runChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zoktest"));
    const QString scenario = QString::fromLocal8Bit(argv[2]);
    const QString logFile = QString::fromLocal8Bit(argv[3]);

    // As the daemon does: the directory first, named with a trailing slash.
    if (scenario == QLatin1String("directory")
        && !ZLogManager::makeLogDirectory(QFileInfo(logFile).path() + QLatin1Char('/')))
        return 3;
    if (logFile != QLatin1String("-"))
        ZLogManager::setlogFilePath(logFile);
    ZLogManager::registerConsoleAppender();
    ZLogManager::registerFileAppender();

    if (scenario == QLatin1String("worker") || scenario == QLatin1String("directory")) {
        QScopedPointer<QThread> thread(QThread::create(&logFromWorker));
        thread->start();
        thread->wait();
    } else if (scenario == QLatin1String("levels")) {
        qDebug() << "at debug";
        qInfo() << "at info";
        qWarning() << "at warning";
        qCritical() << "at critical";
    } else if (scenario == QLatin1String("threads")) {
        QScopedPointer<QThread> one(QThread::create(&logBurst, QStringLiteral("a")));
        QScopedPointer<QThread> two(QThread::create(&logBurst, QStringLiteral("b")));
        one->start();
        two->start();
        one->wait();
        two->wait();
    }
    return 0;
}

struct ChildResult
{
    int exitCode = -1;
    QString console;
};

ChildResult runScenario(const QString& scenario, const QString& logFile,
                        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(kChildArgument), scenario, logFile});
    ChildResult result;
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(5000);
        return result;
    }
    result.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    result.console = QString::fromUtf8(child.readAllStandardError());
    return result;
}

constexpr uid_t kNobody = 65534;

// The scenario under a chosen umask and, for asUser, as the unprivileged
// "nobody" instead of root.
int runWithUmask(const QString& umask, bool asUser, const QString& logFile,
                 const QString& scenario = QStringLiteral("worker"))
{
    QStringList command = {QStringLiteral("-c"), QStringLiteral("umask \"$1\"; shift; exec \"$@\""),
                           QStringLiteral("sh"), umask};
    if (asUser)
        command << QStringLiteral("setpriv") << QStringLiteral("--reuid=%1").arg(kNobody)
                << QStringLiteral("--regid=%1").arg(kNobody) << QStringLiteral("--clear-groups");
    command << QCoreApplication::applicationFilePath() << QString::fromLatin1(kChildArgument)
            << scenario << logFile;
    QProcess child;
    child.start(QStringLiteral("/bin/sh"), command);
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(5000);
        return -1;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}

struct stat statOf(const QString& path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        status.st_mode = 0;
    return status;
}

gid_t admGroup()
{
    const struct group* adm = ::getgrnam("adm");
    return adm ? adm->gr_gid : static_cast<gid_t>(-1);
}

QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QRegularExpression lineFormat(const QString& level, const QString& rest)
{
    return QRegularExpression(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[%1\\] default .+\\.cpp:\\d+ .+: %2$")
            .arg(level, rest),
        QRegularExpression::MultilineOption);
}

} // namespace

class TestZLogManager : public QObject
{
    Q_OBJECT

private slots:
    void workerLineReachesConsoleAndFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // The directory of the log file does not exist yet.
        const QString logFile = dir.filePath(QStringLiteral("var/log/app/app.log"));
        const ChildResult result = runScenario(QStringLiteral("worker"), logFile);
        QCOMPARE(result.exitCode, 0);

        const QRegularExpression expected(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[info\\] default "
                           "\\S*tst_zlogmanager\\.cpp:%1 void \\{anonymous\\}::logFromWorker\\(\\): "
                           "worker message 42$")
                .arg(kWorkerLogLine),
            QRegularExpression::MultilineOption);
        QVERIFY2(expected.match(result.console).hasMatch(), qPrintable(result.console));
        const QString file = readText(logFile);
        QVERIFY2(expected.match(file).hasMatch(), qPrintable(file));
    }

    void fileIsAppended()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString logFile = dir.filePath(QStringLiteral("app.log"));
        QFile file(logFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("earlier line\n");
        file.close();

        QCOMPARE(runScenario(QStringLiteral("worker"), logFile).exitCode, 0);
        QCOMPARE(runScenario(QStringLiteral("worker"), logFile).exitCode, 0);
        const QString text = readText(logFile);
        QVERIFY(text.startsWith(QStringLiteral("earlier line\n")));
        QCOMPARE(text.count(QStringLiteral("worker message 42")), 2);
    }

    void levels_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("message");
        QTest::newRow("debug") << "debug" << "at debug";
        QTest::newRow("info") << "info" << "at info";
        QTest::newRow("warning") << "warning" << "at warning";
        QTest::newRow("critical") << "critical" << "at critical";
    }

    void levels()
    {
        QFETCH(QString, level);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString logFile = dir.filePath(QStringLiteral("levels.log"));
        const ChildResult result = runScenario(QStringLiteral("levels"), logFile);
        QCOMPARE(result.exitCode, 0);
        const QRegularExpression expected = lineFormat(level, message);
        QVERIFY2(expected.match(readText(logFile)).hasMatch(), qPrintable(readText(logFile)));
        QVERIFY(expected.match(result.console).hasMatch());
    }

    void linesFromTwoThreadsStayWhole()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString logFile = dir.filePath(QStringLiteral("threads.log"));
        QCOMPARE(runScenario(QStringLiteral("threads"), logFile).exitCode, 0);

        const QStringList lines = readText(logFile).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2 * kThreadLines);
        const QRegularExpression whole = lineFormat(QStringLiteral("info"),
                                                    QStringLiteral("burst \"[ab]\" \\d+"));
        for (const QString& line : lines)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
    }

    void defaultFileInUserDataDir()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        QCOMPARE(runScenario(QStringLiteral("worker"), QStringLiteral("-"), env).exitCode, 0);
        const QString text = readText(dir.filePath(QStringLiteral("data/zok/log/zoktest.log")));
        QVERIFY2(text.contains(QStringLiteral("worker message 42")), qPrintable(text));
    }

    void modesWhateverTheUmask_data()
    {
        QTest::addColumn<QString>("umask");
        QTest::addColumn<bool>("asUser");
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<int>("directoryMode");
        QTest::addColumn<int>("fileMode");
        QTest::newRow("root, umask 000") << "000" << false << false << 0750 << 0640;
        QTest::newRow("root, umask 022") << "022" << false << false << 0750 << 0640;
        QTest::newRow("root, umask 077") << "077" << false << false << 0750 << 0640;
        QTest::newRow("root, file left world-writable") << "022" << false << true << 0750 << 0640;
        QTest::newRow("user, umask 000") << "000" << true << false << 0700 << 0600;
        QTest::newRow("user, umask 022") << "022" << true << false << 0700 << 0600;
        QTest::newRow("user, file left world-writable") << "000" << true << true << 0700 << 0600;
    }

    // Root's logs belong to root and the group adm, a user's to the user alone.
    void modesWhateverTheUmask()
    {
        QFETCH(QString, umask);
        QFETCH(bool, asUser);
        QFETCH(bool, fileExists);
        QFETCH(int, directoryMode);
        QFETCH(int, fileMode);
        if (::geteuid() != 0)
            QSKIP("needs root to compare root's and a user's log files");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const uid_t owner = asUser ? kNobody : 0;
        const QString home = dir.filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkdir(home));
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        QCOMPARE(::chown(QFile::encodeName(home).constData(), owner, owner), 0);
        const QString logDir = home + QStringLiteral("/log/app");
        const QString logFile = logDir + QStringLiteral("/app.log");
        if (fileExists) {
            QVERIFY(QDir().mkpath(logDir));
            QCOMPARE(::chown(QFile::encodeName(logDir).constData(), owner, owner), 0);
            QFile old(logFile);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.close();
            QCOMPARE(::chmod(QFile::encodeName(logFile).constData(), 0666), 0);
            QCOMPARE(::chown(QFile::encodeName(logFile).constData(), owner, owner), 0);
        }

        QCOMPARE(runWithUmask(umask, asUser, logFile), 0);
        QVERIFY2(readText(logFile).contains(QStringLiteral("worker message 42")),
                 qPrintable(logFile));

        const struct stat file = statOf(logFile);
        QCOMPARE(int(file.st_mode & 07777), fileMode);
        QCOMPARE(file.st_uid, owner);
        const gid_t adm = admGroup();
        if (!asUser && adm != static_cast<gid_t>(-1))
            QCOMPARE(file.st_gid, adm);
        if (asUser)
            QCOMPARE(file.st_gid, owner);
        if (!fileExists) {
            const struct stat directory = statOf(logDir);
            QCOMPARE(int(directory.st_mode & 07777), directoryMode);
            QCOMPARE(directory.st_uid, owner);
            if (!asUser && adm != static_cast<gid_t>(-1))
                QCOMPARE(directory.st_gid, adm);
        }
    }

    void directoryMadeBeforeTheFile()
    {
        if (::geteuid() != 0)
            QSKIP("needs root for the group adm");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString logDir = dir.filePath(QStringLiteral("var/log/app"));
        const QString logFile = logDir + QStringLiteral("/app.log");
        QCOMPARE(runWithUmask(QStringLiteral("022"), false, logFile, QStringLiteral("directory")),
                 0);
        QCOMPARE(int(statOf(logDir).st_mode & 07777), 0750);
        if (admGroup() != static_cast<gid_t>(-1))
            QCOMPARE(statOf(logDir).st_gid, admGroup());
        // The parents are ordinary directories.
        QCOMPARE(int(statOf(dir.filePath(QStringLiteral("var/log"))).st_mode & 07777), 0755);
        QVERIFY(readText(logFile).contains(QStringLiteral("worker message 42")));
    }

    void unopenableFileStillLogsToConsole()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString blocker = dir.filePath(QStringLiteral("plain"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        const ChildResult result =
            runScenario(QStringLiteral("worker"), blocker + QStringLiteral("/sub/app.log"));
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.console.contains(QStringLiteral("cannot create log directory")),
                 qPrintable(result.console));
        QVERIFY(result.console.contains(QStringLiteral("worker message 42")));
        QVERIFY(!QFile::exists(blocker + QStringLiteral("/sub/app.log")));
    }
};

int main(int argc, char** argv)
{
    if (argc == 4 && qstrcmp(argv[1], kChildArgument) == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestZLogManager test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_zlogmanager.moc"
