#pragma once

#include "sysroot.h"

namespace xwe {

// Every fixed absolute path of the library goes through the sysroot helper
// the programs use as well; the library links its own copy of it.
using vorn::base::sysroot;
using vorn::base::sysrootPath;

} // namespace xwe
