#pragma once

#include <QJsonArray>
#include <QMap>
#include <QMutex>
#include <QString>

class AbstractPolicy;

class AbstractPolicyPrivate
{
public:
    explicit AbstractPolicyPrivate(AbstractPolicy* owner)
        : q(owner)
    {
    }

    // Key "<policy_key>/<config_key>" to the setting's value, in key order.
    QMap<QString, QString> policies;
    // "data"."md5" of the parsed document, empty when it has none.
    QString md5;
    // Guards results, the document id and the counters' reset.
    QMutex mutex;
    QJsonArray results;
    AbstractPolicy* q;

    quint64 document = 0;
};
