#pragma once

#include <QString>

namespace vorn {
namespace base {

// Every fixed absolute path of the programs goes through here. When the
// environment variable VORN_SYSROOT is set and non-empty, an absolute path is
// taken below that directory; otherwise it is returned unchanged.
QString sysrootPath(const QString& absolutePath);

// The sysroot directory itself, empty when none is set.
QString sysroot();

} // namespace base
} // namespace vorn
