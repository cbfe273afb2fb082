// The receipt sender on its own thread against the lab's core client service
// on a private system bus.

#include "labsupport.h"
#include "lumo/policy/policy_responder.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <memory>

using vorn::test::LogCapture;
using vorn::test::PrivateSystemBus;
using vorn::test::VorngMock;

namespace {
const QString kSuccess = QStringLiteral("dbus value ------success----");
const QString kBreak = QStringLiteral("----- PolicyReceipt::run-----break-");
const QString kRefused = QStringLiteral("receipt refused by the core client service, retrying");
const QString kReply = QStringLiteral("ReplyTaskResult");

ResponseInfo receipt(int task, int job, bool ok, const QString& result)
{
    ResponseInfo info;
    info.taskId = task;
    info.jobId = job;
    info.isSuccessed = ok;
    info.result = result;
    return info;
}
} // namespace

class TestPolicyResponder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void deliversInOrder();
    void errorCode_data();
    void errorCode();
    void retriesUntilAccepted();
    void nothingSentAfterStop();
    void hangingServiceBlocksNeitherMainThreadNorShutdown();

private:
    void hand(const ResponseInfo& info);
    // Returns once the responder thread has handled everything posted so far.
    void drainResponderThread();

    QTemporaryDir m_dir;
    std::unique_ptr<PrivateSystemBus> m_bus;
    std::unique_ptr<VorngMock> m_mock;
    std::unique_ptr<LogCapture> m_log;
    QThread* m_thread = nullptr;
    PolicyResponder* m_responder = nullptr;
};

void TestPolicyResponder::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_bus.reset(new PrivateSystemBus(m_dir.filePath(QStringLiteral("bus"))));
    QVERIFY2(m_bus->start(), qPrintable(m_bus->errorString()));
    m_mock.reset(new VorngMock(m_dir.filePath(QStringLiteral("mock"))));
    QVERIFY2(m_mock->start(), qPrintable(m_mock->errorString()));
}

void TestPolicyResponder::cleanupTestCase()
{
    m_mock.reset();
    m_bus.reset();
}

void TestPolicyResponder::init()
{
    QVERIFY(m_mock->control(QStringLiteral("SetReplyFailures"), {0}));
    QVERIFY(m_mock->control(QStringLiteral("SetReplyDelay"), {0.0}));
    m_mock->clearCalls();
    m_log.reset(new LogCapture);
    // As the managers do: no parent, a thread of its own.
    m_thread = new QThread;
    m_responder = new PolicyResponder;
    m_responder->moveToThread(m_thread);
    m_thread->start();
}

void TestPolicyResponder::cleanup()
{
    m_responder->stop();
    m_thread->quit();
    QVERIFY(m_thread->wait(5000));
    delete m_responder;
    delete m_thread;
    m_log.reset();
}

void TestPolicyResponder::hand(const ResponseInfo& info)
{
    // The managers' way: a queued invocation by name, which needs the metatype.
    QVERIFY(QMetaObject::invokeMethod(m_responder, "addReceipt", Qt::QueuedConnection,
                                      Q_ARG(ResponseInfo, info)));
}

void TestPolicyResponder::drainResponderThread()
{
    QMetaObject::invokeMethod(m_responder, [] {}, Qt::BlockingQueuedConnection);
}

void TestPolicyResponder::deliversInOrder()
{
    hand(receipt(1, 10, true, QStringLiteral("[{\"a\":\"1\"}]")));
    hand(receipt(2, 20, true, QStringLiteral("[{\"b\":\"2\"}]")));
    hand(receipt(3, 30, true, QStringLiteral("[]")));

    QTRY_COMPARE_WITH_TIMEOUT(m_log->count(kBreak), 3, 15000);
    const QList<QVariantList> calls = m_mock->calls(kReply);
    QCOMPARE(calls.size(), 3);
    QCOMPARE(calls.at(0), (QVariantList{10, 1, 2002, QString(), QStringLiteral("[{\"a\":\"1\"}]")}));
    QCOMPARE(calls.at(1), (QVariantList{20, 2, 2002, QString(), QStringLiteral("[{\"b\":\"2\"}]")}));
    QCOMPARE(calls.at(2), (QVariantList{30, 3, 2002, QString(), QStringLiteral("[]")}));

    // Each delivery ends with a success and then the loop's end.
    QStringList marks;
    for (const QString& line : m_log->lines()) {
        if (line == kSuccess || line == kBreak)
            marks.append(line);
    }
    QCOMPARE(marks, (QStringList{kSuccess, kBreak, kSuccess, kBreak, kSuccess, kBreak}));
    QCOMPARE(m_log->count(QStringLiteral("------dbus---reply----")), 3);
}

void TestPolicyResponder::errorCode_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<int>("code");
    QTest::newRow("done") << true << 2002;
    QTest::newRow("failed") << false << 2003;
}

void TestPolicyResponder::errorCode()
{
    QFETCH(bool, succeeded);
    QFETCH(int, code);
    hand(receipt(5, 6, succeeded, QStringLiteral("r")));
    QTRY_COMPARE_WITH_TIMEOUT(m_log->count(kBreak), 1, 10000);
    const QList<QVariantList> calls = m_mock->calls(kReply);
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first(), (QVariantList{6, 5, code, QString(), QStringLiteral("r")}));
}

void TestPolicyResponder::retriesUntilAccepted()
{
    QVERIFY(m_mock->control(QStringLiteral("SetReplyFailures"), {2}));
    hand(receipt(8, 9, true, QStringLiteral("first")));
    hand(receipt(8, 10, false, QStringLiteral("second")));
    QTRY_COMPARE_WITH_TIMEOUT(m_log->count(kBreak), 2, 15000);

    const QList<QVariantList> calls = m_mock->calls(kReply);
    const QVariantList first{9, 8, 2002, QString(), QStringLiteral("first")};
    QCOMPARE(calls, (QList<QVariantList>{first, first, first,
                                         QVariantList{10, 8, 2003, QString(), QStringLiteral("second")}}));
    // One line when the refusals start and one when they end, not one per attempt.
    QCOMPARE(m_log->count(kRefused), 1);
    QCOMPARE(m_log->count(QStringLiteral("receipt accepted by the core client service after 3 attempts")), 1);
    QCOMPARE(m_log->count(kSuccess), 2);
    // The error the service answered with shows in the refusal line.
    QCOMPARE(m_log->count(QStringLiteral("ReplyTaskResult failure injected")), 1);
}

void TestPolicyResponder::nothingSentAfterStop()
{
    m_responder->stop();
    hand(receipt(1, 2, true, QStringLiteral("late")));
    hand(receipt(3, 4, true, QStringLiteral("later")));
    drainResponderThread();
    QCOMPARE(m_mock->calls(kReply).size(), 0);
    QCOMPARE(m_log->count(QStringLiteral("------dbus---reply----")), 0);
}

void TestPolicyResponder::hangingServiceBlocksNeitherMainThreadNorShutdown()
{
    QVERIFY(m_mock->control(QStringLiteral("SetReplyDelay"), {60.0}));
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(20);

    hand(receipt(1, 2, true, QStringLiteral("stuck")));
    QTRY_COMPARE_WITH_TIMEOUT(m_mock->calls(kReply).size(), 1, 10000);
    const int before = ticks;
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= before + 10, 5000);
    QCOMPARE(m_log->count(kSuccess), 0);

    // The call is still outstanding; stopping must end the thread promptly.
    QElapsedTimer clock;
    clock.start();
    m_responder->stop();
    m_thread->quit();
    QVERIFY(m_thread->wait(1000));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_log->count(kSuccess), 0);
}

QTEST_GUILESS_MAIN(TestPolicyResponder)
#include "tst_policyresponder.moc"
