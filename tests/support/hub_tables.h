// The FPGA-hub platform's tables of operations, for tests that drive the
// emulated chains through the front functions.
#pragma once

#include "drv/hub.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

inline void use_fpga_hub_tables() {
    g_platform = ZYNQ_HUB_B13;
    hub_init();
    init_kmx_gpio();
    init_kmx_cmd();
    init_kmx_chain();
    init_kmx_pwm();
}
