#pragma once

#include <QString>

namespace xwe {

// Every fixed absolute path of the library goes through here. When the
// environment variable VORN_SYSROOT is set and non-empty, an absolute path is
// taken below that directory; otherwise it is returned unchanged. The library
// reads the variable itself: it is built and swapped apart from the programs.
QString sysrootPath(const QString& absolutePath);

// The sysroot directory itself, empty when none is set.
QString sysroot();

} // namespace xwe
