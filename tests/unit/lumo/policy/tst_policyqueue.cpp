#include "lumo/policy/policy_queue.h"

#include <QMutex>
#include <QMutexLocker>
#include <QScopedPointer>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

namespace {

// Collects log messages instead of printing them; restores the previous
// handler when it goes.
class LogCapture
{
public:
    LogCapture() { m_previous = qInstallMessageHandler(&LogCapture::handler); }
    ~LogCapture() { qInstallMessageHandler(m_previous); }

    static QStringList infoLines()
    {
        QMutexLocker locker(&s_mutex);
        return s_lines;
    }
    static void clear()
    {
        QMutexLocker locker(&s_mutex);
        s_lines.clear();
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& message)
    {
        if (type != QtInfoMsg)
            return;
        QMutexLocker locker(&s_mutex);
        s_lines.append(message);
    }

    QtMessageHandler m_previous = nullptr;
    static QMutex s_mutex;
    static QStringList s_lines;
};

QMutex LogCapture::s_mutex;
QStringList LogCapture::s_lines;

PolicyInfo record(int taskId)
{
    PolicyInfo info;
    info.taskId = taskId;
    info.jobId = taskId + 1;
    info.cachePath = QStringLiteral("/cache/%1").arg(taskId);
    return info;
}

// Runs fn on a new thread; `done` is released when fn returns.
QThread* startThread(std::function<void()> fn, QSemaphore& done)
{
    QThread* thread = QThread::create([fn, &done] {
        fn();
        done.release();
    });
    thread->start();
    return thread;
}

constexpr int kBlockedCheckMs = 200;
constexpr int kReturnTimeoutMs = 5000;

} // namespace

class TestPolicyQueue : public QObject
{
    Q_OBJECT

private slots:
    void init() { LogCapture::clear(); }

    void keepsOrder()
    {
        LogCapture capture;
        PolicyQueue queue;
        queue.pushPolicy(record(1));
        queue.pushPolicy(record(2));
        PolicyInfo out;
        QVERIFY(queue.popPolicy(out));
        QCOMPARE(out.taskId, 1);
        QCOMPARE(out.jobId, 2);
        QCOMPARE(out.cachePath, QStringLiteral("/cache/1"));
        QVERIFY(queue.popPolicy(out));
        QCOMPARE(out.taskId, 2);
    }

    void logsQueueLength()
    {
        LogCapture capture;
        PolicyQueue queue;
        queue.pushPolicy(record(1));
        PolicyInfo out;
        QVERIFY(queue.popPolicy(out));
        QCOMPARE(LogCapture::infoLines(),
                 QStringList({QStringLiteral("pushPolicy: 1"), QStringLiteral("popPolicy: 0")}));
    }

    void popWaitsForPush()
    {
        LogCapture capture;
        PolicyQueue queue;
        PolicyInfo out;
        bool popped = false;
        QSemaphore done;
        QScopedPointer<QThread> consumer(startThread([&] { popped = queue.popPolicy(out); }, done));

        QVERIFY(!done.tryAcquire(1, kBlockedCheckMs));
        queue.pushPolicy(record(7));
        QVERIFY(done.tryAcquire(1, kReturnTimeoutMs));
        QVERIFY(consumer->wait(kReturnTimeoutMs));
        QVERIFY(popped);
        QCOMPARE(out.taskId, 7);
    }

    void pushBlocksAtCapacity()
    {
        LogCapture capture;
        PolicyQueue queue;
        for (int i = 0; i < PolicyQueue::kCapacity; ++i)
            queue.pushPolicy(record(i));

        QSemaphore done;
        QScopedPointer<QThread> producer(
            startThread([&] { queue.pushPolicy(record(PolicyQueue::kCapacity)); }, done));
        QVERIFY(!done.tryAcquire(1, kBlockedCheckMs));

        PolicyInfo out;
        QVERIFY(queue.popPolicy(out));
        QCOMPARE(out.taskId, 0);
        QVERIFY(done.tryAcquire(1, kReturnTimeoutMs));
        QVERIFY(producer->wait(kReturnTimeoutMs));

        for (int i = 1; i <= PolicyQueue::kCapacity; ++i) {
            QVERIFY(queue.popPolicy(out));
            QCOMPARE(out.taskId, i);
        }
        QCOMPARE(LogCapture::infoLines().constLast(), QStringLiteral("popPolicy: 0"));
    }

    void wakeReleasesBlockedConsumer()
    {
        LogCapture capture;
        PolicyQueue queue;
        PolicyInfo out = record(77);
        bool popped = true;
        QSemaphore done;
        QScopedPointer<QThread> consumer(startThread([&] { popped = queue.popPolicy(out); }, done));

        QVERIFY(!done.tryAcquire(1, kBlockedCheckMs));
        queue.wakeConsumer();
        QVERIFY(done.tryAcquire(1, kReturnTimeoutMs));
        QVERIFY(consumer->wait(kReturnTimeoutMs));
        QVERIFY(!popped);
        QCOMPARE(out.taskId, 77);
        QCOMPARE(out.cachePath, QStringLiteral("/cache/77"));
        QVERIFY(LogCapture::infoLines().isEmpty());
    }

    void wakeKeepsPendingRecord()
    {
        LogCapture capture;
        PolicyQueue queue;
        queue.pushPolicy(record(5));
        queue.wakeConsumer();

        PolicyInfo out;
        QVERIFY(!queue.popPolicy(out));
        QCOMPARE(out.taskId, -1);
        QVERIFY(queue.popPolicy(out));
        QCOMPARE(out.taskId, 5);
    }

    void wakeBeforePopIsKept()
    {
        LogCapture capture;
        PolicyQueue queue;
        queue.wakeConsumer();
        PolicyInfo out;
        QSemaphore done;
        bool popped = true;
        QScopedPointer<QThread> consumer(startThread([&] { popped = queue.popPolicy(out); }, done));
        QVERIFY(done.tryAcquire(1, kReturnTimeoutMs));
        QVERIFY(consumer->wait(kReturnTimeoutMs));
        QVERIFY(!popped);
    }

    void wakeReleasesNoFreeSlot()
    {
        // A wake-up must not leave the queue able to hold more than its capacity.
        LogCapture capture;
        PolicyQueue queue;
        queue.wakeConsumer();
        PolicyInfo out;
        QVERIFY(!queue.popPolicy(out));

        for (int i = 0; i < PolicyQueue::kCapacity; ++i)
            queue.pushPolicy(record(i));
        QSemaphore done;
        QScopedPointer<QThread> producer(startThread([&] { queue.pushPolicy(record(-5)); }, done));
        QVERIFY(!done.tryAcquire(1, kBlockedCheckMs));
        QVERIFY(queue.popPolicy(out));
        QVERIFY(done.tryAcquire(1, kReturnTimeoutMs));
        QVERIFY(producer->wait(kReturnTimeoutMs));
    }
};

QTEST_GUILESS_MAIN(TestPolicyQueue)
#include "tst_policyqueue.moc"
