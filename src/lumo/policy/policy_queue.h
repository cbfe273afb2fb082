#pragma once

#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QString>

#include <atomic>

// One policy pull or one queued document. A queued record names the cache
// file that holds the document and the server task that asked for it.
struct PolicyInfo
{
    QString ip;
    QString port;
    QString url;
    QString machineId;
    int taskId = -1;
    int jobId = -1;
    QString policyPath;
    QString cachePath;
};

// Bounded blocking FIFO between the receiver (main thread) and the executor
// thread: at most kCapacity records wait; pushPolicy blocks when full,
// popPolicy blocks when empty.
class PolicyQueue
{
public:
    static constexpr int kCapacity = 1024;

    PolicyQueue();

    void pushPolicy(const PolicyInfo& info);
    // Takes the oldest record. Returns false, leaving info untouched, when the
    // wait was ended by wakeConsumer() instead of a record.
    bool popPolicy(PolicyInfo& info);

    // Releases one consumer blocked in popPolicy (or the next one to call
    // it) without a record, so that a stopping thread can leave its loop.
    void wakeConsumer();

    // Takes every record still waiting, oldest first, without blocking.
    QList<PolicyInfo> takeAll();

private:
    Q_DISABLE_COPY(PolicyQueue)
    QList<PolicyInfo> m_list;
    QMutex m_mutex;
    QSemaphore m_freeSlots;
    QSemaphore m_queuedItems;
    std::atomic<int> m_wakeups{0};
};
