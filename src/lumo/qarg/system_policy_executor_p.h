#pragma once

#include "lumo/policy/executor_support.h"

#include <QMutex>
#include <QStringList>

class PolicyQueue;
class SystemPolicyExecutor;

class SystemPolicyExecutorPrivate
{
public:
    SystemPolicyExecutorPrivate(PolicyQueue* policyQueue, SystemPolicyExecutor* owner)
        : queue(policyQueue)
        , q(owner)
    {
    }

    // Registers a file to delete when the current document ends. Any thread:
    // download callbacks add files from the main thread.
    void addTempFile(const QString& path)
    {
        QMutexLocker locker(&tempFilesMutex);
        tempFiles.append(path);
    }

    QStringList takeTempFiles()
    {
        QMutexLocker locker(&tempFilesMutex);
        QStringList files;
        files.swap(tempFiles);
        return files;
    }

    PolicyQueue* queue;
    QStringList tempFiles;
    SystemPolicyExecutor* q;

    QMutex tempFilesMutex;
    ExecutorSupport support;
};
