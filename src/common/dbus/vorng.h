#pragma once

// The core client service: its proxy class and its bus coordinates.
#include "vorng_interface.h"

#include <QString>

namespace vorn {
inline QString vorngService() { return QStringLiteral("com.kestal.vorn.vorng"); }
inline QString vorngPath() { return QStringLiteral("/com/kestal/vorn/vorng"); }
inline QString vorngInterfaceName() { return QStringLiteral("com.kestal.vorn.vorng"); }
} // namespace vorn
