#include "notify_message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QString kAppName = QStringLiteral("appName");
const QString kNotifyId = QStringLiteral("notifyId");
const QString kAppIcon = QStringLiteral("appIcon");
const QString kSummary = QStringLiteral("summary");
const QString kBody = QStringLiteral("body");
const QString kActions = QStringLiteral("actions");
const QString kHints = QStringLiteral("hints");
const QString kTimeout = QStringLiteral("timeout");
const QString kOperation = QStringLiteral("operation");
const QString kOperationDelay = QStringLiteral("operationDelay");
const QString kUid = QStringLiteral("uid");
} // namespace

NotifyMessageType::NotifyMessageType()
    : appName(QStringLiteral("域管平台"))
    , appIcon(QStringLiteral("vornw"))
{
}

QString NotifyMessageType::toString() const
{
    QJsonArray actionArray;
    for (const QString& action : actions)
        actionArray.append(action);

    // The front end expects one single-member object per hint.
    QJsonArray hintArray;
    for (auto it = hints.constBegin(); it != hints.constEnd(); ++it)
        hintArray.append(QJsonObject{{it.key(), it.value().toString()}});

    const QJsonObject object{
        {kAppName, appName},
        {kNotifyId, static_cast<qint64>(notifyId)},
        {kAppIcon, appIcon},
        {kSummary, summary},
        {kBody, body},
        {kActions, actionArray},
        {kHints, hintArray},
        {kTimeout, timeout},
        {kOperation, operation},
        {kOperationDelay, operationDelay},
        {kUid, uid},
    };
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
