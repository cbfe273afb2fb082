#include "labsupport.h"
#include "lumo/policy/policy_executor.h"
#include "lumo/policy/policy_queue.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

using vorn::test::LogCapture;

namespace {
const PolicyExecutor::WaitTexts kTexts{"-----counter: ", ":total: ", "---elapsed:"};

// An executor whose thread runs `body`: the cases drive its wait for
// results and its stop directly, or run one document through execPolicy.
class Executor : public PolicyExecutor
{
public:
    explicit Executor(PolicyQueue* queue = nullptr)
        : PolicyExecutor(queue)
    {
        addHandler(QStringLiteral("kept/result"), &Executor::keep);
        addHandler(QStringLiteral("forgot/result"), &Executor::forget);
    }
    ~Executor() override
    {
        if (isRunning())
            stop();
    }
    using PolicyExecutor::beginDocument;
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

private:
    void keep(const QString& value, const ResultSlot& slot) { slot.record(value); }
    // Returns on some path without a result and without keeping its slot.
    void forget(const QString&, const ResultSlot&) {}
};
} // namespace

class TestPolicyExecutor : public QObject
{
    Q_OBJECT

private slots:
    void waitEnds_data();
    void waitEnds();
    void forgottenResultEndsTheDocumentAtOnce();
    void stopEndsResultWaitAndQueueWait();
};

void TestPolicyExecutor::waitEnds_data()
{
    QTest::addColumn<int>("taken");
    QTest::addColumn<int>("recorded");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("logged");
    QTest::newRow("nothing to wait for") << 0 << 0 << 0 << 60000
                                         << int(PolicyExecutor::WaitEnd::AllResults)
                                         << "-----counter:  0 :total:  0";
    QTest::newRow("all results") << 3 << 3 << 0 << 60000
                                 << int(PolicyExecutor::WaitEnd::AllResults)
                                 << "-----counter:  3 :total:  3";
    QTest::newRow("a dropped slot is a result") << 2 << 1 << 1 << 60000
                                                << int(PolicyExecutor::WaitEnd::AllResults)
                                                << "-----counter:  2 :total:  2";
    QTest::newRow("missing result: time limit")
        << 2 << 1 << 0 << 700 << int(PolicyExecutor::WaitEnd::TimeLimit) << "---elapsed:";
}

void TestPolicyExecutor::waitEnds()
{
    QFETCH(int, taken);
    QFETCH(int, recorded);
    QFETCH(int, dropped);
    QFETCH(int, limitMs);
    QFETCH(int, end);
    QFETCH(QString, logged);
    LogCapture log;
    Executor support;
    support.beginDocument();
    QList<ResultSlot> open;
    for (int i = 0; i < taken; ++i)
        open.append(support.takeResultSlot(QStringLiteral("k%1").arg(i)));
    for (int i = 0; i < recorded; ++i)
        QVERIFY(open.takeFirst().record(QStringLiteral("done")));
    for (int i = 0; i < dropped; ++i)
        open.removeFirst();
    QElapsedTimer stopwatch;
    stopwatch.start();
    QCOMPARE(int(support.waitForResults(stopwatch, limitMs, kTexts)), end);
    if (end == int(PolicyExecutor::WaitEnd::TimeLimit))
        QVERIFY2(stopwatch.elapsed() >= limitMs, qPrintable(QString::number(stopwatch.elapsed())));
    QCOMPARE(log.count(logged), 1);
}

void TestPolicyExecutor::forgottenResultEndsTheDocumentAtOnce()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PolicyInfo info;
    info.taskId = 5;
    info.jobId = 9;
    info.cachePath = dir.filePath(QStringLiteral("cache_5_9"));
    QFile cache(info.cachePath);
    QVERIFY(cache.open(QIODevice::WriteOnly));
    cache.write(R"({"code":0,"data":{"md5":"m","policys":[
        {"policy_key":"forgot","configs":[{"config_key":"result","config_value":"x"}]},
        {"policy_key":"kept","configs":[{"config_key":"result","config_value":"y"}]}]}})");
    cache.close();

    Executor support;
    QSignalSpy finished(&support, &PolicyExecutor::execPolicyFinished);
    QElapsedTimer stopwatch;
    stopwatch.start();
    QTest::ignoreMessage(QtWarningMsg, "setting ended without a result: \"forgot/result\"");
    QVERIFY(support.execPolicy(info));
    // Not the 30 minutes of the time limit.
    QVERIFY2(stopwatch.elapsed() < 60000, qPrintable(QString::number(stopwatch.elapsed())));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(2).toBool(), true);
    QCOMPARE(finished.first().at(3).toString(),
             QStringLiteral(R"([{"forgot/result":"%1"},{"kept/result":"y"}])")
                 .arg(ResultSlot::kDroppedText));
}

void TestPolicyExecutor::stopEndsResultWaitAndQueueWait()
{
    PolicyQueue queue;
    Executor support(&queue);
    std::atomic<int> end{-1};
    std::atomic<bool> leftQueue{false};
    std::atomic<bool> waiting{false};
    support.body = [&] {
        support.beginDocument();
        const ResultSlot open = support.takeResultSlot(QStringLiteral("k"));
        QElapsedTimer stopwatch;
        stopwatch.start();
        waiting = true;
        end = int(support.waitForResults(stopwatch, 60000, kTexts));
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
