#pragma once

#include <QJsonObject>
#include <QStringList>

namespace xwe {
namespace appblacklist {

// Debian package names, optionally with an architecture qualifier ("name:amd64").
bool isPackageName(const QString& name);

// Makes what users can start of each listed package unusable for them: its desktop
// launchers and every executable of it that a command on PATH or a launcher's Exec= leads
// to, through links and wrapper scripts (mode & 0700, registered with dpkg-statoverride so
// that upgrades keep it), and gives the files of packages no longer listed their original
// owner and mode back. NotEnforced when something of a listed package stays runnable (the
// log names it); files with an administrator's own override are left to the administrator.
// overrides is our record of what we changed: package -> [{path, uid, gid, mode}]; it is
// updated to what is in place, also when the call fails half-way.
int apply(const QStringList& packages, QJsonObject* overrides);

} // namespace appblacklist
} // namespace xwe
