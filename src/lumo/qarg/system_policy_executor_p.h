#pragma once

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
};
