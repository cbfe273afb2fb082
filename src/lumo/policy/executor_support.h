#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>
#include <QWaitCondition>

#include <atomic>

class PolicyQueue;
class QThread;

// What both executor threads share: the wait for the results of one policy
// document, and a stop that also ends that wait and a wait on an empty queue.
class ExecutorSupport
{
public:
    enum class WaitEnd { AllResults, TimeLimit, Stopped };

    // Fixed texts of the log lines that end a wait; each executor has its own.
    struct WaitTexts
    {
        const char* allResults; // followed by the counter
        const char* total;      // followed by the total
        const char* timeLimit;  // followed by the elapsed milliseconds
    };

    static constexpr int kPollIntervalMs = 500;

    ExecutorSupport() = default;

    // Checks every kPollIntervalMs whether counter equals total, until it
    // does, more than limitMs have passed on the stopwatch, or a stop was
    // requested (which ends the wait at once). Runs on the executor thread.
    WaitEnd waitForResults(const std::atomic<int>& counter, const std::atomic<int>& total,
                           const QElapsedTimer& stopwatch, qint64 limitMs,
                           const WaitTexts& texts);

    bool isStopping() const;

    // Asks `thread` to end, wakes it from a wait on `queue` or on results and
    // waits until it has ended. A handler call in progress runs to its end.
    // Must not be called from `thread` itself.
    void stop(QThread* thread, PolicyQueue* queue);

private:
    Q_DISABLE_COPY(ExecutorSupport)
    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    bool m_stopping = false;
};
