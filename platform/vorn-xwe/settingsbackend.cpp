#include "settingsbackend.h"

#include "storebackend.h"

#include <QDebug>

namespace xwe {

SettingsBackend::~SettingsBackend() = default;

std::unique_ptr<SettingsBackend> SettingsBackend::create(const QString& directory, const QString& stateName)
{
    QString kind = qEnvironmentVariable("VORN_XWE_BACKEND");
    if (kind.isEmpty())
        kind = QStringLiteral("store");
    if (kind == QLatin1String("store"))
        return std::make_unique<StoreBackend>(directory, stateName);
    // Better to fail every call than to pretend settings took effect.
    qWarning() << "vorn-xwe: unknown backend" << kind << "- every setting will fail";
    return nullptr;
}

} // namespace xwe
