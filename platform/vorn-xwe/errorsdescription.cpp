#include "errorsdescription.h"

#include "status.h"

namespace {

QString reason(int status)
{
    switch (status) {
    case xwe::InvalidArgument:
        return QStringLiteral("invalid argument");
    case xwe::FileNotFound:
        return QStringLiteral("file or directory not found");
    case xwe::SaveFailed:
        return QStringLiteral("settings could not be saved");
    case xwe::StoreBusy:
        return QStringLiteral("settings store busy");
    case xwe::NoBackend:
        return QStringLiteral("no platform backend available");
    case xwe::Refused:
        return QStringLiteral("operation refused by the platform");
    case xwe::NotSupported:
        return QStringLiteral("not supported by this desktop");
    case xwe::NotEnforced:
        return QStringLiteral("not in effect everywhere, see the log");
    case xwe::NoSuchSetting:
        return QStringLiteral("this desktop has no such setting");
    default:
        return QStringLiteral("unknown platform error");
    }
}

} // namespace

QString ErrorsDescription::toErrorDescription(int status)
{
    if (status == xwe::Success)
        return QStringLiteral("success");
    return QStringLiteral("failed (status %1): %2").arg(status).arg(reason(status));
}
