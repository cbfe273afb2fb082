#pragma once

namespace xwe {
namespace rfkill {

enum class Radio { Wireless, Bluetooth };

// Soft-blocks (enable false) or unblocks every device of that type through the kernel's
// rfkill interface, /dev/rfkill: one change-all event. Returns a status of status.h.
int setEnabled(Radio radio, bool enable);

} // namespace rfkill
} // namespace xwe
