#include "storebackend.h"

#include "platformfiles.h"
#include "status.h"

namespace xwe {

StoreBackend::StoreBackend(const QString& directory, const QString& stateName)
    : m_directory(directory)
    , m_state(directory + QLatin1Char('/') + stateName)
{
}

QString StoreBackend::name() const
{
    return QStringLiteral("store");
}

QJsonValue StoreBackend::value(const QString& key)
{
    JsonStateFile::ReadResult result = JsonStateFile::ReadResult::Missing;
    const QJsonObject content = m_state.read(&result);
    return content.value(key);
}

int StoreBackend::change(const QString& key, const Change& change)
{
    return m_state.update([&](QJsonObject& content) {
        const QJsonValue next = change(content.value(key));
        if (next.isUndefined())
            return false;
        content.insert(key, next);
        return true;
    });
}

int StoreBackend::keepFile(const QString& source, const QString& label, QString* kept)
{
    return keepCopy(m_directory, source, label, kept);
}

} // namespace xwe
