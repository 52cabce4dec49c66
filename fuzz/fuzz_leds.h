// Set-up of the targets whose code drives the board LEDs: the daemon does
// so through the hub's GPIO table (platform 4).
#pragma once

#include "drv/hub.h"
#include "fuzz_support.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

namespace fuzz {

inline void setup_machine_with_leds() {
    setup_machine();
    g_platform = 4;
    hub_init();
    init_kmx_gpio();
}

}  // namespace fuzz
