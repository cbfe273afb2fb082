#include "settingsservice.h"

#include "localusers.h"
#include "status.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>

namespace xwe {

namespace {

// Arguments as JSON, so that strings are quoted and cannot break the log line.
QString describe(const QJsonArray& arguments)
{
    QString text = QString::fromUtf8(QJsonDocument(arguments).toJson(QJsonDocument::Compact));
    return text.mid(1, text.size() - 2);
}

QString describe(const QJsonValue& value)
{
    return describe(QJsonArray{value});
}

} // namespace

SettingsService::SettingsService(SettingsBackend::Scope scope, const QString& directory,
                                 const QString& stateName)
    : m_backend(SettingsBackend::create(scope, directory, stateName))
    , m_faults(directory + QStringLiteral("/faults.json"))
{
    qInfo().noquote() << "vorn-xwe: backend" << (m_backend ? m_backend->name() : QStringLiteral("none"))
                      << "state" << directory + QLatin1Char('/') + stateName;
}

SettingsService::~SettingsService() = default;

int SettingsService::call(const QString& operation, const QJsonArray& arguments, const Apply& apply)
{
    QMutexLocker locker(&m_mutex);
    int status = m_faults.take(operation);
    const bool injected = status != Success;
    if (!injected)
        status = m_backend ? apply(*m_backend) : NoBackend;
    if (injected)
        qInfo().noquote() << "vorn-xwe:" << operation + QLatin1Char('(') + describe(arguments) + QLatin1Char(')')
                          << "status" << status << "(injected)";
    else
        qInfo().noquote() << "vorn-xwe:" << operation + QLatin1Char('(') + describe(arguments) + QLatin1Char(')')
                          << "status" << status;
    return status;
}

int SettingsService::record(const QString& operation, const QJsonArray& arguments, const QJsonValue& value,
                            int refusal)
{
    return call(operation, arguments, [&](SettingsBackend& backend) {
        if (refusal != Success)
            return refusal;
        return backend.change(operation, [&](const QJsonValue&) { return value; });
    });
}

QJsonValue SettingsService::value(const QString& key)
{
    QMutexLocker locker(&m_mutex);
    return m_backend ? m_backend->value(key) : QJsonValue(QJsonValue::Undefined);
}

QList<uint> SettingsService::localUsers(const QString& passwdPath)
{
    QMutexLocker locker(&m_mutex);
    return m_backend ? m_backend->localUsers(passwdPath) : localUserIds(passwdPath);
}

void SettingsService::logRead(const QString& operation, const QJsonValue& result)
{
    qInfo().noquote() << "vorn-xwe:" << operation + QStringLiteral("()") << "returns" << describe(result);
}

} // namespace xwe
