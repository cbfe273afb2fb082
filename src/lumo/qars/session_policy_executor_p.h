#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

class SessionPolicyExecutor;

class SessionPolicyExecutorPrivate
{
public:
    explicit SessionPolicyExecutorPrivate(SessionPolicyExecutor* owner)
        : q(owner)
    {
    }

    // icons/webpageIcon/ inside the user's generic data directory.
    QString webpageIconPath;
    // Written by the server's answer on the main thread, read by the
    // control-centre handler on the executor thread.
    mutable QMutex controlCenterMutex;
    QStringList controlCenterList;
    // The server the list came from; empty until one answered. Main thread.
    QString controlCenterServer;
    SessionPolicyExecutor* q;
};
