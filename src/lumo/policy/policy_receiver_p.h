#pragma once

#include "policy_queue.h"

#include <QString>

class PolicyReceiver;

class PolicyReceiverPrivate
{
public:
    explicit PolicyReceiverPrivate(const PolicyInfo& info, PolicyReceiver* owner)
        : host(info.ip)
        , port(info.port)
        , machineId(info.machineId)
        , info(info)
        , q(owner)
    {
    }

    QString host;
    QString port;
    QString machineId;
    // Task and job of the most recent pull; each completion uses its own.
    int taskId = -1;
    int jobId = -1;
    QString md5;
    PolicyInfo info;
    PolicyQueue* queue = nullptr;
    PolicyReceiver* q = nullptr;
};
