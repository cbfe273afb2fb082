#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

// A desktop notification request handed to the core client service as JSON.
// The first eight fields follow the desktop Notify call; operation,
// operationDelay and uid are for the notification front end.
class NotifyMessageType
{
public:
    NotifyMessageType();

    // Compact JSON object with all eleven keys.
    QString toString() const;

    QString appName;
    quint32 notifyId = 0;
    QString appIcon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int timeout = 0;
    int operation = 0;
    int operationDelay = 0;
    int uid = 0;
};
