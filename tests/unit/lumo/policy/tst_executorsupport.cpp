#include "labsupport.h"
#include "lumo/policy/executor_support.h"
#include "lumo/policy/policy_queue.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

using vorn::test::LogCapture;

namespace {
const ExecutorSupport::WaitTexts kTexts{"-----counter: ", ":total: ", "---elapsed:"};
} // namespace

class TestExecutorSupport : public QObject
{
    Q_OBJECT

private slots:
    void waitEnds_data();
    void waitEnds();
    void stopEndsResultWaitAndQueueWait();
};

void TestExecutorSupport::waitEnds_data()
{
    QTest::addColumn<int>("counter");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::newRow("nothing to wait for: one pause")
        << 0 << 0 << 60000 << int(ExecutorSupport::WaitEnd::AllResults)
        << "-----counter:  0 :total:  0" << 450 << 1000;
    QTest::newRow("all results") << 3 << 3 << 60000 << int(ExecutorSupport::WaitEnd::AllResults)
                                 << "-----counter:  3 :total:  3" << 450 << 1000;
    QTest::newRow("more results than settings is not all")
        << 4 << 3 << 1200 << int(ExecutorSupport::WaitEnd::TimeLimit) << "---elapsed:" << 1200
        << 2500;
    QTest::newRow("missing result: time limit")
        << 1 << 2 << 700 << int(ExecutorSupport::WaitEnd::TimeLimit) << "---elapsed:" << 700 << 1500;
}

void TestExecutorSupport::waitEnds()
{
    QFETCH(int, counter);
    QFETCH(int, total);
    QFETCH(int, limitMs);
    QFETCH(int, end);
    QFETCH(QString, logged);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    LogCapture log;
    ExecutorSupport support;
    const std::atomic<int> done{counter};
    const std::atomic<int> expected{total};
    QElapsedTimer stopwatch;
    stopwatch.start();
    QCOMPARE(int(support.waitForResults(done, expected, stopwatch, limitMs, kTexts)), end);
    QVERIFY2(stopwatch.elapsed() >= minMs && stopwatch.elapsed() <= maxMs,
             qPrintable(QString::number(stopwatch.elapsed())));
    QCOMPARE(log.count(logged), 1);
}

void TestExecutorSupport::stopEndsResultWaitAndQueueWait()
{
    ExecutorSupport support;
    PolicyQueue queue;
    const std::atomic<int> done{0};
    const std::atomic<int> expected{1};
    std::atomic<int> end{-1};
    std::atomic<bool> leftQueue{false};
    std::atomic<bool> waiting{false};
    QScopedPointer<QThread> thread(QThread::create([&] {
        QElapsedTimer stopwatch;
        stopwatch.start();
        waiting = true;
        end = int(support.waitForResults(done, expected, stopwatch, 60000, kTexts));
        PolicyInfo info;
        leftQueue = !queue.popPolicy(info);
    }));
    thread->start();
    QTRY_VERIFY(waiting.load());
    QVERIFY(!support.isStopping());

    QElapsedTimer timer;
    timer.start();
    support.stop(thread.data(), &queue);
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(thread->isFinished());
    QCOMPARE(end.load(), int(ExecutorSupport::WaitEnd::Stopped));
    QVERIFY(leftQueue.load());
    QVERIFY(support.isStopping());
}

QTEST_GUILESS_MAIN(TestExecutorSupport)
#include "tst_executorsupport.moc"
