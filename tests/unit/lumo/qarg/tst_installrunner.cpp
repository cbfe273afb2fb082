// Installations with real processes: one run here, and those a qarg that stopped meanwhile
// left behind, running or ended. No service manager runs in the test's sysroot.

#include "install_runner.h"
#include "testsysroot.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

using vorn::base::ChildResult;

class TestInstallRunner : public QObject
{
    Q_OBJECT

private slots:
    void result_data();
    void result();
    void oneAtATime();
};

namespace {

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

} // namespace

void TestInstallRunner::result_data()
{
    QTest::addColumn<QString>("left");      // what an earlier qarg left: "", "ended", "gone", "running"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("ranHere");      // the command was started by this runner

    QTest::newRow("started here") << "" << 3 << QByteArray("installed\n") << true;
    QTest::newRow("ended while qarg was away") << "ended" << 0 << QByteArray("earlier\n") << false;
    QTest::newRow("ended without a status while qarg was away") << "gone" << -1 << QByteArray() << false;
    QTest::newRow("still running from an earlier qarg") << "running" << 0 << QByteArray("late\n") << false;
}

void TestInstallRunner::result()
{
    QFETCH(QString, left);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(bool, ranHere);

    QVERIFY(!InstallRunner::serviceManagerRuns());
    QTemporaryDir state;
    QVERIFY(state.isValid());
    const QString dir = state.filePath(QStringLiteral("abc123"));
    const QString marker = state.filePath(QStringLiteral("ran"));
    QProcess earlier;
    if (!left.isEmpty()) {
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(writeFile(dir + "/command", "install\n"));
    }
    if (left == QLatin1String("ended")) {
        QVERIFY(writeFile(dir + "/output", "earlier\n"));
        QVERIFY(writeFile(dir + "/status", "0\n"));
    } else if (left == QLatin1String("gone")) {
        // A process id used again by another program (this test) is not the installation's.
        QVERIFY(writeFile(dir + "/pid", QByteArray::number(qint64(::getpid())) + '\n'));
    } else if (left == QLatin1String("running")) {
        earlier.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"),
                       QStringLiteral("echo $$ >\"$0/pid\"; sleep 0.5; echo late >\"$0/output\"; "
                                      "echo 0 >\"$0/status\""),
                       dir});
        QVERIFY(earlier.waitForStarted());
        QTRY_VERIFY(QFile::exists(dir + "/pid"));
    }

    InstallRunner runner(state.path());
    QList<ChildResult> results;
    runner.run(QStringLiteral("abc123"),
               QStringLiteral("/bin/sh -c \"touch %1; echo installed; exit 3\"").arg(marker),
               [&results](const ChildResult& result) { results.append(result); });
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 10000);
    QCOMPARE(results.first().exitCode, exitCode);
    QCOMPARE(results.first().output, output);
    QCOMPARE(results.first().succeeded(), exitCode == 0);
    QCOMPARE(QFile::exists(marker), ranHere);
    if (left == QLatin1String("gone"))
        QVERIFY(results.first().errorOutput.contains("installation ended without an exit status"));
    // Delivered: nothing kept that a later start could take up again.
    QVERIFY(!QFile::exists(dir));
    earlier.waitForFinished(5000);
}

void TestInstallRunner::oneAtATime()
{
    // dpkg takes one at a time: the second waits for the first to end instead of failing on
    // its lock.
    QTemporaryDir state;
    QVERIFY(state.isValid());
    const QString order = state.filePath(QStringLiteral("order"));
    InstallRunner runner(state.path());
    QStringList ended;
    runner.run(QStringLiteral("first"),
               QStringLiteral("/bin/sh -c \"echo first >>%1; sleep 0.5; echo first-end >>%1\"")
                   .arg(order),
               [&ended](const ChildResult&) { ended.append(QStringLiteral("first")); });
    runner.run(QStringLiteral("second"), QStringLiteral("/bin/sh -c \"echo second >>%1\"").arg(order),
               [&ended](const ChildResult&) { ended.append(QStringLiteral("second")); });
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 10000);
    QCOMPARE(ended, QStringList({QStringLiteral("first"), QStringLiteral("second")}));
    QFile file(order);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("first\nfirst-end\nsecond\n"));
}

QARG_TEST_MAIN_IN_SYSROOT(TestInstallRunner)
#include "tst_installrunner.moc"
