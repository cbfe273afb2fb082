#pragma once

#include <QString>
#include <QStringList>

namespace xwe {
namespace packageprograms {

// What users can start of one installed package, as paths that dpkg lists for it: its
// desktop launchers, and every executable file of the package that a command in a
// program directory (/usr/bin, ...) or a launcher's Exec= leads to, links followed (below
// the sysroot) and wrapper scripts followed to the package's executables they name.
// Links and names that lead out of the package lead to nothing of it. *installed tells
// whether dpkg knows the package.
QStringList userRunnable(const QString& package, bool* installed);

// The arguments that make dpkg's tools work on the sysroot's package database.
QStringList dpkgRootArguments();

// The path a path leads to below the sysroot, every link on the way followed (absolute
// targets taken below the sysroot as well); empty when it leads nowhere.
QString resolve(const QString& path);

} // namespace packageprograms
} // namespace xwe
