#include "executor_support.h"

#include "policy_queue.h"

#include <QMutexLocker>
#include <QThread>
#include <QtDebug>

ExecutorSupport::WaitEnd ExecutorSupport::waitForResults(const std::atomic<int>& counter,
                                                         const std::atomic<int>& total,
                                                         const QElapsedTimer& stopwatch,
                                                         qint64 limitMs, const WaitTexts& texts)
{
    forever {
        {
            QMutexLocker locker(&m_mutex);
            QDeadlineTimer pause(kPollIntervalMs);
            // A spurious wake-up must not shorten the pause.
            while (!m_stopping && !pause.hasExpired())
                m_wake.wait(&m_mutex, pause);
            if (m_stopping)
                return WaitEnd::Stopped;
        }
        const int done = counter.load();
        const int expected = total.load();
        if (done == expected) {
            qInfo() << texts.allResults << done << texts.total << expected;
            return WaitEnd::AllResults;
        }
        const qint64 elapsed = stopwatch.elapsed();
        if (elapsed > limitMs) {
            qInfo() << texts.timeLimit << elapsed;
            return WaitEnd::TimeLimit;
        }
    }
}

bool ExecutorSupport::isStopping() const
{
    QMutexLocker locker(&m_mutex);
    return m_stopping;
}

void ExecutorSupport::stop(QThread* thread, PolicyQueue* queue)
{
    if (thread == QThread::currentThread()) {
        qWarning() << "executor stop requested from its own thread; ignored";
        return;
    }
    thread->requestInterruption();
    {
        QMutexLocker locker(&m_mutex);
        m_stopping = true;
        m_wake.wakeAll();
    }
    if (queue)
        queue->wakeConsumer();
    thread->wait();
}
