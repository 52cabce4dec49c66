#include "zynq/zynq_chain.h"

#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

// The supply outputs are switched here too once the I2C supply is in place;
// until then only the chain lines are driven.

extern "C" bool zynq_chain_power_down(uint8_t chain_id) {
    kmx_logf(3, "chain%d power down", chain_id);
    kmx_set_power_en(chain_id, 0);
    kos::sleep_s(1);
    kmx_set_reset(chain_id, 0);
    kmx_set_start_en(chain_id, 0);
    kmx_set_led(chain_id, 1);
    return true;
}

extern "C" bool zynq_chain_hw_reset(uint8_t chain_id) {
    kmx_set_reset(chain_id, 0);
    kos::sleep_s(1);
    kmx_set_reset(chain_id, 1);
    kos::sleep_s(1);
    return true;
}

extern "C" bool zynq_chain_power_down_all(void) {
    kmx_logf(3, "all chains power down");
    kos::sleep_s(1);
    for (int i = 0; i < g_chain_num && i < KMX_MAX_CHAIN; i++) kmx_set_power_en(uint8_t(g_chain_id[i]), 0);
    kos::sleep_s(1);
    for (int i = 0; i < g_chain_num && i < KMX_MAX_CHAIN; i++) {
        const uint8_t c = uint8_t(g_chain_id[i]);
        kmx_set_reset(c, 0);
        kmx_set_start_en(c, 0);
        kmx_set_led(c, 1);
    }
    return true;
}

namespace {
// 1 while the chain's supply output is switched on.
int i2c_psu_en[KMX_MAX_CHAIN];
}  // namespace

// Only the remembered state for now; the supply command follows with the
// supply link.
extern "C" void set_i2c_psu_en(int chain, int enable) {
    if (chain < 0 || chain >= KMX_MAX_CHAIN || !misc_vid_type_is_i2c()) return;
    i2c_psu_en[chain] = enable;
}

extern "C" bool kmx_get_i2c_psu(int chain) {
    return chain >= 0 && chain < KMX_MAX_CHAIN && i2c_psu_en[chain] != 0;
}
