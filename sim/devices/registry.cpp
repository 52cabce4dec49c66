// Registers the emulated machine's active devices with the os layer. Each
// device adds one call here (static registration objects would be dropped by
// the linker from the static library).
#include "sim/devices/machine_desc.h"

namespace sim {

void register_devices() {}

}  // namespace sim
