#include "module/kmx_tempctrl.h"
#include "module/kmx_tempctrl_internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "hub/kmx_i2c.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_fan.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "module/kmx_wd.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "record/kmx_record.h"
#include "record/kmx_record_shared_internal.h"
#include "zynq/zynq_chain.h"

c_temp_cfg g_tmp_cfg = {-40, 160, 70, 30, 100, 105, 115, 2000, false, 1};
c_temp g_chain_tmp[8];
int g_chip_tmp[8][168];
int g_chain_tmp_fails[8];
int g_temp_status[8];
bool g_overheat;
// Static: re-init never re-creates a lock another thread may hold.
pthread_mutex_t g_temp_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Guards each whole store and copy of a summary. Not g_temp_lock: that one
// is held across the sensor reads of every chain, and readers of one
// summary must not wait for them.
std::mutex s_summary_lock;

void store_summary(int chain, const c_temp &t) {
    std::lock_guard<std::mutex> hold(s_summary_lock);
    g_chain_tmp[chain] = t;
}

bool s_read_once[8];  // false until the chain's first reading: read at once

bool chain_ok(int c) { return c >= 0 && c < KMX_MAX_CHAIN; }

bool plausible(const c_temp &t) {
    const auto in = [](double v) { return v >= g_tmp_cfg.tmp_min && v <= g_tmp_cfg.tmp_max; };
    return in(t.tmp_hi) && in(t.tmp_lo) && in(t.tmp_avg);
}

bool supply_counts(int chain) { return !misc_vid_type_is_i2c() || kmx_get_i2c_psu(chain); }

uint8_t rec_byte(int c) { return uint8_t(std::clamp(c + 64, 0, 255)); }

}  // namespace

c_temp kmx_chain_tmp_snapshot(int chain) {
    if (!chain_ok(chain)) return c_temp{KMX_NO_READING, KMX_NO_READING, KMX_NO_READING, 0};
    std::lock_guard<std::mutex> hold(s_summary_lock);
    return g_chain_tmp[chain];
}

extern "C" void kmx_tempctrl_get_defcfg(c_temp_cfg *p_cfg) {
    if (p_cfg) *p_cfg = c_temp_cfg{-40, 160, 70, 30, 100, 105, 115, 2000, false, 1};
}

extern "C" void kmx_tempctrl_set_cfg(c_temp_cfg *p_cfg) {
    if (p_cfg) g_tmp_cfg = *p_cfg;
}

extern "C" void kmx_tempctrl_init(c_temp_cfg *p_cfg) {
    c_temp_cfg def;
    kmx_tempctrl_get_defcfg(&def);
    kmx_tempctrl_set_cfg(p_cfg ? p_cfg : &def);
    for (int c = 0; c < KMX_MAX_CHAIN; c++) {
        store_summary(c, c_temp{KMX_NO_READING, KMX_NO_READING, KMX_NO_READING, 0});
        g_chain_tmp_fails[c] = 0;
        g_temp_status[c] = 0;
        s_read_once[c] = false;
    }
    g_overheat = false;
}

extern "C" uint32_t kmx_tempctrl_update_chain_temp(int chain) {
    if (!chain_ok(chain)) return uint32_t(TEMP_INVALID);
    int status = g_temp_status[chain];
    const uint64_t now = kmx_get_systime_ms();
    if (!s_read_once[chain] ||
        now - kmx_chain_tmp_snapshot(chain).last_update >= uint64_t(g_tmp_cfg.tmp_exp_time)) {
        c_temp t = {KMX_NO_READING, KMX_NO_READING, KMX_NO_READING, 0};
        int *chips = g_chip_tmp[chain];
        const int failed = g_tmp_cfg.tmp_read_by_group
                               ? kmx_get_chip_temp_by_group(uint8_t(chain), chips, g_tmp_cfg.tmp_read_group_cnt, false)
                               : kmx_get_chip_temp(uint8_t(chain), chips);
        if (failed) {
            kmx_logf(5, "chain%d: failed to read chain temperature", chain);
        } else {
            // Offsets only on a whole reading: a partial one would add them twice.
            if (!g_tmp_cfg.tmp_read_by_group)
                for (int i = 0; i < std::min(g_chip_num, KMX_MAX_CHIP); i++) chips[i] += adjust_temp_map[chain][i];
            kmx_stat_chain_temp(chips, &t);
        }
        kmx_logf(1, "chain%d: Tmax=%hd, Tmin=%hd, Tavg=%.1f", chain, t.tmp_hi, t.tmp_lo, double(t.tmp_avg));
        if (!plausible(t)) {
            kmx_logf(5, "chain%d: error temperature ignored(%d): Tmax=%hd, Tmin=%hd, Tavg=%.1f", chain,
                     g_chain_tmp_fails[chain], t.tmp_hi, t.tmp_lo, double(t.tmp_avg));
            g_chain_tmp_fails[chain]++;
            kmx_logf(3, "chain%d reset tsadc div!", chain);
            kmx_configure_tvsensor(chain, 0, true);
            if (g_chain_tmp_fails[chain] > 4) {
                kmx_logf(5, "chain%d: failed to read temperature for %d times, SHUTDOWN", chain,
                         g_chain_tmp_fails[chain]);
                std::atomic_ref<int>(g_chain_alive[chain]).store(0);
                if (supply_counts(chain)) {
                    int chip = failed;
                    kmx_set_errcode(ERRCODE_INV_TEMP, nullptr, true, chain, &chip, 1);
                    kmx_save_errcode();
                }
                misc_check_power_supply(chain);
                kmx_chain_power_down(uint8_t(chain));
                g_chain_tmp_fails[chain] = 0;
            }
            status = TEMP_INVALID;
        } else {
            // The running record holds only plausible summaries.
            chain_para &rec = g_chains_info[chain];  // read by the record thread
            kmx_record::shared_store(rec.tmp_min, rec_byte(t.tmp_lo));
            kmx_record::shared_store(rec.tmp_max, rec_byte(t.tmp_hi));
            kmx_record::shared_store(rec.tmp_avg, rec_byte(int(t.tmp_avg)));
            kmx_record::shared_store(rec.temp_timestamp, kmx_get_time_stamp());
            t.last_update = now;
            store_summary(chain, t);
            s_read_once[chain] = true;
            g_chain_tmp_fails[chain] = 0;
            const int h = t.tmp_hi, l = t.tmp_lo;
            if (h >= g_tmp_cfg.tmp_thr_pd) {
                g_overheat = true;
                kmx_chain_overheat(chain);
                if (supply_counts(chain)) {
                    kmx_set_errcode(ERRCODE_OVERHEAT, nullptr, true, chain, nullptr, 0);
                    kmx_save_errcode();
                }
                status = TEMP_OVERHEAT;
            } else if (h >= g_tmp_cfg.tmp_thr_warn) {
                status = TEMP_WARNING;
            } else if (h >= g_tmp_cfg.tmp_thr_hi) {
                status = TEMP_HOT;
            } else if (h >= g_tmp_cfg.tmp_thr_warn - 10) {
                status = TEMP_NEAR_WARNING;
            } else if (l < g_tmp_cfg.tmp_thr_lo) {
                status = TEMP_COLD;
            } else {
                status = TEMP_NORMAL;
            }
            if (std::atomic_ref<int>(g_chain_alive[chain]).load()) {
                wd_msg_data m = {};
                m.chain_id = chain;
                m.tmp_lo = t.tmp_lo;
                m.tmp_hi = t.tmp_hi;
                m.tmp_avg = t.tmp_avg;
                m.last_update = t.last_update;
                kmx_wd_send_msg(WD_MSG_CHAIN_TEMP, &m);
            }
        }
    }
    if (g_overheat) {
        kmx_logf(5, "DANGEROUS TEMPERATURE(%d): shut down chain %d", kmx_chain_tmp_snapshot(chain).tmp_hi, chain);
        kmx_chain_power_down(uint8_t(chain));
        std::atomic_ref<int>(g_chain_alive[chain]).store(0);
        status = TEMP_OVERHEAT;
    }
    if (g_temp_status[chain] != TEMP_OVERHEAT) g_temp_status[chain] = status;
    return uint32_t(g_temp_status[chain]);
}

extern "C" void kmx_tempctrl_update_temp(uint8_t chain_mask) {
    pthread_mutex_lock(&g_temp_lock);
    for (int i = 0; i < std::min(g_chain_num, KMX_MAX_CHAIN); i++) {
        const int c = g_chain_id[i];
        if (chain_ok(c) && ((chain_mask >> i) & 1) && std::atomic_ref<int>(g_chain_alive[c]).load())
            kmx_tempctrl_update_chain_temp(c);
    }
    pthread_mutex_unlock(&g_temp_lock);
}

extern "C" int kmx_get_tmp_target(void) { return g_tmp_cfg.tmp_target; }

extern "C" int kmx_check_temp_loop(int chain_id, int count) {
    int st = TEMP_INVALID;
    for (int i = 0; i < count; i++) {
        if (i) kos::sleep_us(200);
        st = int(kmx_tempctrl_update_chain_temp(chain_id));
        if (st != TEMP_INVALID) break;
    }
    return st;
}

extern "C" int get_all_chain_aver_temp_max(void) {
    int best = -40;
    for (int i = 0; i < std::min(g_chain_num, KMX_MAX_CHAIN); i++) {
        const int c = g_chain_id[i];
        if (!chain_ok(c)) continue;
        const float a = kmx_chain_tmp_snapshot(c).tmp_avg;
        if (a > best && a < 160) best = int(a);
    }
    return best;
}

extern "C" void kmx_chain_preheat(unsigned chain_id, int target, unsigned time_out) {
    if (!chain_ok(int(chain_id)) || get_all_chain_aver_temp_max() >= target) return;
    if (g_fan_cfg.bypass) {
        kmx_fanctrl_set_fan_speed_target(20);
        kmx_fanctrl_set_bypass(false);
    }
    for (unsigned pass = 0; pass < time_out / 4 + 1; pass++) {
        if (misc_vid_type_is_i2c() && !kmx_i2c_feed_watchdog(false))
            kmx_set_errcode(ERRCODE_PSU_I2C_FAIL, (char *)"watchdog timeout!", false, 255, nullptr, 0);
        kmx_tempctrl_update_chain_temp(int(chain_id));
        const float avg = kmx_chain_tmp_snapshot(int(chain_id)).tmp_avg;
        // A missing reading (9999) is not a warm chain.
        if ((avg >= target && avg <= g_tmp_cfg.tmp_max) || get_all_chain_aver_temp_max() > 64) return;
        kmx_logf(5, "chain%d: tmp_avg:%.1f speed:%d", chain_id, double(avg), (unsigned char)g_fan_cfg.fan_speed);
        kos::sleep_s(4);
    }
}
