#include "drv/hub_temp.h"

#include "drv/hub.h"
#include "drv/hub_spi.h"
#include "module/kmx_fan.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "zynq/zynq_chain_internal.h"

namespace {

// Raw codes: lower is hotter. Outside [hi_thr, lo_thr] a reading is noise.
int filter(int v) { return (v >= g_temp_hi_thr && v <= g_temp_lo_thr) ? v : 0; }

void fields(uint32_t word, int (&out)[3]) {
    for (int i = 0; i < 3; i++) out[i] = filter(int((word >> (10 * i)) & 0x3FF));
}

uint32_t reg(uint8_t c, uint32_t off) { return Xil_SPI_In32(HUB_SPI_BLOCK(c) + off); }

[[noreturn]] void danger_shutdown(uint8_t c) {
    kmx_logf(5, "chain %d in danger, power down\n", c);
    // The supply's output goes off first, as in the normal power-down: the
    // power enable alone leaves the board fed by an I2C supply.
    chain_supply_off(c);
    kmx_set_power_en(c, 0);
    kos::sleep_s(1);
    kmx_set_reset(c, 0);
    kmx_set_start_en(c, 0);
    for (;;) {
        kmx_set_led(c, 1);
        kos::sleep_s(1);
        kmx_set_led(c, 0);
        kos::sleep_s(1);
    }
}

constexpr int kMsb = 33, kLsb = 24;

}  // namespace

extern "C" {

int hub_get_hitemp_stat(uint8_t chain_id, kmx_temp_s *t) {
    fields(reg(chain_id, HUB_SPI_TEMP_HI), t->temp_highest);
    for (int v : t->temp_highest)
        if (v != 0 && v < g_dangerous_temp) danger_shutdown(chain_id);
    kmx_logf(2, "chain %d,Hi: %d,%d,%d\n", chain_id, t->temp_highest[0], t->temp_highest[1], t->temp_highest[2]);
    return 0;
}

int hub_get_lotemp_stat(uint8_t chain_id, kmx_temp_s *t) {
    fields(reg(chain_id, HUB_SPI_TEMP_LO), t->temp_lowest);
    kmx_logf(2, "chain %d,lo: %d,%d,%d\n", chain_id, t->temp_lowest[0], t->temp_lowest[1], t->temp_lowest[2]);
    return 0;
}

// Without a chip count there is no average (a division by zero before).
int hub_get_avgtemp_stat(uint8_t chain_id, kmx_temp_s *t) {
    const unsigned raw = reg(chain_id, HUB_SPI_TEMP_AVG) & 0xFFFF;
    if (g_chip_num <= 0) {
        kmx_logf(5, "chain %d: no chip count for the average temperature\n", chain_id);
        t->final_temp_avg = 0;
    } else {
        t->final_temp_avg = filter(int(raw * 2 / unsigned(g_chip_num)));
    }
    kmx_logf(2, "chain %d,avg: %d\n", chain_id, t->final_temp_avg);
    return 0;
}

bool hub_cmd_get_temp(struct kmx_fan_temp_s *fan_temp_ctrl, uint8_t chain_id) {
    if (!fan_temp_ctrl || !fan_temp_ctrl->kmx_temp || chain_id >= HUB_SPI_CHAINS) return false;
    if (kmx_get_plug(chain_id) != 0) return false;  // 1 = no board
    enable_auto_cmd0a(chain_id, g_dangerous_temp, kMsb, kLsb, 0, 0);
    bool done = false;
    for (int i = 0; i < 1000; i++) {
        if (reg(chain_id, HUB_SPI_TEMP_AVG) & (1u << 24)) {
            done = true;
            break;
        }
        kos::sleep_us(100);
    }
    if (done) {
        kmx_temp_s *t = &fan_temp_ctrl->kmx_temp[chain_id];
        hub_get_hitemp_stat(chain_id, t);
        hub_get_lotemp_stat(chain_id, t);
        hub_get_avgtemp_stat(chain_id, t);
    }
    disable_auto_cmd0a(chain_id, g_dangerous_temp, kMsb, kLsb, 0, 0);
    return done;
}

}  // extern "C"
