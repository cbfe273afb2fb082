#include "sysroot.h"

#include <QDir>

namespace vorn {
namespace base {

QString sysroot()
{
    const QString root = qEnvironmentVariable("VORN_SYSROOT");
    if (root.isEmpty())
        return QString();
    return QDir::cleanPath(root);
}

QString sysrootPath(const QString& absolutePath)
{
    const QString root = sysroot();
    if (root.isEmpty() || !absolutePath.startsWith(QLatin1Char('/')))
        return absolutePath;
    if (root == QLatin1String("/"))
        return absolutePath;
    return root + absolutePath;
}

} // namespace base
} // namespace vorn
