#include "faultinjector.h"

#include "status.h"

#include <QDebug>
#include <QJsonValue>
#include <QStringList>

namespace xwe {

FaultInjector::FaultInjector(const QString& faultsPath)
    : m_file(faultsPath)
{
}

int FaultInjector::take(const QString& operation)
{
    const int status = fromEnvironment(operation);
    if (status != Success)
        return status;
    return fromFile(operation);
}

int FaultInjector::fromEnvironment(const QString& operation)
{
    const QString text = qEnvironmentVariable("VORN_XWE_FAIL");
    if (text != m_environmentText) {
        m_environmentText = text;
        m_environmentFaults.clear();
        const QStringList items = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString& item : items) {
            const int eq = item.indexOf(QLatin1Char('='));
            bool ok = false;
            const int status = eq > 0 ? item.mid(eq + 1).trimmed().toInt(&ok) : 0;
            if (!ok || status == Success) {
                qWarning() << "vorn-xwe: ignoring VORN_XWE_FAIL entry" << item;
                continue;
            }
            m_environmentFaults.insert(item.left(eq).trimmed(), status);
        }
    }
    return m_environmentFaults.value(operation, Success);
}

int FaultInjector::fromFile(const QString& operation)
{
    if (!m_file.exists())
        return Success;
    // Look first without the lock: most calls have nothing to inject.
    JsonStateFile::ReadResult result = JsonStateFile::ReadResult::Missing;
    if (!m_file.read(&result).contains(operation) || result != JsonStateFile::ReadResult::Ok)
        return Success;

    int injected = Success;
    const int updated = m_file.update([&](QJsonObject& faults) {
        const QJsonObject entry = faults.value(operation).toObject();
        const int status = entry.value(QStringLiteral("status")).toInt(Success);
        if (status == Success)
            return false;
        const QJsonValue countValue = entry.value(QStringLiteral("count"));
        if (countValue.isUndefined() || countValue.isNull() || countValue.toInt() < 0) {
            injected = status;
            return false;
        }
        const int count = countValue.toInt();
        if (count == 0)
            return false;
        injected = status;
        QJsonObject used = entry;
        used.insert(QStringLiteral("count"), count - 1);
        faults.insert(operation, used);
        return true;
    });
    if (updated != Success)
        qWarning() << "vorn-xwe: faults file" << m_file.path() << "could not be updated, status" << updated;
    return injected;
}

} // namespace xwe
