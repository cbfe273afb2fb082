#include "statusschema.h"

#include "common/shared/sysroot.h"

#include <QDir>

namespace vorn {
namespace status {

QString qargStatusPath()
{
    return base::sysrootPath(QStringLiteral("/run/qarg/status.json"));
}

QString qargDetailPath()
{
    return base::sysrootPath(QStringLiteral("/run/qarg/status-detail.json"));
}

QString stateHome()
{
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return defaultStateHome(QDir::homePath());
}

QString defaultStateHome(const QString& home)
{
    return home + QStringLiteral("/.local/state");
}

QString sessionStatusPath(const QString& stateHome)
{
    return stateHome + QStringLiteral("/vorn/status.json");
}

QString sessionJournalPath(const QString& stateHome)
{
    return stateHome + QStringLiteral("/vorn/receipts");
}

} // namespace status
} // namespace vorn
