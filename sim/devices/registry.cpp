// Registers the emulated machine's active devices with the os layer. Each
// device adds one call here (static registration objects would be dropped by
// the linker from the static library).
#include "sim/devices/hub_spi_engine.h"
#include "sim/devices/machine_desc.h"

namespace sim {

void register_devices() { register_hub_spi_engine(); }

}  // namespace sim
