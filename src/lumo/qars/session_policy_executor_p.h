#pragma once

#include "lumo/policy/executor_support.h"

#include <QMutex>
#include <QString>
#include <QStringList>

class PolicyQueue;
class SessionPolicyExecutor;

class SessionPolicyExecutorPrivate
{
public:
    SessionPolicyExecutorPrivate(PolicyQueue* policyQueue, SessionPolicyExecutor* owner)
        : queue(policyQueue)
        , q(owner)
    {
    }

    PolicyQueue* queue;
    // icons/webpageIcon/ inside the user's generic data directory.
    QString webpageIconPath;
    // Written by the server's answer on the main thread, read by the
    // control-centre handler on the executor thread.
    mutable QMutex controlCenterMutex;
    QStringList controlCenterList;
    SessionPolicyExecutor* q;

    ExecutorSupport support;
};
