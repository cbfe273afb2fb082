#pragma once

#include <QMutex>
#include <QMutexLocker>

class AbstractPolicy;

// What slots record into, for as long as it lives: the executor closes it
// before it goes, so that a slot outliving it records nothing.
struct ResultSlotAnchor
{
    explicit ResultSlotAnchor(AbstractPolicy* owner)
        : owner(owner)
    {
    }

    void close()
    {
        QMutexLocker locker(&mutex);
        owner = nullptr;
    }

    // Held while a slot records: the owner cannot go meanwhile.
    QMutex mutex;
    AbstractPolicy* owner;
};
