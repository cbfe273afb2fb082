#include "labsupport.h"
#include "lumo/policy/policy_executor.h"
#include "lumo/policy/policy_queue.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <functional>

using vorn::test::LogCapture;

namespace {
const PolicyExecutor::WaitTexts kTexts{"-----counter: ", ":total: ", "---elapsed:"};

// An executor without settings whose thread runs `body`: the cases drive its
// wait for results and its stop directly.
class Executor : public PolicyExecutor
{
public:
    explicit Executor(PolicyQueue* queue = nullptr)
        : PolicyExecutor(queue)
    {
    }
    ~Executor() override
    {
        if (isRunning())
            stop();
    }
    using PolicyExecutor::waitForResults;

    std::function<void()> body;

protected:
    void run() override { body(); }
    const CycleTexts& cycleTexts() const override
    {
        static const CycleTexts texts{"", "", kTexts};
        return texts;
    }
    void logStep(Step, const PolicyInfo&, int, const QString&) const override {}
};
} // namespace

class TestPolicyExecutor : public QObject
{
    Q_OBJECT

private slots:
    void waitEnds_data();
    void waitEnds();
    void stopEndsResultWaitAndQueueWait();
};

void TestPolicyExecutor::waitEnds_data()
{
    QTest::addColumn<int>("counter");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::newRow("nothing to wait for: one pause")
        << 0 << 0 << 60000 << int(PolicyExecutor::WaitEnd::AllResults)
        << "-----counter:  0 :total:  0" << 450 << 1000;
    QTest::newRow("all results") << 3 << 3 << 60000 << int(PolicyExecutor::WaitEnd::AllResults)
                                 << "-----counter:  3 :total:  3" << 450 << 1000;
    QTest::newRow("more results than settings is not all")
        << 4 << 3 << 1200 << int(PolicyExecutor::WaitEnd::TimeLimit) << "---elapsed:" << 1200
        << 2500;
    QTest::newRow("missing result: time limit")
        << 1 << 2 << 700 << int(PolicyExecutor::WaitEnd::TimeLimit) << "---elapsed:" << 700 << 1500;
}

void TestPolicyExecutor::waitEnds()
{
    QFETCH(int, counter);
    QFETCH(int, total);
    QFETCH(int, limitMs);
    QFETCH(int, end);
    QFETCH(QString, logged);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    LogCapture log;
    Executor support;
    const std::atomic<int> done{counter};
    const std::atomic<int> expected{total};
    QElapsedTimer stopwatch;
    stopwatch.start();
    QCOMPARE(int(support.waitForResults(done, expected, stopwatch, limitMs, kTexts)), end);
    QVERIFY2(stopwatch.elapsed() >= minMs && stopwatch.elapsed() <= maxMs,
             qPrintable(QString::number(stopwatch.elapsed())));
    QCOMPARE(log.count(logged), 1);
}

void TestPolicyExecutor::stopEndsResultWaitAndQueueWait()
{
    PolicyQueue queue;
    Executor support(&queue);
    const std::atomic<int> done{0};
    const std::atomic<int> expected{1};
    std::atomic<int> end{-1};
    std::atomic<bool> leftQueue{false};
    std::atomic<bool> waiting{false};
    support.body = [&] {
        QElapsedTimer stopwatch;
        stopwatch.start();
        waiting = true;
        end = int(support.waitForResults(done, expected, stopwatch, 60000, kTexts));
        PolicyInfo info;
        leftQueue = !queue.popPolicy(info);
    };
    support.start();
    QTRY_VERIFY(waiting.load());
    QVERIFY(!support.isStopping());

    QElapsedTimer timer;
    timer.start();
    support.stop();
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(support.isFinished());
    QCOMPARE(end.load(), int(PolicyExecutor::WaitEnd::Stopped));
    QVERIFY(leftQueue.load());
    QVERIFY(support.isStopping());
}

QTEST_GUILESS_MAIN(TestPolicyExecutor)
#include "tst_policyexecutor.moc"
