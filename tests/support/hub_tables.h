// The FPGA-hub platform's tables of operations, for tests that drive the
// emulated chains through the front functions.
#pragma once

#include "drv/hub.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

inline void use_fpga_hub_tables() {
    g_platform = ZYNQ_HUB_B13;
    // The windows are mapped once per process; a second suite reuses them.
    static bool mapped = false;
    if (!mapped) hub_init();
    mapped = true;
    init_kmx_gpio();
    init_kmx_cmd();
    init_kmx_chain();
    init_kmx_pwm();
}

#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "misc/kmx_misc.h"

// One 80-chip chain in slot 0, powered and released, as the only chain.
inline void use_one_powered_chain() {
    g_chip_type = 0;
    g_miner_subtype = 0;
    g_chip_num = 80;
    g_chain_num = 1;
    g_chain_id[0] = 0;
    hub_set_power_en(0, 1);
    hub_set_reset(0, 1);
    hub_spi_init(0, 80);
}
