#include "loginlimit.h"

#include "platformfiles.h"
#include "platformtools.h"
#include "rootpath.h"
#include "status.h"

#include <QFileInfo>

namespace xwe {
namespace loginlimit {

const char* const kProfileName = "vorn-xwe-login-limit";

namespace {

QString profilePath()
{
    return xwe::sysrootPath(QStringLiteral("/usr/share/pam-configs/") + QLatin1String(kProfileName));
}

} // namespace

QByteArray profileText()
{
    // In the account stack every service includes (common-account): a user found in the
    // local files with a uid from 1000 to 9999 is refused, everybody else jumps past the deny.
    return "Name: Refuse local accounts (endpoint-management login limit)\n"
           "Default: yes\n"
           "Priority: 0\n"
           "Account-Type: Additional\n"
           "Account:\n"
           "\t[success=ignore default=2]\tpam_localuser.so\n"
           "\t[success=ignore default=1]\tpam_succeed_if.so quiet uid >= 1000 uid <= 9999\n"
           "\trequisite\t\t\tpam_deny.so\n"
           "\trequired\t\t\tpam_permit.so\n";
}

int apply(bool allowed)
{
    if (!toolAvailable(QStringLiteral("pam-auth-update")))
        return NotSupported;
    const QString path = profilePath();
    const QString name = QString::fromLatin1(kProfileName);
    if (allowed) {
        if (!QFileInfo::exists(path))
            return Success;
        // Out of the PAM configuration first, then the profile goes.
        if (runTool(QStringLiteral("pam-auth-update"), {QStringLiteral("--package"), QStringLiteral("--remove"), name})
            != ToolOutcome::Ok)
            return Refused;
        return removeFile(path);
    }
    const int written = writeFileAtomic(path, profileText(), 0644);
    if (written != Success)
        return written;
    const ToolOutcome enabled = runTool(QStringLiteral("pam-auth-update"),
                                        {QStringLiteral("--package"), QStringLiteral("--enable"), name});
    return enabled == ToolOutcome::Ok ? Success : Refused;
}

} // namespace loginlimit
} // namespace xwe
