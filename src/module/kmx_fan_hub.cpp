// The legacy fan curve: drives fan 0 from the FPGA hub's own per-chain
// temperature statistics. The values are raw sensor codes, lower is hotter.
#include <cstdlib>

#include "drv/hub_gpio.h"
#include "module/kmx_fan.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

int g_temp_start_thr;
int g_work_temp;
int g_fan_speed;

namespace {

int s_holds = 0;

// Smallest (or largest) non-zero of three readings; 0 unless two or more
// of them are non-zero, so one lone reading cannot steer the fans.
int pick(const int v[3], bool smallest) {
    int n = 0, best = 0;
    for (int i = 0; i < 3; ++i) {
        if (v[i] == 0) continue;
        if (n == 0 || (smallest ? v[i] < best : v[i] > best)) best = v[i];
        ++n;
    }
    return n >= 2 ? best : 0;
}

bool plausible(int v) { return v >= g_temp_hi_thr && v <= g_temp_lo_thr; }

void switch_off(uint8_t chain) {
    hub_set_power_en(chain, 0);
    kos::sleep_s(1);
    hub_set_reset(chain, 0);
    hub_set_start_en(chain, 0);
    hub_set_led(chain, 1);
}

}  // namespace

extern "C" void kmx_fan_temp_init(uint8_t fan_id, kmx_temp_config_s cfg) {
    g_temp_hi_thr = cfg.temp_hi_thr;
    g_temp_lo_thr = cfg.temp_lo_thr;
    g_temp_start_thr = cfg.temp_start_thr;
    g_dangerous_temp = cfg.dangerous_stat_temp;
    g_work_temp = cfg.work_temp;
    g_fan_speed = cfg.default_fan_speed;
    kmx_logf(2, "hi %d,lo %d,st %d,da %d, wk %d\n", g_temp_hi_thr, g_temp_lo_thr, g_temp_start_thr,
             g_dangerous_temp, g_work_temp);
    kmx_fan_speed_set(fan_id, cfg.default_fan_speed);
    kmx_logf(2, "pwm  step:%d.\n", 5);
    kmx_logf(2, "duty max: %d.\n", 100);
    kmx_logf(2, "targ freq:%d.\n", 20000);
    kmx_logf(2, "freq rate:%d.\n", 20000);
    kmx_logf(2, "fan speed thrd:%d.\n", 100);
    kmx_logf(2, "fan up thrd:%d.\n", 55);
    kmx_logf(2, "fan down thrd:%d.\n", 35);
}

extern "C" void kmx_fan_speed_update_hub(struct kmx_fan_temp_s *ft) {
    if (ft == nullptr || ft->kmx_temp == nullptr) return;
    if (ft->speed == 0) ft->speed = g_fan_speed;
    int hottest = g_temp_lo_thr;
    const int chains = g_chain_num < KMX_MAX_CHAIN ? g_chain_num : KMX_MAX_CHAIN;
    for (int i = 0; i < chains; ++i) {
        if (hub_get_plug(uint8_t(i)) != 0) continue;
        kmx_temp_s &t = ft->kmx_temp[i];
        t.final_temp_hi = pick(t.temp_highest, true);
        t.final_temp_lo = pick(t.temp_lowest, false);
        kmx_logf(2, "temp:%d,%d,%d\n", t.final_temp_hi, t.final_temp_avg, t.final_temp_lo);
        if (!plausible(t.final_temp_hi) || !plausible(t.final_temp_avg) || !plausible(t.final_temp_lo)) {
            kmx_logf(5, "Notice!!! Error temperature for chain %d,h:%d,a:%d,l:%d\n", i, t.final_temp_hi,
                     t.final_temp_avg, t.final_temp_lo);
            continue;
        }
        if (t.final_temp_hi < g_dangerous_temp) switch_off(uint8_t(i));
        if (t.final_temp_hi < hottest) hottest = t.final_temp_hi;
    }
    // No plausible chain, or one pinned at the hot end: full speed.
    if (hottest == g_temp_lo_thr || hottest == g_temp_hi_thr) {
        kmx_fan_speed_set(0, 100);
        return;
    }
    const int dt = std::abs(g_work_temp - hottest);
    const int ds = std::abs(hottest - ft->last_fan_temp);
    kmx_logf(2, "Hi temp %d,delt_temp %d,delt_speed %d\n", hottest, dt, ds);
    if (dt > 3) {
        if (ds < 2 && s_holds < 3) {
            ++s_holds;
            return;
        }
        s_holds = 0;
        if (hottest > g_work_temp)
            ft->speed = ft->speed < 16 ? 10 : ft->speed - 5;
        else
            ft->speed = ft->speed >= 95 ? 100 : ft->speed + 5;
    }
    if (ft->speed == ft->last_fan_speed) return;
    ft->last_fan_speed = ft->speed;
    ft->last_fan_temp = hottest;
    kmx_fan_speed_set(0, ft->speed);
}
