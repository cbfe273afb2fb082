#pragma once

#include "common/base/constants.h"
#include "oneshot_record.h"

#include <QString>

class PolicyQueue;
class SystemPolicyExecutor;

class SystemPolicyExecutorPrivate
{
public:
    explicit SystemPolicyExecutorPrivate(SystemPolicyExecutor* owner)
        : q(owner)
    {
    }

    // Registers a file to delete when the current document ends.
    void addTempFile(const QString& path);

    SystemPolicyExecutor* q;
    // What the one-shot handlers ran for the latest document; firewall
    // commands change only the running kernel, a reboot clears them.
    OneShotRecord record{vorn::kQargAppliedPath, {QStringLiteral("firewall/firewall_data")}};
};
