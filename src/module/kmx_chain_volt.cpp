// The two bring-up ramps (work point as a VID, or as a core voltage found
// by the closed-loop VID search), recalibration of a running chain, tuned
// values, and per-chip temperature offsets from the board map.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <string>

#include "hub/kmx_i2c.h"
#include "hub/kmx_vid.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_chain_internal.h"
#include "module/kmx_chain_volt_internal.h"
#include "module/kmx_fan.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tvsensor.h"
#include "module/kmx_tvsensor_internal.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

int s_tune_pll;
int s_tune_vol;
int s_tune_vid;
int adjust_temp_map[8][168];
int board_row;
int board_col;
int *board_map;

namespace {

constexpr const char *kErr25CntFile = "/tmp/syc_err25_cnt";
constexpr int kTopSubtype = KMX_LIB_REV >= 3 ? 69 : 68;

// Target of the last common (Vin-sync) calibration; -1: none yet.
int s_common_volt = -1;

bool chain_ok(int chain) { return chain >= 0 && chain < KMX_MAX_CHAIN; }
int chip_count() { return std::clamp(g_chip_num, 0, KMX_MAX_CHIP); }
bool in(int v, std::initializer_list<int> l) { return std::find(l.begin(), l.end(), v) != l.end(); }

int load(volatile int &v) { return __atomic_load_n(&v, __ATOMIC_SEQ_CST); }
int load(int &v) { return __atomic_load_n(&v, __ATOMIC_SEQ_CST); }

struct VinLock {
    VinLock() { pthread_mutex_lock(&g_vin_sync_lock); }
    ~VinLock() { pthread_mutex_unlock(&g_vin_sync_lock); }
};

// The failing chip of this chain's own last voltage read, as a chip list.
void raise_chain_error(ERRCODE code, const char *text, bool overwrite, int chain) {
    int chip = kmx_err_chip_of_chain(chain);
    kmx_set_errcode(code, const_cast<char *>(text), overwrite, chain, &chip, 1);
}

void feed_or_raise(const char *text) {
    if (!kmx_i2c_feed_watchdog(false)) kmx_set_errcode(ERRCODE_PSU_I2C_FAIL, const_cast<char *>(text), false, 255, nullptr, 0);
}

// Vin-sync arrival: count this chain in and wait (≤120 s) for the others.
void arrival_wait(int &counter, uint8_t chain, bool update_temp, const char *feed_text) {
    {
        VinLock hold;
        // Atomic as well: the waits below read it without the lock.
        __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST);
    }
    for (int s = 0; s < 120 && load(counter) < load(g_vsync_total_chains); s++) {
        kos::sleep_s(1);
        if (!misc_vid_type_is_i2c()) continue;
        if (update_temp) kmx_tempctrl_update_chain_temp(chain);
        feed_or_raise(feed_text);
    }
}

// One VID step; under Vin-sync done once for all chains (flag: 0 not done,
// 1 done, -1 failed), optionally followed by a 3 s pause inside the lock.
bool vid_step(int &flag, uint8_t chain, int from, int to, bool pause, const char *sync_log, const char *log) {
    if (g_vin_sync) {
        VinLock hold;
        if (flag == 0) {
            kmx_logf(3, sync_log, from, to);
            const bool ok = kmx_set_vid_by_step(0, from, to);
            flag = ok ? 1 : -1;
            if (ok && pause) kos::sleep_s(3);
        }
        if (flag < 0) {
            kmx_logf(5, "all chains: failed to set VID");
            return false;
        }
        return true;
    }
    if (log) kmx_logf(3, log, chain, from, to);
    if (!kmx_set_vid_by_step(chain, from, to)) {
        kmx_logf(5, "chain%d: failed to set VID", chain);
        return false;
    }
    return true;
}

bool read_volt(uint8_t chain, c_volt *v, const char *fail_log, bool overwrite) {
    if (kmx_chain_get_volt(chain, v)) return true;
    kmx_logf(5, fail_log, chain);
    raise_chain_error(ERRCODE_SPI_FAIL, nullptr, overwrite, chain);
    return false;
}

bool step_ramp(uint8_t chain, int from, int to) {
    if (kmx_chain_set_pll_by_step(chain, 0, from, to)) return true;
    kmx_logf(5, "chain%d: failed to set PLL", chain);
    return false;
}

// Ramp A: from the lowest level to the SPI switch frequency, with the
// coarser plan B after repeated failures.
bool ramp_a(uint8_t chain, int to) {
    char text[32];
    const auto planb_error = [&]() {
        snprintf(text, sizeof text, "%dMHz", s_setpll[chain]);
        raise_chain_error(ERRCODE_SETPLL_PLANB_FAIL, text, true, chain);
    };
    char *cnt_file = const_cast<char *>(kErr25CntFile);
    if (kmx_chain_retry_cnt(chain) >= 3) {
        if (kmx_chain_set_pll_by_interval(chain, 0, 0, to)) return true;
        kmx_logf(5, "chain%d: failed to set PLL(A) for more than %d times", chain, 2);
        planb_error();
        return false;
    }
    if (g_vin_sync) {
        if (kmx_get_chain_cnt(chain, cnt_file) != 0) {
            if (kmx_chain_set_pll_by_interval(chain, 0, 0, to)) return true;
            kmx_logf(5, "chain%d: failed to set PLL", chain);
            kmx_cnt_inc(chain, cnt_file);
            planb_error();
            return false;
        }
        if (kmx_chain_set_pll_by_step(chain, 0, 0, to)) return true;
        kmx_logf(5, "chain%d: failed to set PLL", chain);
        kmx_cnt_inc(chain, cnt_file);
        return false;
    }
    return step_ramp(chain, 0, to);
}

void end_vin_sync() {
    if (!g_vin_sync) return;
    VinLock hold;
    __atomic_sub_fetch(&g_vsync_total_chains, 1, __ATOMIC_SEQ_CST);
}

// Chains reaching high work frequencies together wait longer one by one,
// so the supply is not loaded by all of them at once.
void warm_up(uint8_t chain, int work_level) {
    int thr = 0;
    if (g_miner_subtype == 32)
        thr = 1100;
    else if (in(g_miner_subtype, {65, 68}))
        thr = 1250;
    else if (g_miner_subtype == 67 || (KMX_LIB_REV >= 3 && g_miner_subtype == 69))
        thr = 900;
    if (!thr || !g_vin_sync || work_level < kmx_chain_pll_to_level(thr)) return;
    int n;
    {
        VinLock hold;
        n = __atomic_add_fetch(&s_vin_sync_flag9, 1, __ATOMIC_SEQ_CST);
    }
    const int secs = n * 5 + 55;
    for (int s = 1; s <= secs; s++) {
        kos::sleep_s(1);
        if (misc_vid_type_is_i2c()) feed_or_raise("watchdog timeout");
        kmx_tempctrl_update_chain_temp(chain);
        const float t = kmx_get_tmp();
        if (s % 10 == 0) kmx_logf(5, "chain:%d temp:%f fan:%d", chain, double(t), int(g_fan_cfg.fan_speed));
    }
}

void dump_chips(uint8_t chain, const char *title, const int *v) {
    kmx_logf(3, title, chain);
    for (int i = 0; i < chip_count(); i++) kmx_logf(3, "chip%3d: %4d", i + 1, v[i]);
}

int clamp_vid(int vid, int len) { return std::clamp(vid, 0, len - 1); }

void require_pll_list(const char *fn) {
    if (s_pll_list) return;
    fprintf(stderr, "%s:%d: %s: Assertion `s_pll_list' failed.\n", __FILE__, __LINE__, fn);
    std::abort();
}

// Both ramps start alike: ramp A to the SPI switch frequency, the faster
// SPI clock, on to the mid frequency and a look at the start-up voltage.
bool ramp_to_mid(uint8_t chain, int l_spi, int l_mid) {
    if (!ramp_a(chain, l_spi)) return false;
    kmx_logf(3, "chain%d: set spi speed %d", chain, 2);
    kmx_set_spi_speed(chain, 2);
    kos::sleep_ms(10);
    if (!step_ramp(chain, l_spi, l_mid)) return false;
    c_volt v;
    if (!read_volt(chain, &v, "chain%d: failed to read startup voltage", true)) return false;
    if (v.vol_lo < 330) kmx_logf(5, "chain%d: low startup voltage %dmV", chain, v.vol_lo);
    return true;
}

}  // namespace

kmx_ramp_plan kmx_vid_ramp_plan(int work_vid) {
    const int st = g_miner_subtype, ct = g_chip_type;
    const bool group = (st >= 14 && st <= 17) || st == 32 || (st >= 64 && st <= kTopSubtype);
    kmx_ramp_plan p{};
    p.f_spi = group ? 280 : 300;
    p.f_mid = group ? 300 : 450;
    p.f_bist = group ? (in(st, {64, 65, 68}) ? 1000 : 800) : (ct == 5 ? 650 : 800);
    p.f_pre = group ? 650 : 0;
    p.v0 = (ct == 9 || ct == 169) ? 160 : ct == 6 ? 16 : 0;
    if (group) {
        if (st == 14) p.v1 = 19, p.v2 = 22;
        else if (in(st, {15, 66, 65, 68})) p.v1 = 7, p.v2 = 12;
        else if (st == 16) p.v1 = 10, p.v2 = 10;
        else if (st == 17) p.v1 = 8, p.v2 = 8;
        else if (st == 32) p.v1 = 11, p.v2 = 20;
        else if (st == 64) p.v1 = 11, p.v2 = 21;
        else p.v1 = 12, p.v2 = 15;  // 67 (and 69 where handled)
    } else {
        p.v2 = st == 3 ? 22 : 10;
        if (ct == 9) p.v2 = 170;
        if (st == 4) p.v2 = 7;
        else if (st == 18) p.v2 = 10;
        else if (st == 20) p.v2 = 6;
        if (in(st, {21, 22, 26, 27})) p.v2 = 9;
    }
    if (ct == 6) p.v2 = 16;
    if (ct == 169) p.v2 = (p.v0 + work_vid) >> 1;
    if (!group) p.v1 = p.v2;
    return p;
}

kmx_ramp_plan kmx_volt_ramp_plan(void) {
    const int st = g_miner_subtype, ct = g_chip_type;
    const bool group = (st >= 14 && st <= 17) || st == 32;
    kmx_ramp_plan p{};
    p.f_spi = group ? 280 : 300;
    p.f_mid = group ? 300 : 450;
    p.f_bist = group ? 800 : (ct == 5 ? 650 : 800);
    p.v0 = (ct == 9 || ct == 169) ? 160 : 0;
    p.v1 = in(st, {3, 14}) ? 22 : 10;
    if (st == 18) p.v1 = 10;
    else if (st == 4) p.v1 = 7;
    else if (st == 20) p.v1 = 6;
    else if (in(st, {21, 22, 26, 27})) p.v1 = 9;
    if (st == 16) p.v1 = 10;
    else if (st == 17) p.v1 = 8;
    else if (st == 32) p.v1 = 16;
    else if (st == 14 || st == 15) p.v1 = 12;
    p.v2 = p.v1;
    return p;
}

extern "C" bool kmx_chain_set_pll_vid(uint8_t chain_id, int work_pll, int work_vid, int bist_pll, int bist_vid) {
    require_pll_list(__func__);
    if (!chain_ok(chain_id)) return false;
    const char *fn = __func__;  // the steps below run in a lambda
    const kmx_ramp_plan p = kmx_vid_ramp_plan(work_vid);
    const bool group = p.f_pre != 0;
    const int l_spi = kmx_chain_pll_to_level(p.f_spi), l_mid = kmx_chain_pll_to_level(p.f_mid);
    const int l_pre = group ? kmx_chain_pll_to_level(p.f_pre) : 0;
    const int l_work = kmx_chain_pll_to_level(work_pll);
    const int l_t = std::min(kmx_chain_pll_to_level(bist_pll ? bist_pll : p.f_bist), l_work);
    const int bv = bist_vid ? bist_vid : p.v2;
    c_volt v;
    const bool ok = [&]() {
        if (!ramp_to_mid(chain_id, l_spi, l_mid)) return false;
        if (g_vin_sync) arrival_wait(s_vin_sync_flag8, chain_id, true, "watchdog timeout");
        if (!g_vin_sync)
            kmx_logf(3, "%s %d chain%d: set vid %d -> %d, g_chip_type:%x", fn, __LINE__, chain_id, p.v0, p.v1,
                     g_chip_type);
        if (!vid_step(s_vin_sync_flag7, chain_id, p.v0, p.v1, true, "all chains: set vid %d -> %d", nullptr))
            return false;
        if (!read_volt(chain_id, &v, "chain%d: failed to read voltage", false)) return false;
        if (!check_workpll_valid(chain_id)) return false;
        if (!step_ramp(chain_id, l_mid, group ? l_pre : l_t)) return false;
        if (!g_vin_sync)
            kmx_logf(3, "%s %d chain%d: set vid %d -> %d, g_chip_type:%x", fn, __LINE__, chain_id, p.v1, bv,
                     g_chip_type);
        if (!vid_step(s_vin_sync_flag2, chain_id, p.v1, bv, true, "all chains: set vid %d -> %d", nullptr))
            return false;
        if (!read_volt(chain_id, &v, "chain%d: failed to read voltage", false)) return false;
        if (group) {
            if (!step_ramp(chain_id, l_pre, l_t)) return false;
            if (!read_volt(chain_id, &v, "chain%d: failed to read voltage", false)) return false;
        }
        if (!kmx_chain_init(chain_id, true)) return false;
        if (g_vin_sync) {
            arrival_wait(s_vin_sync_flag5, chain_id, true, "watchdog timeout");
            char sync_log[96];
            snprintf(sync_log, sizeof sync_log, "%s %d all chains: set vid %%d -> %%d, g_chip_type:%x", fn,
                     __LINE__, g_chip_type);
            if (!vid_step(s_vin_sync_flag3, chain_id, bv, work_vid, false, sync_log, nullptr)) return false;
        } else {
            kmx_logf(3, "%s %d chain%d: set vid %d -> %d", fn, __LINE__, chain_id, bv, work_vid);
            if (!vid_step(s_vin_sync_flag3, chain_id, bv, work_vid, false, nullptr, nullptr)) return false;
        }
        if (l_work > l_t) {
            warm_up(chain_id, l_work);
            if (!step_ramp(chain_id, l_t, l_work)) return false;
        }
        kmx_logf(3, "chain%d: set tsadc divider", chain_id);
        kmx_cfg_tsadc_divider(chain_id, 0, unsigned(work_pll));
        return true;
    }();
    if (ok) return true;
    kmx_logf(5, "chain%d: failed in kmx_chain_set_pll_vid()", chain_id);
    misc_check_power_supply(chain_id);
    end_vin_sync();
    return false;
}

extern "C" bool kmx_chain_set_pll_volt(uint8_t chain_id, int work_pll, int work_volt, int *work_vid, int bist_pll,
                                       int bist_vid) {
    require_pll_list(__func__);
    if (!chain_ok(chain_id)) return false;
    const kmx_ramp_plan p = kmx_volt_ramp_plan();
    const int l_spi = kmx_chain_pll_to_level(p.f_spi), l_mid = kmx_chain_pll_to_level(p.f_mid);
    const int l_work = kmx_chain_pll_to_level(work_pll);
    const int l_t = std::min(kmx_chain_pll_to_level(bist_pll ? bist_pll : p.f_bist), l_work);
    const int bv = bist_vid ? bist_vid : p.v1;
    c_volt v;
    const bool ok = [&]() {
        if (!ramp_to_mid(chain_id, l_spi, l_mid)) return false;
        if (!vid_step(s_vin_sync_flag2, chain_id, p.v0, p.v1, false, "all chains: set vid %d -> %d",
                      "chain%d: set vid %d -> %d"))
            return false;
        if (!read_volt(chain_id, &v, "chain%d: failed to read voltage", false)) return false;
        if (!check_workpll_valid(chain_id)) return false;
        if (!step_ramp(chain_id, l_mid, l_t)) return false;
        if (!vid_step(s_vin_sync_flag7, chain_id, p.v1, bv, false, "all chains: set vid %d -> %d",
                      "chain%d: set vid %d -> %d"))
            return false;
        if (!read_volt(chain_id, &v, "chain%d: failed to read voltage", false)) return false;
        if (!kmx_chain_init(chain_id, true)) return false;
        if (g_vin_sync) arrival_wait(s_vin_sync_flag6, chain_id, false, "watchdog timeout!");
        if (!read_volt(chain_id, &v, "chain%d: failed to read voltage", false)) return false;
        int vid;
        if (g_vin_sync) {
            {
                VinLock hold;
                if (s_vin_sync_flag3 == 0) {
                    s_vin_sync_flag3 = 1;
                    kmx_logf(3, "all chains: set core voltage to %dmV", work_volt);
                    s_work_vid = kmx_chain_find_vid(chain_id, g_chip_num, p.v1, work_volt);
                    s_common_volt = work_volt;
                }
            }
            vid = s_work_vid;
        } else {
            kmx_logf(3, "chain%d: set core voltage to %dmV", chain_id, work_volt);
            vid = kmx_chain_find_vid(chain_id, g_chip_num, p.v1, work_volt);
        }
        if (work_vid) *work_vid = vid;
        if (vid == -1) {
            kmx_logf(5, "chain%d: failed to do volage calibration", chain_id);
            kmx_set_errcode(ERRCODE_SETVOL_FAIL, nullptr, false, chain_id, nullptr, 0);
            return false;
        }
        if (!read_volt(chain_id, &v, "chain%d: failed to read voltage", false)) return false;
        if (l_work > l_t && !step_ramp(chain_id, l_t, l_work)) return false;
        kmx_logf(3, "chain%d: set tsadc divider", chain_id);
        kmx_cfg_tsadc_divider(chain_id, 0, unsigned(work_pll));
        return true;
    }();
    if (ok) return true;
    kmx_logf(5, "chain%d: failed in kmx_chain_set_pll_volt()", chain_id);
    int buf[KMX_MAX_CHIP] = {};
    kmx_configure_tvsensor(chain_id, 0, false);
    kmx_get_chip_volt(chain_id, buf);
    dump_chips(chain_id, "[chain%d volt]", buf);
    kmx_configure_tvsensor(chain_id, 0, true);
    kmx_get_chip_temp(chain_id, buf);
    dump_chips(chain_id, "[chain%d temp]", buf);
    misc_check_power_supply(chain_id);
    end_vin_sync();
    return false;
}

extern "C" int kmx_chain_find_vid(uint8_t chain_id, int chip_num, int vid_start, double volt_target) {
    (void)chip_num;  // the chain's average stands for every chip
    if (!chain_ok(chain_id)) return -1;
    // Without a VID map there is no range to search in.
    if (!pMap || pMap->tab_len <= 0) {
        kmx_logf(5, "chain%d: no vid map for the voltage search", chain_id);
        return -1;
    }
    const int len = pMap->tab_len;
    kmx_logf(3, "chain%d find_chain_vid: start_vid = %d, target_volt = %.1f", chain_id, vid_start, volt_target);
    c_volt v;
    // Sets a VID, waits, measures: false when the set or the read fails.
    const auto measure = [&](int vid, bool by_step, int from, double *d) {
        if (!(by_step ? kmx_set_vid_by_step(chain_id, from, vid) : kmx_set_vid(chain_id, vid))) return false;
        kos::sleep_s(2);
        if (!kmx_chain_get_volt(chain_id, &v)) return false;
        kmx_logf(3, "Chain %d VID %d voltage %.1f", chain_id, vid, double(v.vol_avg));
        kmx_tempctrl_update_chain_temp(chain_id);
        *d = double(v.vol_avg) - volt_target;
        return true;
    };
    kmx_tempctrl_update_chain_temp(chain_id);
    int vid = clamp_vid(vid_start, len);
    double d = 0;
    if (!measure(vid, false, 0, &d)) return -1;
    if (std::abs(int(d)) > 10) {
        const int jump = clamp_vid(vid + int(d / 2.8), len);
        if (!measure(jump, true, vid, &d)) return -1;
        vid = jump;
    }
    for (;;) {
        const bool down = d < 0;  // too low: lower the VID
        const int next = clamp_vid(vid + (down ? -1 : 1), len);
        if (next == vid) return vid;  // already at the end of the map
        double d2 = 0;
        if (!measure(next, false, 0, &d2)) return -1;
        if (down && (d2 >= 0 || next == 0)) {
            if (d2 > -d) {
                if (!kmx_set_vid(chain_id, next + 1)) return -1;
                kos::sleep_ms(500);
                return next + 1;
            }
            return next;
        }
        if (!down && (d2 <= 0 || next == len - 1)) {
            if (d < -d2) {
                if (!kmx_set_vid(chain_id, next - 1)) return -1;
                kos::sleep_ms(500);
                return next - 1;
            }
            return next;
        }
        vid = next;
        d = d2;
    }
}

extern "C" void kmx_chain_set_volt(uint8_t chain_id, int work_volt, int *work_vid) {
    kmx_logf(3, "%s()", __func__);
    if (!chain_ok(chain_id)) return;
    const int start = in(g_miner_subtype, {3, 14}) ? 22 : 10;
    int vid;
    if (g_vin_sync) {
        {
            VinLock hold;
            // Once for all chains per target: a new target searches again.
            if (s_vin_sync_flag3 == 0 || s_common_volt != work_volt) {
                s_vin_sync_flag3 = 1;
                kmx_logf(3, "all chains: set core voltage to %dmV", work_volt);
                s_work_vid = kmx_chain_find_vid(chain_id, g_chip_num, start, work_volt);
                s_common_volt = work_volt;
            }
        }
        vid = s_work_vid;
    } else {
        kmx_logf(3, "chain%d: set core voltage to %dmV", chain_id, work_volt);
        vid = kmx_chain_find_vid(chain_id, g_chip_num, start, work_volt);
    }
    if (work_vid) *work_vid = vid;
    if (vid == -1) kmx_set_errcode(ERRCODE_SETVOL_FAIL, nullptr, false, chain_id, nullptr, 0);
}

extern "C" void kmx_chain_init_tune(int pll, int vol, int vid) {
    s_tune_pll = pll;
    s_tune_vol = vol;
    s_tune_vid = vid;
}

extern "C" void kmx_chain_set_board_info(int row, int col, int *map_info) {
    board_row = row;
    board_col = col;
    board_map = map_info;
}

extern "C" int get_map_index(int *slot_map, int len, int slot) {
    if (!slot_map) return len;
    for (int i = 0; i < len; i++)
        if (slot_map[i] == slot) return i;
    return len;
}

namespace {

// First index of a 3-wide band around p in 0..size-1: toward the side with
// a chip when the other is empty, centred otherwise; always inside the map.
int band_start(int p, int size, bool before_has_chip, bool after_has_chip) {
    int s;
    if (p == 0)
        s = 0;
    else if (p == size - 1)
        s = size - 3;
    else if (!after_has_chip && before_has_chip)
        s = p - 2;
    else if (after_has_chip && !before_has_chip)
        s = p;
    else
        s = p - 1;
    return std::clamp(s, 0, std::max(0, size - 3));
}

bool cell_has_chip(int r, int c) {
    if (r < 0 || r >= board_row || c < 0 || c >= board_col) return false;
    return board_map[r * board_col + c] != 0;
}

}  // namespace

extern "C" int find_adjacent_slot_data(int *buf, int *temp, int slot) {
    if (!buf || !temp || !board_map || board_row <= 0 || board_col <= 0 || slot < 0 || slot >= board_row * board_col)
        return 0;
    const int r = slot / board_col, c = slot % board_col;
    const int r0 = band_start(r, board_row, cell_has_chip(r - 1, c), cell_has_chip(r + 1, c));
    const int c0 = band_start(c, board_col, cell_has_chip(r, c - 1), cell_has_chip(r, c + 1));
    int n = 0;
    for (int y = r0; y < std::min(r0 + 3, board_row); y++)
        for (int x = c0; x < std::min(c0 + 3, board_col); x++) {
            const int chip = board_map[y * board_col + x];
            // Cells naming no chip of this chain are not readings.
            if (chip >= 1 && chip <= chip_count()) buf[n++] = temp[chip - 1];
        }
    return n;
}

extern "C" int get_adjust_temp(int *buf, int len, int slot, int *adjust_map, int *temp) {
    if (!buf || !adjust_map || !temp) return 0;
    if (len <= 2) {
        kmx_logf(5, "no enough data for adjust temp\n");
        return adjust_map[slot];
    }
    int sum = 0, mx = buf[0], mn = buf[0];
    for (int i = 0; i < len; i++) {
        sum += buf[i];
        mx = std::max(mx, buf[i]);
        mn = std::min(mn, buf[i]);
    }
    const int d = (sum - mx - mn) / (len - 2) - temp[slot];
    if (d >= -10 && d <= 10)
        adjust_map[slot] = d;
    else if (d >= -30 && d < -10)
        adjust_map[slot] = -10;
    else if (d > 10 && d <= 20)
        adjust_map[slot] = 10;
    return adjust_map[slot];
}

extern "C" int kmx_chain_adjust_temp(int chain_id) {
    if (!chain_ok(chain_id) || !board_map || board_row <= 0 || board_col <= 0) return 0;
    if (kmx_get_chip_temp(uint8_t(chain_id), g_chip_tmp[chain_id]) != 0) return 0;
    const int cells = board_row * board_col;
    for (int i = 0; i < chip_count(); i++) {
        const int slot = get_map_index(board_map, cells, i + 1);
        if (slot >= cells) continue;  // not on the map: offset stays as it is
        int buf[9];
        const int n = find_adjacent_slot_data(buf, g_chip_tmp[chain_id], slot);
        get_adjust_temp(buf, n, i, adjust_temp_map[chain_id], g_chip_tmp[chain_id]);
    }
    return 0;
}

extern "C" void kmx_chain_set_temp_map_file(int chain_id, char *file_buf) {
    if (!chain_ok(chain_id) || !file_buf) return;
    std::string line;
    for (int i = 0; i < chip_count(); i++) {
        if (i) line += ' ';
        line += std::to_string(adjust_temp_map[chain_id][i]);
    }
    // Whole file or none: a crash must not leave half a line to be read back.
    kos::write_file_atomic(file_buf, line);
}

extern "C" void kmx_chain_get_temp_map_file(int chain_id, char *file_buf) {
    if (!chain_ok(chain_id) || !file_buf) return;
    std::string text;
    if (!kos::read_file(file_buf, text)) {
        kmx_logf(5, "open %s file failed!", file_buf);
        return;
    }
    text = text.substr(0, std::min(text.find('\n'), size_t(1023)));
    size_t pos = 0;
    for (int i = 0; i < chip_count(); i++) {
        pos = text.find_first_not_of(' ', pos);
        if (pos == std::string::npos) break;
        const size_t end = std::min(text.find(' ', pos), text.size());
        // Offsets we write are within ±10: a bigger one is not ours and
        // could fake or hide an overheat.
        const long v = strtol(text.substr(pos, end - pos).c_str(), nullptr, 10);
        adjust_temp_map[chain_id][i] = int(std::clamp(v, -10L, 10L));
        pos = end;
    }
}
