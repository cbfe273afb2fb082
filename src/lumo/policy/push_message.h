#pragma once

#include <QJsonObject>
#include <QString>

// The payload of a message the server pushes through the core client
// service: a JSON object naming the job and task it belongs to.
struct PushMessage
{
    QJsonObject object;
    int jobId = 0;  // "job_id", 0 when absent or not a number
    int taskId = 0; // "task_id", likewise

    // False, leaving message untouched, when payload is not a JSON object.
    static bool parse(const QString& payload, PushMessage& message);

    // A string member, empty when absent or not a string.
    QString text(const QString& key) const;
};
