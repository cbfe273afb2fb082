#include "settingsbackend.h"

#include "linuxsessionbackend.h"
#include "linuxsystembackend.h"
#include "localusers.h"
#include "storebackend.h"

#include <QDebug>

namespace xwe {

SettingsBackend::~SettingsBackend() = default;

QList<uint> SettingsBackend::localUsers(const QString& passwdPath)
{
    return localUserIds(passwdPath);
}

int SettingsBackend::holdOnly(const QStringList&)
{
    return 0; // nothing is held where nothing can be changed by others
}

int SettingsBackend::giveBack()
{
    return 0;
}

QString SettingsBackend::kind()
{
    const QString kind = qEnvironmentVariable("VORN_XWE_BACKEND");
    return kind.isEmpty() ? QStringLiteral("store") : kind;
}

std::unique_ptr<SettingsBackend> SettingsBackend::create(Scope scope, const QString& directory,
                                                         const QString& stateName)
{
    const QString kind = SettingsBackend::kind();
    if (kind == QLatin1String("store"))
        return std::make_unique<StoreBackend>(directory, stateName);
    if (kind == QLatin1String("linux")) {
        // Its own record, so that switching backends never replays the store's values.
        const QString state = directory + QStringLiteral("/linux-") + stateName;
        if (scope == Scope::System)
            return std::make_unique<LinuxSystemBackend>(directory, state);
        return std::make_unique<LinuxSessionBackend>(directory, state);
    }
    // Better to fail every call than to pretend settings took effect.
    qWarning() << "vorn-xwe: unknown backend" << kind << "- every setting will fail";
    return nullptr;
}

} // namespace xwe
