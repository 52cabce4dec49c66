#include "module/kmx_fan_internal.h"

#include <algorithm>
#include <atomic>
#include <pthread.h>

#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "misc/kmx_misc.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tempctrl_internal.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "record/kmx_record.h"
#include "record/kmx_record_shared_internal.h"

c_fan_cfg g_fan_cfg = {1, 255, 0, 50, 10, 2, false, false};
int g_fan_profile = FAN_PF_NORMAL;
float g_pid_p = 10.0f;
float g_pid_i = 0.5f;
float g_component_I = 0;
int g_fanctrl_cycles = 0;
bool g_chain_temp_not_update[8];
static c_temp g_dev_tmp;
static int s_missing = 0;
int g_fan_speed_set = 0;
int g_temp_hi_thr;
int g_temp_lo_thr;
int g_dangerous_temp;

extern "C" void kmx_fan_speed_set(uint8_t fan_id, int speed) {
    int duty = speed;
    // Clamp before inverting: an out-of-range request means full speed, and
    // on inverted hardware full speed is a written 0.
    if (duty < 0 || duty > 100) {
        kmx_logf(5, "error:fan duty:%d,so force fan duty to 100", duty);
        duty = 100;
    }
    // These boards wire the fan drive inverted.
    if (g_vid_type == 15 && (g_chip_type == 0 || g_chip_type == 3 || g_chip_type == 6 || g_chip_type == 7 ||
                             g_chip_type == 11 || g_chip_type == 12))
        duty = 100 - duty;
    kmx_set_pwm(fan_id, 20000, duty);
}

extern "C" void kmx_fanctrl_set_fan_speed(int speed) {
    int duty = speed / 5 > 20 ? 100 : (speed / 5) * 5;
    if (duty < g_fan_cfg.fan_speed_preheat) duty = g_fan_cfg.fan_speed_preheat;
    if (duty != g_fan_cfg.fan_speed) kmx_logf(2, "fan speed set to %d", duty);
    g_fan_cfg.fan_speed = uint8_t(duty);
    kmx_record::shared_store(g_fan_speed_set, duty);  // read by the record thread
    for (uint8_t fan = 0; fan < 3; fan++) kmx_fan_speed_set(fan, duty);
}

extern "C" void kmx_fanctrl_set_fan_speed_target(int target) {
    if (target > 100) target = 100;
    if (target < g_fan_cfg.fan_speed_preheat) target = g_fan_cfg.fan_speed_preheat;
    if (target != g_fan_cfg.fan_speed_target) kmx_logf(3, "FAN SPEED TARGET set to %d", target);
    g_fan_cfg.fan_speed_target = uint8_t(target);
}

extern "C" void kmx_fanctrl_set_bypass(bool bypass) {
    g_fan_cfg.bypass = bypass;
    kmx_logf(5, bypass ? "fan ctrl BYPASS mode enabled" : "fan ctrl BYPASS mode disabled");
}

extern "C" void kmx_fanctrl_get_defcfg(c_fan_cfg *p_cfg) {
    if (!p_cfg) return;
    p_cfg->fan_mode = FAN_MODE_AUTO;
    p_cfg->fan_speed = 255;
    p_cfg->fan_speed_target = 50;
    p_cfg->fan_speed_preheat = 10;
    p_cfg->fan_ctrl_cycle = 2;
    p_cfg->preheat = false;
    p_cfg->bypass = false;
}

extern "C" void kmx_fanctrl_get_cfg(c_fan_cfg *) {}

extern "C" void kmx_fanctrl_init(c_fan_cfg *p_cfg) {
    if (p_cfg) {
        g_fan_cfg = *p_cfg;
    } else {
        g_fan_cfg = c_fan_cfg{};
        kmx_fanctrl_get_defcfg(&g_fan_cfg);
    }
    g_fan_profile = FAN_PF_NORMAL;
    g_component_I = 0;
    g_fanctrl_cycles = 0;
    s_missing = 0;
    const int st = g_miner_subtype;
    g_pid_p = 10.0f;
    g_pid_i = (st == 32 || st == 64 || st == 65 || st == 66 || st == 68) ? 1.0f : 0.5f;
    for (bool &f : g_chain_temp_not_update) f = false;
}

extern "C" float kmx_get_tmp(void) { return g_dev_tmp.tmp_avg; }

namespace {

bool in_use_alive(int c) { return c >= 0 && c < KMX_MAX_CHAIN && std::atomic_ref<int>(g_chain_alive[c]).load(); }

// A chain whose summary stopped advancing: full speed once per episode.
bool stale_check() {
    const bool q37 = g_chip_type == 10;
    const int limit_s = q37 ? 120 : 30;
    const uint64_t now = kmx_get_systime_ms();
    bool flagged = false;
    for (int i = 0; i < std::min(g_chain_num, KMX_MAX_CHAIN); i++) {
        const int c = g_chain_id[i];
        if (c < 0 || c >= KMX_MAX_CHAIN) continue;
        const c_temp t = kmx_chain_tmp_snapshot(c);
        const bool stale = std::atomic_ref<int>(g_chain_alive[c]).load() && now > t.last_update &&
                           now - t.last_update > uint64_t(limit_s) * 1000;
        if (!stale) {
            g_chain_temp_not_update[c] = false;
            continue;
        }
        if (g_chain_temp_not_update[c]) continue;
        g_chain_temp_not_update[c] = true;
        flagged = true;
        kmx_fanctrl_set_fan_speed(100);
        if (q37) {
            kmx_logf(5, "[Q37]chain%d: temperature not updated for more than %ds force fan speed to %d", c, limit_s, 100);
        } else {
            kmx_logf(5, "chain%d: temperature not updated for more than %ds force fan speed to %d", c, limit_s, 100);
            // The record thread reads and clears the event word atomically.
            __atomic_store_n(&g_force_flush_nand, EVENTS_TEMP_NOT_UPDATE, __ATOMIC_SEQ_CST);
            kmx_logf(5, "events:%d chain%d: temperature not updated for more than %ds!\n", EVENTS_TEMP_NOT_UPDATE, c, 30);
        }
    }
    return flagged;
}

}  // namespace

extern "C" void fanctrl_step(void) {
    if (g_fan_cfg.bypass) {
        kmx_fanctrl_set_fan_speed(g_fan_cfg.fan_speed_target);
        return;
    }
    g_fanctrl_cycles++;
    int16_t lo = g_tmp_cfg.tmp_max, hi = g_tmp_cfg.tmp_min;
    float avg = 0;
    bool any = false;
    for (int i = 0; i < std::min(g_chain_num, KMX_MAX_CHAIN); i++) {
        const int c = g_chain_id[i];
        if (!in_use_alive(c)) continue;
        const c_temp t = kmx_chain_tmp_snapshot(c);
        if (!(t.tmp_avg > g_tmp_cfg.tmp_min && t.tmp_avg < g_tmp_cfg.tmp_max)) continue;
        any = true;
        lo = std::min(lo, t.tmp_lo);
        hi = std::max(hi, t.tmp_hi);
        avg = std::max(avg, t.tmp_avg);
    }
    if (!any) {
        if (++s_missing >= 3 && g_fan_cfg.fan_speed < 100) {
            kmx_logf(4, "WARNING: unable to read temperature, force fan speed to %d", 100);
            kmx_fanctrl_set_fan_speed(100);
            s_missing = 0;
        }
        return;
    }
    s_missing = 0;
    g_dev_tmp.tmp_lo = lo;
    g_dev_tmp.tmp_hi = hi;
    g_dev_tmp.tmp_avg = avg;
    if (g_fan_cfg.fan_mode == FAN_MODE_MANUAL) {
        kmx_fanctrl_set_fan_speed(g_fan_cfg.fan_speed_manual);
        return;
    }
    const int thr = g_tmp_cfg.tmp_thr_hi - (g_fan_profile == FAN_PF_OVERHEAT ? 2 : 0);
    if (hi >= thr) {
        kmx_fanctrl_set_fan_speed(100);
        if (g_fan_profile != FAN_PF_OVERHEAT)
            kmx_logf(5, "OVERHEAT: temp_hi over %d, force fan speed to %d", g_tmp_cfg.tmp_thr_hi, 100);
        g_fan_profile = FAN_PF_OVERHEAT;
        return;
    }
    g_fan_profile = FAN_PF_NORMAL;
    if (stale_check()) return;
    const float e = avg - float(g_tmp_cfg.tmp_target);
    const int cand = int(g_component_I + e * g_pid_i + e * g_pid_p);
    if ((e < 0 && cand > 0) || (e > 0 && cand < 100)) {
        g_component_I = g_component_I + e * g_pid_i;
        kmx_fanctrl_set_fan_speed(cand);
    } else {
        kmx_fanctrl_set_fan_speed(int(e * g_pid_p + g_component_I));
    }
}

extern "C" void *kmx_fanctrl_thread(void *) {
    // The mining program creates this thread: named here, for ps, top and
    // /proc/PID/task/*/comm.
    pthread_setname_np(pthread_self(), "fan_ctrl");
    for (;;) {
        // A configured 0 would spin.
        kos::sleep_s(std::max<int>(1, g_fan_cfg.fan_ctrl_cycle));
        fanctrl_step();
    }
    return nullptr;
}
