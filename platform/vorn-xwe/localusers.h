#pragma once

#include <QList>
#include <QString>

namespace xwe {

// Ids of the people who can log in on this machine, in the order of the
// passwd file at passwdPath: uid 1000 to 9999 with a login shell.
QList<uint> localUserIds(const QString& passwdPath);

// The same people read through the C library's user database parser (fgetpwent) from
// the passwd file at passwdPath.
QList<uint> localUserIdsFromDatabase(const QString& passwdPath);

} // namespace xwe
