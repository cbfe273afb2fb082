#pragma once

#include <QString>

// What the platform adaption service (liblibvorn-xwe.so) runs on, for the
// programs' status: they never look at how the library is configured.
class VornPlatformInfo
{
public:
    // The backend that applies the settings, "store" for instance.
    static QString BackendName();
};
