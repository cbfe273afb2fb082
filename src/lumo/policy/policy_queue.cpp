#include "policy_queue.h"

#include <QMutexLocker>
#include <QtDebug>

PolicyQueue::PolicyQueue()
    : m_freeSlots(kCapacity)
    , m_queuedItems(0)
{
}

void PolicyQueue::pushPolicy(const PolicyInfo& info)
{
    // Semaphores are taken outside the mutex so a blocked caller never holds it.
    m_freeSlots.acquire();
    {
        QMutexLocker locker(&m_mutex);
        m_list.append(info);
        qInfo() << "pushPolicy:" << m_list.size();
    }
    m_queuedItems.release();
}

bool PolicyQueue::popPolicy(PolicyInfo& info)
{
    m_queuedItems.acquire();
    {
        QMutexLocker locker(&m_mutex);
        // A pending wake-up wins over a record so that a stopping consumer
        // leaves promptly; the record and its permit stay queued.
        if (m_wakeups > 0) {
            --m_wakeups;
            return false;
        }
        info = m_list.takeFirst();
        qInfo() << "popPolicy:" << m_list.size();
    }
    m_freeSlots.release();
    return true;
}

QList<PolicyInfo> PolicyQueue::takeAll()
{
    QList<PolicyInfo> taken;
    QMutexLocker locker(&m_mutex);
    // Only records whose permit is still free: a consumer that already holds
    // one takes its record after us.
    while (!m_list.isEmpty() && m_queuedItems.tryAcquire()) {
        taken.append(m_list.takeFirst());
        m_freeSlots.release();
    }
    return taken;
}

void PolicyQueue::wakeConsumer()
{
    {
        QMutexLocker locker(&m_mutex);
        ++m_wakeups;
    }
    m_queuedItems.release();
}
