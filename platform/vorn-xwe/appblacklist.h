#pragma once

#include <QJsonObject>
#include <QStringList>

namespace xwe {
namespace appblacklist {

// Debian package names, optionally with an architecture qualifier ("name:amd64").
bool isPackageName(const QString& name);

// Makes the programs and desktop launchers that each listed package installs unusable for
// users (mode 0700 or 0600, registered with dpkg-statoverride so that upgrades keep it) and
// gives the files of packages no longer listed their original owner and mode back.
// overrides is our record of what we changed: package -> [{path, uid, gid, mode}]; it is
// updated to what is in place, also when the call fails half-way.
int apply(const QStringList& packages, QJsonObject* overrides);

} // namespace appblacklist
} // namespace xwe
