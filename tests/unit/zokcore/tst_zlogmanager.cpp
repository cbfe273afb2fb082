#include "common/external/zlogmanager.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

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

    if (logFile != QLatin1String("-"))
        ZLogManager::setlogFilePath(logFile);
    ZLogManager::registerConsoleAppender();
    ZLogManager::registerFileAppender();

    if (scenario == QLatin1String("worker")) {
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
