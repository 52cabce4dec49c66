// Chain detection and bring-up: the SPI wiring test on I2C-supply machines,
// one detection thread per chain (serially or all at once), the power-up
// attempts of kmx_chain_preinit and the Vin-sync barrier that keeps chains
// on one shared supply in step.
//
// Shared flags are plain globals of the C interface; every access from the
// detection threads and the poller goes through std::atomic_ref so the
// threads never race on them.
#include "module/kmx_chain.h"
#include "module/kmx_chain_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

#include "drv/hub_spi.h"
#include "hub/kmx_i2c.h"
#include "hub/kmx_vid.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_fan.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tvsensor.h"
#include "module/kmx_tvsensor_internal.h"
#include "module/kmx_wd.h"
#include "os/os.h"
#include "os/wakeup.h"
#include "platform/kmx_platform.h"

volatile bool s_detect_done[8];
bool g_detect_over = false;
volatile bool g_poweron_flag = false;
int s_chain_pwon_mode[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
volatile int g_vsync_total_chains;
int s_vin_sync_flag0;
int s_vin_sync_flag1;
int s_vin_sync_flag2;
int s_vin_sync_flag3;
int s_vin_sync_flag4;
int s_vin_sync_flag5;
int s_vin_sync_flag6;
int s_vin_sync_flag7;
int s_vin_sync_flag8;
int s_vin_sync_flag9;
volatile int s_work_vid;
int g_retry_cnt;
int s_workpll[8];
int s_retry_cnt[8];

// The board map of the voltage code (null: no map installed).
extern int *board_map;

namespace {

template <class T>
std::atomic_ref<T> at(volatile T &v) {
    return std::atomic_ref<T>(const_cast<T &>(v));
}
template <class T>
std::atomic_ref<T> at(T &v) {
    return std::atomic_ref<T>(v);
}

bool valid_chain(int c) { return c >= 0 && c < KMX_MAX_CHAIN; }

// Per-chain chip number of the last failed voltage read: the shared
// g_err_chipnum may already hold another chain's result.
int s_err_chip[8];

bool chain_volt_ok(uint8_t chain) {
    c_volt v;
    const bool ok = kmx_chain_get_volt(chain, &v);
    at(s_err_chip[chain]).store(ok ? 0 : kmx_err_chip_of_chain(chain));
    return ok;
}

void err(ERRCODE code, const char *text, bool overwrite, int chain, int *chips = nullptr, int n = 0) {
    char buf[64] = {};
    if (text) snprintf(buf, sizeof buf, "%s", text);
    kmx_set_errcode(code, text ? buf : nullptr, overwrite, chain, chips, n);
}

void err_with_chip(ERRCODE code, int chain) {
    int chip = at(s_err_chip[chain]).load();
    err(code, nullptr, false, chain, &chip, 1);
}

void feed_psu_watchdog(bool forced) {
    if (!kmx_i2c_feed_watchdog(forced)) err(ERRCODE_PSU_I2C_FAIL, "watchdog timeout!", false, 255);
}

// ---- Vin-sync barrier ----
//
// One generation per common power-up attempt. s_vin_sync_flag1 counts the
// chains that came up (n >= 0) or failed (-n) in the open generation. The
// generation is closed, and the attempt's flags cleared, exactly once: by
// the chain that sees every member failed. A waiter leaves as soon as the
// generation it waited on is closed, so no fast chain can reset a counter
// a slower one still reads. Both waits are bounded.
unsigned s_vsync_gen;
constexpr int kBarrierPolls = 120;  // 1 s each
constexpr uint64_t kPollUs = 2000000;  // the parallel poller's period

void vsync_lock() { pthread_mutex_lock(&g_vin_sync_lock); }
void vsync_unlock() { pthread_mutex_unlock(&g_vin_sync_lock); }

// Under the lock.
void vsync_clear_attempt_flags() {
    at(s_vin_sync_flag1).store(0);
    for (int *f : {&s_vin_sync_flag2, &s_vin_sync_flag3, &s_vin_sync_flag5, &s_vin_sync_flag6, &s_vin_sync_flag7,
                   &s_vin_sync_flag8, &s_vin_sync_flag9})
        at(*f).store(0);
}

// Under the lock: closes the generation when every member has failed.
bool vsync_close_if_all_failed() {
    const int f1 = at(s_vin_sync_flag1).load();
    if (f1 < 0 && -f1 >= at(g_vsync_total_chains).load()) {
        vsync_clear_attempt_flags();
        at(s_vsync_gen).fetch_add(1);
        return true;
    }
    return false;
}

// The success barrier: true when every member came up in this generation.
bool vsync_arrive_ok() {
    vsync_lock();
    const unsigned gen = at(s_vsync_gen).load();
    if (at(s_vin_sync_flag1).load() >= 0) at(s_vin_sync_flag1).fetch_add(1);
    vsync_unlock();
    for (int polls = 0;; polls++) {
        const int f1 = at(s_vin_sync_flag1).load();
        const int total = at(g_vsync_total_chains).load();
        if (at(s_vsync_gen).load() != gen || f1 < 0) return false;
        if (f1 >= total) return true;
        if (polls >= kBarrierPolls) {
            kmx_logf(5, "vin-sync: chains did not come up together, retry");
            return false;
        }
        kmx_logf(3, "s_vin_sync_flag1:%d g_vsync_total_chains:%d line:%d", f1, total, 940);
        kos::sleep_s(1);
    }
}

// A failed attempt. Returns false when the chain leaves the barrier for
// good (its last attempt).
bool vsync_arrive_failed(bool last_attempt) {
    vsync_lock();
    const unsigned gen = at(s_vsync_gen).load();
    if (last_attempt) {
        at(g_vsync_total_chains).fetch_sub(1);
        // Those who came up or failed may now be complete without us.
        vsync_close_if_all_failed();
        vsync_unlock();
        return false;
    }
    const int f1 = at(s_vin_sync_flag1).load();
    at(s_vin_sync_flag1).store(f1 >= 0 ? -1 : f1 - 1);
    vsync_close_if_all_failed();
    vsync_unlock();
    for (int polls = 0; at(s_vsync_gen).load() == gen; polls++) {
        vsync_lock();
        const bool closed = vsync_close_if_all_failed();
        const int f1n = at(s_vin_sync_flag1).load();
        const int total = at(g_vsync_total_chains).load();
        if (!closed && at(s_vsync_gen).load() == gen && polls >= kBarrierPolls) {
            kmx_logf(5, "vin-sync: chains did not fail together, retry");
            vsync_clear_attempt_flags();
            at(s_vsync_gen).fetch_add(1);
        }
        vsync_unlock();
        if (at(s_vsync_gen).load() != gen) break;
        kmx_logf(3, "s_vin_sync_flag1:%d g_vsync_total_chains:%d line:%d", f1n, total, 973);
        kos::sleep_s(1);
    }
    return true;
}

// A chain that takes no further part (not plugged, or failed after the
// power-up) lets the others through.
void vsync_leave() {
    vsync_lock();
    at(g_vsync_total_chains).fetch_sub(1);
    vsync_close_if_all_failed();
    vsync_unlock();
}

// ---- preinit steps ----

int startup_vid() {
    if (g_chip_type == 9 || g_chip_type == 169) return 160;
    if (g_chip_type == 6) return 16;
    return 0;
}

void set_startup_vid(uint8_t chain, int v0) {
    if (g_vin_sync) {
        vsync_lock();
        if (!at(s_vin_sync_flag0).load()) {
            at(s_vin_sync_flag0).store(1);
            kmx_logf(3, "all chains: set vid %d", v0);
            kmx_set_vid(0, v0);
        }
        vsync_unlock();
    } else {
        kmx_logf(3, "chain%d: set vid %d", chain, v0);
        kmx_set_vid(chain, v0);
    }
}

void check_startup_voltage(uint8_t chain, int v0) {
    const int expect = kmx_i2c_get_volt_by_vid(v0);
    const int measured = kmx_get_first_i2c_voltage(g_vin_sync ? 0 : chain);
    kmx_logf(3, "chain%d: startup voltage %d (expect %d)", chain, measured, expect);
    if (measured < expect - 50) {
        kmx_logf(4, "chain%d: low startup voltage %.2fV", chain, measured / 100.0);
        char text[32];
        snprintf(text, sizeof text, "%.2fV", measured / 100.0);
        err(ERRCODE_PSU_STARTUP_VOLT, text, false, chain);
    }
}

void run_callback_once(uint8_t chain) {
    pthread_mutex_lock(&g_callback_lock);
    const kmx_chain_callback_t cb = g_chain_callback;
    if (cb) {
        g_chain_callback = nullptr;
        cb(chain, g_chip_type);
    }
    pthread_mutex_unlock(&g_callback_lock);
}

// One power-up attempt with mode m; the chip count, or 0 on failure.
int preinit_attempt(uint8_t chain, int m, int t, int v0) {
    kmx_logf(3, "chain%d: power down", chain);
    kmx_chain_power_down(chain);
    set_startup_vid(chain, v0);
    kmx_logf(3, "chain%d: sleep(%d)", chain, 3 * t);
    kos::sleep_s(unsigned(3 * t));
    const bool i2c = misc_vid_type_is_i2c();
    if (i2c) feed_psu_watchdog(true);
    int mode = m;
    if (g_vin_sync && at(s_chain_pwon_mode[chain]).load() >= 0) mode = at(s_chain_pwon_mode[chain]).load();
    kmx_chain_power_on(chain, uint8_t(mode));
    if (i2c) check_startup_voltage(chain, v0);

    uint8_t reply[4] = {};
    if (!kmx_cmd_resetall(chain, 0, reply)) {
        kmx_logf(5, "chain%d: RESET failed", chain);
        return 0;
    }
    // One global for all chains; written only when it changes, so chains
    // reporting the type already known do not race with its readers.
    const int known = at(g_chip_type).load();
    if (known != 9 && known != 169 && known != reply[0] >> 4) at(g_chip_type).store(reply[0] >> 4);
    kmx_logf(3, "chain%d: chip type detected: %02X", chain, at(g_chip_type).load());
    const int count = kmx_cmd_bist_start(chain, 0);
    if (count < 1 || count > g_chip_num) {
        kmx_logf(5, "chain%d: BISTSTART failed", chain);
        return 0;
    }
    if (g_platform == ZYNQ_HUB_B13 || g_platform == SOC) hub_spi_set_chipnum(chain, count);
    if (g_chip_type == 5) {
        kmx_enhance_clk_io(chain, 0);
        kmx_enhance_spi_io(chain, 1);
    }
    run_callback_once(chain);
    if (!s_pll_list) {
        kmx_logf(5, "assertion \"%s\" failed: file \"%s\"", "s_pll_list", "kmx_chain");
        abort();
    }
    kmx_logf(3, "chain%d: set tsadc divider", chain);
    kmx_cfg_tsadc_divider(chain, 0, unsigned(s_pll_list[0]));
    return count;
}

// ---- detection thread ----

// Cuts the parallel poller's wait short when a detection thread ends. Never
// destroyed: a thread may still signal while the process runs its exit.
kos::Wakeup &detect_wakeup() {
    static kos::Wakeup *w = new kos::Wakeup;
    return *w;
}

void detect_finish(int chain) {
    at(s_detect_done[chain]).store(true);
    detect_wakeup().signal();
}

void detect_failed_end(uint8_t chain) {
    kmx_logf(3, "chain%d: detect failed", chain);
    kmx_chain_power_down(chain);
    at(g_chain_alive[chain]).store(0);
    at(s_retry_cnt[chain]).store(0);
    at(g_retry_cnt).store(0);
}

void update_temp(uint8_t chain) { kmx_tempctrl_update_chain_temp(chain); }

void load_or_make_temp_map(uint8_t chain) {
    if (!board_map) return;
    char path[64];
    snprintf(path, sizeof path, "/tmp/adjust_map_temp%d.dat", chain);
    if (access(path, F_OK) == 0) {
        kmx_chain_get_temp_map_file(chain, path);
    } else {
        kmx_chain_adjust_temp(chain);
        kmx_chain_set_temp_map_file(chain, path);
    }
}

// One bring-up attempt after a successful preinit: 1 done, 0 next attempt,
// -1 failed for good.
int bring_up(uint8_t chain, c_chain_param *p, int chip_num) {
    load_or_make_temp_map(chain);
    if (p->tuning) {
        kmx_logf(3, "chain%d: using tuning pll %d, voltage %d,vid %d", chain, s_tune_pll, s_tune_vol, s_tune_vid);
        p->pll = s_tune_pll;
        p->vol = s_tune_vol;
        p->vid = s_tune_vid;
    }
    at(s_workpll[chain]).store(p->pll);
    if (g_vin_sync && p->vid == 0) p->vid = kmx_get_vid_by_volt(p->vol);
    bool ramp_ok;
    if (p->vid != 0 || p->vol == 0) {
        ramp_ok = kmx_chain_set_pll_vid(chain, p->pll, p->vid, p->bist_pll, p->bist_vid);
    } else {
        int vid = p->vid;
        ramp_ok = kmx_chain_set_pll_volt(chain, p->pll, p->vol, &vid, p->bist_pll, p->bist_vid);
        // A failed calibration gives -1: kept, the next attempt would take it
        // for a work VID and ramp to VID 0, the highest core voltage.
        if (vid != -1) p->vid = vid;
    }
    if (!ramp_ok) return g_vin_sync ? -1 : 0;

    update_temp(chain);
    kmx_logf(3, "chain%d: set spi speed %d", chain, p->spi_speed);
    kmx_set_spi_speed(chain, p->spi_speed);
    if (!chain_volt_ok(chain)) {
        kmx_logf(5, "chain%d: failed to read voltage", chain);
        err_with_chip(ERRCODE_SPI_HIGHSPEED, chain);
        return -1;
    }
    update_temp(chain);
    if (p->vol != 0) {
        if (g_vin_sync) {
            vsync_lock();
            if (!at(s_vin_sync_flag4).load()) {
                at(s_vin_sync_flag4).store(1);
                kmx_logf(3, "all chains: voltage calibration");
                at(s_work_vid).store(kmx_chain_find_vid(chain, chip_num, p->vid, p->vol));
                update_temp(chain);
            }
            vsync_unlock();
            p->vid = at(s_work_vid).load();
        } else {
            kmx_logf(3, "chain%d: voltage calibration", chain);
            p->vid = kmx_chain_find_vid(chain, chip_num, p->vid, p->vol);
            update_temp(chain);
        }
        if (p->vid == -1) {
            err(ERRCODE_SETVOL_FAIL, nullptr, false, chain);
            return -1;
        }
    }
    if (!chain_volt_ok(chain)) {
        kmx_logf(5, "chain%d: failed to read voltage", chain);
        err_with_chip(ERRCODE_SPI_FAIL, chain);
        return -1;
    }
    kmx_set_led(chain, 0);
    kmx_logf(3, "chain%d: detect finished", chain);
    return 1;
}

// ---- SPI wiring test ----

bool chips_answer(uint8_t chain) {
    uint8_t reply[4] = {};
    return kmx_cmd_resetall(chain, 0, reply);
}

void lines_off(uint8_t c) {
    kmx_set_reset(c, 0);
    kmx_set_start_en(c, 0);
    kmx_set_led(c, 1);
}

// Raises the lines of port r as a power-on does, without switching a supply.
bool probe_other_port(uint8_t r) {
    kmx_set_reset(r, 1);
    kos::sleep_s(1);
    kmx_set_power_en(r, 1);
    kos::sleep_s(1);
    kmx_set_reset(r, 0);
    kos::sleep_s(1);
    kmx_set_start_en(r, 1);
    kos::sleep_s(1);
    kmx_set_reset(r, 1);
    kos::sleep_s(1);
    return chips_answer(r);
}

void raise_misplug(int chain, int other) {
    char text[16];
    snprintf(text, sizeof text, "chain%d", other);
    err(ERRCODE_MISPLUGGED, text, false, chain);
}

// False when a wiring fault was found.
bool spi_wiring_test(int positions) {
    kmx_logf(3, "testing SPI connection for miners with I2C PSU");
    kmx_chain_power_down_all();
    bool ok = true;
    for (int i = 0; i < positions && ok; i++) {
        const int cid = g_chain_id[i];
        if (cid > 2 || cid < 0) {
            kmx_logf(5, "SPI misplugged: invalid chain ID %d for I2C PSU", cid);
            err(ERRCODE_MISPLUGGED, nullptr, false, cid);
            ok = false;
            break;
        }
        const uint8_t c = uint8_t(cid);
        kmx_set_spi_speed(c, 0);
        kmx_set_vid(c, 0);
        kmx_chain_power_on(c, 0);
        if (chips_answer(c)) {
            kmx_chain_power_down(c);
            continue;
        }
        kmx_set_power_en(c, 0);
        kos::sleep_s(1);
        lines_off(c);
        bool found = false;
        for (int j = 0; j < positions && !found; j++) {
            const int r = g_chain_id[j];
            if (r == cid || !valid_chain(r)) continue;
            if (probe_other_port(uint8_t(r))) {
                kmx_logf(5, "SPI misplugged: SPI%d connected with chain%d", cid, r);
                kmx_chain_power_down(c);
                kmx_chain_power_down(uint8_t(r));
                raise_misplug(cid, r);
                raise_misplug(r, cid);
                found = true;
                ok = false;
            } else {
                kmx_chain_power_down(uint8_t(r));
            }
        }
        if (!found) kmx_chain_power_down(c);
    }
    kmx_logf(3, ok ? "testing SPI finished!" : "testing SPI finished with error!");
    return ok;
}

// ---- kmx_chain_detect_all ----

struct CallTables {
    bool started[8] = {};
    bool alive_end[8] = {};
    pthread_t thread[8] = {};
};

bool start_thread(CallTables &t, int cid, c_chain_param *p) {
    at(s_detect_done[cid]).store(false);  // no stale flag from an earlier call
    if (pthread_create(&t.thread[cid], nullptr, kmx_chain_detect_thread, p) != 0) {
        kmx_logf(5, "chain%d: failed to start the detection thread", cid);
        at(s_detect_done[cid]).store(true);
        return false;
    }
    t.started[cid] = true;
    return true;
}

void serial_detect(CallTables &t, uint16_t mask, c_chain_param *params, int positions) {
    for (int i = 0; i < positions; i++) {
        const int cid = g_chain_id[i];
        if (!((mask >> i) & 1) || !valid_chain(cid)) continue;
        params[i].chain_id = cid;
        if (!t.started[cid] && !start_thread(t, cid, &params[i])) continue;
        while (!at(s_detect_done[cid]).load()) {
            for (int k = 0; k < i; k++) {
                const int e = g_chain_id[k];
                if (valid_chain(e) && at(g_chain_alive[e]).load()) kmx_tempctrl_update_chain_temp(e);
            }
            kos::sleep_ms(10);
        }
        pthread_join(t.thread[cid], nullptr);
        t.alive_end[cid] = at(g_chain_alive[cid]).load() != 0;
    }
}

void parallel_detect(CallTables &t, uint16_t mask, c_chain_param *params, int positions) {
    at(g_poweron_flag).store(true);
    unsigned expected = 0;
    for (int i = 0; i < positions; i++) {
        const int cid = g_chain_id[i];
        if (!((mask >> i) & 1) || !valid_chain(cid)) continue;
        at(s_chain_pwon_mode[cid]).store(-1);
        const int state = kmx_wd_get_state(cid);
        if (state == 0) {
            at(g_vsync_total_chains).fetch_add(1);
            params[i].chain_id = cid;
            if (start_thread(t, cid, &params[i])) {
                expected |= 1u << cid;
            } else {
                vsync_leave();
            }
        } else if (state == 1 || state == 2) {
            kmx_logf(5, "chain%d: shutdown by watchdog process(%d), abort", cid, state);
            err(ERRCODE_WATCHDOG, state == 1 ? "temp not update" : "overheat", true, cid);
        } else {
            kmx_logf(5, "chain%d: invalid watchdog state %d", cid, state);
        }
    }
    if (!expected) return;  // nothing to wait for
    unsigned finished = 0;
    // Every expected chain must have finished, whatever other flags say.
    // The poller looks every 2 s, feeding the supply's watchdog each time;
    // a chain that ends wakes it at once, so the call returns when the last
    // chain is done rather than at the next look. The feeds keep their 2 s
    // period, and the call still ends with one.
    uint64_t look = kos::mono_us();
    while ((finished & expected) != expected) {
        const uint64_t now = kos::mono_us();
        const uint64_t left = now - look < kPollUs ? kPollUs - (now - look) : 0;
        const bool period_over = !detect_wakeup().wait_us(left);
        for (int i = 0; i < positions; i++) {
            const int cid = g_chain_id[i];
            if (!valid_chain(cid) || !((expected >> cid) & 1) || ((finished >> cid) & 1)) continue;
            if (!at(s_detect_done[cid]).load()) continue;
            finished |= 1u << cid;
            t.alive_end[cid] = at(g_chain_alive[cid]).load() != 0;
            if (t.alive_end[cid]) kmx_tempctrl_update_chain_temp(cid);
        }
        const bool last = (finished & expected) == expected;
        if ((period_over || last) && misc_vid_type_is_i2c()) feed_psu_watchdog(false);
        if (period_over) look = kos::mono_us();
    }
    for (int c = 0; c < KMX_MAX_CHAIN; c++)
        if (t.started[c]) pthread_join(t.thread[c], nullptr);
}

}  // namespace

int kmx_chain_retry_cnt(int chain) { return valid_chain(chain) ? at(s_retry_cnt[chain]).load() : 0; }

extern "C" {

int kmx_count_mid_val(int *a, int n) {
    if (!a || n <= 0) return 0;
    if (n <= 2) {
        long s = 0;
        for (int i = 0; i < n; i++) s += a[i];
        return int(s / n);
    }
    std::sort(a, a + n);
    long sum = 0;
    for (int i = 1; i < n - 1; i++) sum += a[i];
    return int(sum / (n - 2));
}

int kmx_get_first_i2c_voltage(int chain) {
    int v[5];
    for (int &x : v) x = int(kmx_i2c_get_voltage(chain));
    return kmx_count_mid_val(v, 5);
}

void kmx_set_microadjust_error(int chain) {
    kmx_set_errcode(ERRCODE_FREQ_ADJUST_ERR, nullptr, true, chain, nullptr, 0);
}

int kmx_chain_preinit(uint8_t chain) {
    if (!valid_chain(chain)) return 0;
    const int v0 = startup_vid();
    kmx_logf(3, "chain%d: set spi speed %d", chain, 0);
    kmx_set_spi_speed(chain, 0);
    for (int m = 0; m < 4; m++) {
        for (int t = 0; t < 3; t++) {
            const int count = preinit_attempt(chain, m, t, v0);
            bool ok = count > 0;
            if (ok && g_vin_sync) {
                int expected = -1;
                at(s_chain_pwon_mode[chain]).compare_exchange_strong(expected, m);
                ok = vsync_arrive_ok();
            }
            if (ok) {
                kmx_logf(3, "chain%d: detected %d chips", chain, count);
                at(g_chain_alive[chain]).store(1);
                at(g_poweron_flag).store(false);
                return count;
            }
            if (g_vin_sync && !vsync_arrive_failed(m == 3 && t == 2)) break;
        }
    }
    kmx_logf(5, "chain%d: failed in kmx_chain_preinit(), SHUTDOWN", chain);
    misc_check_power_supply(chain);
    at(g_poweron_flag).store(false);
    chain_volt_ok(chain);
    err_with_chip(ERRCODE_ENCORE_FAIL, chain);
    return 0;
}

void *kmx_chain_detect_thread(void *param) {
    c_chain_param *p = static_cast<c_chain_param *>(param);
    if (!p || !valid_chain(p->chain_id)) {
        kmx_logf(5, "chain detection: invalid chain id %d", p ? p->chain_id : -1);
        return nullptr;
    }
    const uint8_t chain = uint8_t(p->chain_id);
    char name[16];
    snprintf(name, sizeof name, "detect_chain%d", chain);
    pthread_setname_np(pthread_self(), name);  // one per chain in ps and top
    at(s_detect_done[chain]).store(false);
    if (g_chain_plug[chain] == 0) {
        kmx_logf(5, "chain%d: not plugged", chain);
        if (g_vin_sync) vsync_leave();
        detect_finish(chain);
        return nullptr;
    }
    constexpr int kAttempts = 5;
    for (int n = 1; n <= kAttempts; n++) {
        at(s_retry_cnt[chain]).store(n);
        at(g_retry_cnt).store(n);
        at(g_chain_alive[chain]).store(0);
        const int chips = kmx_chain_preinit(chain);
        p->chip_num = chips;
        if (chips == 0) break;
        const int r = bring_up(chain, p, chips);
        if (r == 1) {
            detect_finish(chain);
            return nullptr;
        }
        if (r < 0) break;
        if (n == kAttempts) kmx_logf(5, "chain%d: failed to startup for %d times, SHUTDOWN", chain, kAttempts);
    }
    detect_failed_end(chain);
    detect_finish(chain);
    return nullptr;
}

int kmx_chain_detect_all(uint16_t mask, c_chain_param *params, bool quick_start, bool fan_bypass) {
    CallTables t;
    at(g_detect_over).store(false);
    if (fan_bypass) {
        g_fan_cfg.fan_speed_target = 100;
        kmx_fanctrl_set_bypass(true);
    }
    kmx_wd_client_init();
    const int positions = std::clamp(g_chain_num, 0, KMX_MAX_CHAIN);
    if (misc_vid_type_is_i2c() && !g_vin_sync) spi_wiring_test(positions);
    if (params) {
        if (!quick_start && !g_vin_sync) {
            serial_detect(t, mask, params, positions);
        } else {
            vsync_lock();
            at(g_vsync_total_chains).store(0);
            vsync_clear_attempt_flags();
            vsync_unlock();
            parallel_detect(t, mask, params, positions);
        }
    }
    int alive = 0;
    bool dropped = false;
    for (int i = 0; i < positions; i++) {
        const int cid = g_chain_id[i];
        if (!valid_chain(cid)) continue;
        const bool now = at(g_chain_alive[cid]).load() != 0;
        if (now) alive++;
        if (!dropped && t.alive_end[cid] && !now) {
            kmx_set_errcode(ERRCODE_PSU_LOW_POWER, nullptr, true, cid, nullptr, 0);
            dropped = true;
        }
    }
    if (alive) misc_check_vid_type();
    kmx_save_errcode();
    if (fan_bypass) kmx_fanctrl_set_bypass(false);
    kmx_logf(3, "chain detect finished. %d chains detected.", alive);
    at(g_detect_over).store(true);
    return alive;
}

}  // extern "C"
