#include "vornplatforminfo.h"

#include "settingsbackend.h"

QString VornPlatformInfo::BackendName()
{
    return xwe::SettingsBackend::kind();
}
