#pragma once

#include "fetch_record.h"

#include <QMutex>
#include <QString>
#include <QStringList>

class SessionPolicyExecutor;

class SessionPolicyExecutorPrivate
{
public:
    SessionPolicyExecutorPrivate(SessionPolicyExecutor* owner, const QString& fetchRecordPath)
        : fetched(fetchRecordPath)
        , q(owner)
    {
    }

    // icons/webpageIcon/ inside the user's generic data directory.
    QString webpageIconPath;
    // Written by the server's answer on the main thread, read by the
    // control-centre handler on the executor thread.
    mutable QMutex controlCenterMutex;
    QStringList controlCenterList;
    // Pictures and icons fetched for the latest document.
    FetchRecord fetched;
    // The server the list came from; empty until one answered. Main thread.
    QString controlCenterServer;
    SessionPolicyExecutor* q;
};
