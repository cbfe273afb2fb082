#include "abstract_policy.h"

#include "receipt_bounds.h"
#include "result_slot_anchor.h"
#include "server_endpoint.h"
#include "common/base/fileproxy.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>
#include <QtDebug>

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
    // The same results as the log shows them (shownResult).
    QJsonArray shown;
    AbstractPolicy* q;

    quint64 document = 0;
    // Slots of the current document that have not recorded yet; `settled`
    // tells the waiting executor when that reaches 0 (or the wait is ended).
    int openSlots = 0;
    bool interrupted = false;
    QWaitCondition settled;
};

AbstractPolicy::AbstractPolicy()
    : m_slotAnchor(std::make_shared<ResultSlotAnchor>(this))
    , d(new AbstractPolicyPrivate(this))
{
}

AbstractPolicy::~AbstractPolicy()
{
    closeResultSlots();
}

void AbstractPolicy::closeResultSlots()
{
    m_slotAnchor->close();
}

ResultSlot AbstractPolicy::takeResultSlot(const QString& key)
{
    QMutexLocker locker(&d->mutex);
    ++d->openSlots;
    ++m_policyTotal;
    return ResultSlot(m_slotAnchor, d->document, key);
}

bool AbstractPolicy::recordSlot(quint64 document, const QString& key, const QString& result,
                                const QString& summary)
{
    if (!appendExecResult(document, key, result, summary))
        return false;
    QMutexLocker locker(&d->mutex);
    // The document may have ended between the two steps (at its time limit).
    if (document == d->document && d->openSlots > 0 && --d->openSlots == 0)
        d->settled.wakeAll();
    return true;
}

AbstractPolicy::SettleEnd AbstractPolicy::waitForSettled(qint64 limitMs)
{
    QMutexLocker locker(&d->mutex);
    const QDeadlineTimer deadline(qMax<qint64>(0, limitMs));
    while (d->openSlots > 0 && !d->interrupted) {
        // A spurious wake-up only goes round again.
        if (!d->settled.wait(&d->mutex, deadline) && deadline.hasExpired())
            break;
    }
    if (d->interrupted)
        return SettleEnd::Interrupted;
    return d->openSlots == 0 ? SettleEnd::Settled : SettleEnd::TimeLimit;
}

void AbstractPolicy::interruptResultWait()
{
    QMutexLocker locker(&d->mutex);
    d->interrupted = true;
    d->settled.wakeAll();
}

void AbstractPolicy::setConfig(const QString& host, const QString& port)
{
    m_serverHost = host;
    m_serverPort = port;
}

QString AbstractPolicy::serverHost() const
{
    return m_serverHost.isEmpty() ? ServerEndpoint::instance()->current().host : m_serverHost;
}

QString AbstractPolicy::serverPort() const
{
    return m_serverHost.isEmpty() ? ServerEndpoint::instance()->current().port : m_serverPort;
}

bool AbstractPolicy::parsePolicy(const QByteArray& data)
{
    if (data.isEmpty()) {
        qWarning() << "parsePolicy josn is empty.";
        return false;
    }

    {
        // Late results of handlers may still arrive from the main thread.
        QMutexLocker locker(&d->mutex);
        d->results = QJsonArray();
        d->shown = QJsonArray();
    }
    d->policies.clear();
    d->md5.clear();

    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (doc.isNull())
        return false;
    if (!doc.isObject())
        return true;

    const QJsonObject root = doc.object();
    if (root.contains(QStringLiteral("code"))) {
        const QJsonValue code = root.value(QStringLiteral("code"));
        if (code.toInt() != 0 || (code.isDouble() && code.toDouble() != 0))
            return false;
        qInfo() << "get policy success";
    }

    const QJsonValue dataValue = root.value(QStringLiteral("data"));
    if (!dataValue.isObject())
        return true;
    const QJsonObject body = dataValue.toObject();
    d->md5 = body.value(QStringLiteral("md5")).toVariant().toString();
    if (!body.contains(QStringLiteral("policys"))) {
        qInfo() << "policys parse error.";
        return false;
    }

    const QJsonArray policys = body.value(QStringLiteral("policys")).toArray();
    for (const QJsonValue& policyValue : policys) {
        if (!policyValue.isObject())
            continue;
        const QJsonObject policy = policyValue.toObject();
        const QString policyKey = policy.value(QStringLiteral("policy_key")).toString();
        const QJsonArray configs = policy.value(QStringLiteral("configs")).toArray();
        for (const QJsonValue& configValue : configs) {
            if (!configValue.isObject())
                continue;
            const QJsonObject config = configValue.toObject();
            const QString key =
                policyKey + QLatin1Char('/') + config.value(QStringLiteral("config_key")).toString();
            d->policies.insert(key, config.value(QStringLiteral("config_value")).toString());
        }
    }
    return true;
}

QMap<QString, QString> AbstractPolicy::getPolicy() const
{
    return d->policies;
}

QString AbstractPolicy::documentMd5() const
{
    return d->md5;
}

void AbstractPolicy::appendExecResult(const QString& key, const QString& text,
                                      const QString& summary)
{
    const QString result = ReceiptBounds::cutText(text);
    const QString shown = shownResult(key, result, summary);
    {
        QMutexLocker locker(&d->mutex);
        d->results.append(QJsonObject{{key, result}});
        d->shown.append(QJsonObject{{key, shown}});
        ++m_policyExecCounter;
    }
    resultRecorded(key, result, summary);
}

void AbstractPolicy::resultRecorded(const QString&, const QString&, const QString&)
{
}

QString AbstractPolicy::shownResult(const QString&, const QString& result,
                                    const QString& summary) const
{
    return summary.isEmpty() ? result : summary;
}

bool AbstractPolicy::appendExecResult(quint64 document, const QString& key,
                                      const QString& text, const QString& summary)
{
    const QString result = ReceiptBounds::cutText(text);
    const QString shown = shownResult(key, result, summary);
    QMutexLocker locker(&d->mutex);
    if (document != d->document) {
        qInfo() << "drop late result of an earlier document:" << document << key << shown;
        return false;
    }
    d->results.append(QJsonObject{{key, result}});
    d->shown.append(QJsonObject{{key, shown}});
    ++m_policyExecCounter;
    locker.unlock();
    resultRecorded(key, result, summary);
    return true;
}

QString AbstractPolicy::getExecResult()
{
    QMutexLocker locker(&d->mutex);
    // Result texts may hold any language; the compact text is UTF-8.
    return QString::fromUtf8(QJsonDocument(d->results).toJson(QJsonDocument::Compact));
}

QString AbstractPolicy::getShownResult()
{
    QMutexLocker locker(&d->mutex);
    return QString::fromUtf8(QJsonDocument(d->shown).toJson(QJsonDocument::Compact));
}

bool AbstractPolicy::readCache(const QString& path, QByteArray& data)
{
    if (!QFileInfo(path).absoluteDir().exists())
        return false;
    vorn::base::FileProxy proxy;
    if (!proxy.open(path, QIODevice::ReadOnly))
        return false;
    data = proxy.file().readAll();
    return true;
}

quint64 AbstractPolicy::currentDocument() const
{
    QMutexLocker locker(&d->mutex);
    return d->document;
}

quint64 AbstractPolicy::beginDocument()
{
    QMutexLocker locker(&d->mutex);
    ++d->document;
    d->results = QJsonArray();
    d->openSlots = 0;
    d->shown = QJsonArray();
    m_policyExecCounter = 0;
    m_policyTotal = 0;
    return d->document;
}
