#include "push_message.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

bool PushMessage::parse(const QString& payload, PushMessage& message)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload.toUtf8(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    message.object = doc.object();
    message.jobId = message.object.value(QStringLiteral("job_id")).toInt();
    message.taskId = message.object.value(QStringLiteral("task_id")).toInt();
    return true;
}

QString PushMessage::text(const QString& key) const
{
    return object.value(key).toString();
}
