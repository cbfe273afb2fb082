#include "shell_command.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

bool isAlive(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // "pid (comm) state ...": a zombie only waits for init to reap it.
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end >= 0 && line.mid(end + 2, 1) != "Z";
}

} // namespace

class TestShellCommand : public QObject
{
    Q_OBJECT

private slots:
    void output_data();
    void output();
    void commandStillRunningIsKilledWithItsGroup();
};

void TestShellCommand::output_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");

    QTest::newRow("standard output only") << "echo out; echo err >&2; exit 3" << "out\n";
    QTest::newRow("up to the first NUL") << "printf 'ab\\0cd'" << "ab";
    QTest::newRow("input ends at once") << "cat; echo $LC_ALL" << "C\n";
    QTest::newRow("background child not waited for") << "sleep 2 & echo quick" << "quick\n";
}

void TestShellCommand::output()
{
    QFETCH(QString, command);
    QFETCH(QString, expected);
    const ShellCommand::Result result = ShellCommand::run(command, 5000);
    QVERIFY(!result.timedOut);
    QCOMPARE(ShellCommand::resultText(command, result, 5000), expected);
}

void TestShellCommand::commandStillRunningIsKilledWithItsGroup()
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("child.pid");
    // A child of the command that would outlive a kill of bash alone.
    const QString command = QStringLiteral("echo started; sleep 60 & echo $! > %1; wait").arg(pidFile);

    QElapsedTimer timer;
    timer.start();
    const ShellCommand::Result result = ShellCommand::run(command, 700);
    QVERIFY(timer.elapsed() < 5000);
    QVERIFY(result.timedOut);
    QCOMPARE(ShellCommand::resultText(command, result, 700),
             QStringLiteral("command timed out after 700 ms: %1\nstarted\n").arg(command));
    QCOMPARE(ShellCommand::resultText(command, {QString(), true, QString()}, 30000),
             QStringLiteral("command timed out after 30 s: %1").arg(command));

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const pid_t child = pid_t(file.readAll().trimmed().toInt());
    QVERIFY(child > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(child), 5000);
}

QTEST_GUILESS_MAIN(TestShellCommand)
#include "tst_shellcommand.moc"
