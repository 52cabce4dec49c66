// Frequency micro-adjustment. The mining program counts nonces and hardware
// errors per chip; in odd monitor rounds the chips that lag the chain
// average sweep a window of PLL levels, one level per adjust interval, and
// keep the best clean level. A voltage-balancing phase may come first.
#include "module/kmx_microadjust.h"
#include "module/kmx_microadjust_internal.h"

#include <algorithm>
#include <atomic>

#include "drv/hub_cmd.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "hub/kmx_i2c.h"
#include "module/kmx_chain.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tvsensor.h"
#include "module/kmx_tvsensor_internal.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

m_chain_t g_n5chains[8];
int g_chip_rows = 0;

namespace {

int g_monitor_time = 0;
int g_adjust_time = 0;
int g_adjust_cnt = 0;
int g_mode = 0;

int target_volt_diff = 5;
int max_pll_step = 4;
int max_adjust_cnt = 6;
int adj_start_time = 300;
int aft_check_time = 180;

char kAdErrFile[] = "/tmp/ad_err_cnt";
constexpr int kMaxMarked = 15;

bool chain_ok(int c) { return c >= 0 && c < 8; }
bool chip_ok(int chip) { return chip >= 1 && chip <= 168; }
int chip_limit() { return std::clamp(g_chip_num, 0, 168); }
int active(const m_chain_t &ch) { return std::clamp(ch.num_active_chips, 0, 168); }

timeval now() {
    timeval tv{};
    kmx_time(&tv);
    return tv;
}
bool unset(const timeval &tv) { return tv.tv_sec == 0 && tv.tv_usec == 0; }

// The counters are bumped by the mining threads while the scan reads and
// clears them: every access to them is atomic.
int load(int &v) { return std::atomic_ref<int>(v).load(std::memory_order_relaxed); }
void store(int &v, int x) { std::atomic_ref<int>(v).store(x, std::memory_order_relaxed); }
void bump(int &v) { std::atomic_ref<int>(v).fetch_add(1, std::memory_order_relaxed); }

void clear_counters(m_chain_t &ch) {
    for (int i = 0; i < active(ch); i++) {
        store(ch.chips[i].nonces_found, 0);
        store(ch.chips[i].hw_errors, 0);
        ch.chips[i].freq_adjust_cnt = 0;
    }
}

int clamp_level(int l) { return std::clamp(l, 0, std::max(s_pll_cnt - 1, 0)); }

// Only the hub platforms have an SPI engine to clean; the direct-SPI and
// single-board-computer links have no hub window behind them.
bool has_hub() { return g_platform == ZYNQ_HUB_B3 || g_platform == ZYNQ_HUB_B13 || g_platform == SOC; }

bool step_chip(int chain, int chip, int from, int to) {
    if (has_hub()) hub_cmd_clean_spi_chain(uint8_t(chain));
    if (!kmx_chain_set_pll_by_step(uint8_t(chain), uint8_t(chip), from, to)) return false;
    uint8_t reply[8] = {};
    if (!kmx_cmd_resetjob(uint8_t(chain), uint8_t(chip), reply))
        kmx_logf(4, "Chain%d Chip%d clear work failed", chain, chip);
    return true;
}

void clear_chain_work(int chain) {
    uint8_t reply[8] = {};
    if (!kmx_cmd_resetjob(uint8_t(chain), 0, reply)) kmx_logf(4, "Chain%d clear work failed", chain);
}

void adjust_failed(m_chain_t &ch) {
    ch.freq_adjust_error++;
    kmx_set_microadjust_error(ch.chain_id);
    if (g_vin_sync) kmx_cnt_inc(ch.chain_id, kAdErrFile);
    ch.freq_adjust_terminated = true;
    ch.freq_adjust_en = false;
}

int sweep_target(const m_chip_t &c, int k, int n) {
    switch (g_mode) {
    case ADJUST_DOWN: return c.basePll + k - (n - 1);
    case ADJUST_UP: return c.basePll + k;
    default: return c.basePll + k - (n - 1) / 2;  // ADJUST_DOWN_UP, and any unknown mode
    }
}

}  // namespace

// The level to keep after a sweep of n levels: the most nonces among the
// clean levels whose neighbours are clean too, else among all clean levels;
// index 0 when no level found anything.
int microadjust_choose_level(const chip_freq_nonce_t *t, int n) {
    n = std::clamp(n, 0, MAX_ADJUST_RANGE);
    bool clean[MAX_ADJUST_RANGE] = {};
    bool in_b[MAX_ADJUST_RANGE] = {};
    for (int i = 0; i < n; i++) clean[i] = t[i].nonce > t[i].hwerr;
    bool any_b = false;
    for (int i = 0; i < n; i++) {
        in_b[i] = clean[i] && (i == 0 || clean[i - 1]) && (i == n - 1 || clean[i + 1]);
        any_b = any_b || in_b[i];
    }
    int best = -1;
    for (int i = 0; i < n; i++) {
        if (!(any_b ? in_b[i] : clean[i]) || t[i].nonce <= 0) continue;
        if (best < 0 || t[i].nonce > t[best].nonce) best = i;
    }
    return best < 0 ? 0 : best;
}

namespace {

void chip_freq_adjust(m_chain_t &ch, int chip_id) {
    if (!chip_ok(chip_id)) {
        kmx_logf(4, "chip id is invalid!");
        return;
    }
    m_chip_t &c = ch.chips[chip_id - 1];
    const int n = g_adjust_cnt;
    const int k = c.freq_adjust_cnt;
    if (k > n) {
        c.adjust_en = false;
        kmx_logf(3, "freq_adjust_cnt(%d) > g_adjust_cnt!", k);
        return;
    }
    if (k > 0) {
        c.freq_nonce_table[k - 1].nonce = load(c.nonces_found) - c.last_nonce_cnt;
        c.freq_nonce_table[k - 1].hwerr = load(c.hw_errors) - c.last_hwerr_cnt;
    }
    if (k < n && !ch.freq_adjust_terminated) {
        const int target = clamp_level(sweep_target(c, k, n));
        if (!step_chip(ch.chain_id, chip_id, c.nPll, target)) return adjust_failed(ch);
        c.nPll = target;
        c.freq_nonce_table[k].pll = target;
    } else {
        const chip_freq_nonce_t &best = c.freq_nonce_table[microadjust_choose_level(c.freq_nonce_table, n)];
        c.b_use_cnt++;
        if (best.pll != 0) {
            if (!step_chip(ch.chain_id, chip_id, c.nPll, best.pll)) return adjust_failed(ch);
            c.nPll = best.pll;
        }
        check_chip_pll(ch.chain_id, chip_id);
        c.adjust_en = false;
    }
    c.freq_adjust_cnt++;
    c.last_nonce_cnt = load(c.nonces_found);
    c.last_hwerr_cnt = load(c.hw_errors);
}

void monitor_and_adjust(m_chain_t &ch, const timeval &t) {
    // Rounds and averages divide by these; unset, there is nothing to do.
    if (g_monitor_time <= 0 || active(ch) <= 0) return;
    const long round = sec_diff(t, ch.dev_start_tv) / g_monitor_time;
    if (round <= 0 || ch.freq_adjust_error >= 1) return;
    if (round % 2 == 0) {
        if (!ch.b_monitor) {
            kmx_logf(5, "round:%d chain:%d", int(round), ch.chain_id);
            clear_counters(ch);
            ch.b_adjust = false;
            ch.b_monitor = true;
            ch.freq_adjust_terminated = true;
        }
    } else if (!ch.b_adjust) {
        kmx_logf(5, "round:%d chain:%d", int(round), ch.chain_id);
        check_chain_pll(ch.chain_id);
        long sum = 0;
        for (int i = 0; i < active(ch); i++) sum += load(ch.chips[i].nonces_found);
        const int avg = int(sum / active(ch));
        kmx_logf(3, "chain[%d] nonce_avg:%d ", ch.chain_id, avg);
        int marked = 0;
        for (int chip = 1; chip <= chip_limit(); chip++) {
            m_chip_t &c = ch.chips[chip - 1];
            const bool low = load(c.nonces_found) < 0.8 * avg && c.b_use_cnt <= 2;
            if (low) {
                kmx_logf(3, "chain[%d] chip[%d] nonce count is low:%d!", ch.chain_id, chip, load(c.nonces_found));
                c.adjust_en = true;
                marked++;
            }
            ch.pllRefineDone = !low;
            if (marked == kMaxMarked) {
                kmx_logf(4, "chain%d adjust chip count more than the limit %d", ch.chain_id, kMaxMarked);
                break;
            }
        }
        clear_counters(ch);
        ch.b_monitor = false;
        ch.freq_adjust_terminated = false;
        ch.b_adjust = true;
        ch.freq_start = t;
        ch.freq_adjust_en = true;
    }
}

// A failed read leaves the chips' voltages as they were and the chain's
// summary at no reading, which ends the balancing.
void measure(m_chain_t &ch, c_volt &stat) {
    int volts[168] = {};
    if (kmx_get_eva_voltages(ch.chain_id, active(ch), &stat, volts))
        for (int i = 0; i < active(ch); i++) ch.chips[i].nVol = volts[i];
    ch.volt = int(stat.vol_avg);
    ch.volt_max = stat.vol_hi;
    ch.volt_min = stat.vol_lo;
}

}  // namespace

extern "C" {

void kmx_microadjust_setconfig(int monitor_time, int adjust_time, int adjust_cnt, int adjust_mode) {
    g_monitor_time = monitor_time;
    g_adjust_time = adjust_time;
    g_adjust_cnt = adjust_cnt;
    kmx_logf(3, "monitor_time:%d adjust_time:%d adjust_cnt:%d", monitor_time, adjust_time, adjust_cnt);
    if ((long long)(adjust_cnt + 2) * adjust_time >= monitor_time)
        kmx_logf(4, "WARNING! MONITOR_TIME <= ADJUST_TIME*(ADJUST_COUNT+2)");
    if (adjust_cnt > MAX_ADJUST_RANGE) {
        kmx_logf(4, "WARNING! adjust_cnt > MAX_ADJUST_RANGE");
        g_adjust_cnt = MAX_ADJUST_RANGE;
    }
    if (g_adjust_cnt < 0) g_adjust_cnt = 0;
    g_mode = adjust_mode;
    for (int i = 0; i < 8; i++) g_n5chains[i].chain_id = i;
}

void kmx_microadjust_init(int chain_id, int num_active_chips, int pll) {
    if (!chain_ok(chain_id)) return;
    m_chain_t &ch = g_n5chains[chain_id];
    kmx_logf(3, "PLL refine init!");
    ch.freq_adjust_terminated = true;
    ch.freq_adjust_en = false;
    ch.b_adjust = false;
    ch.num_active_chips = std::clamp(num_active_chips, 0, 168);
    ch.pll = pll;
    for (int i = 0; i < active(ch); i++) ch.chips[i].nPll = ch.chips[i].basePll = pll;
    if (g_vin_sync) ch.freq_adjust_error = kmx_get_chain_cnt(chain_id, kAdErrFile);
    ch.dev_start_tv = now();
}

void kmx_microadjust_nonce_inc(int chain_id, int chip_id) {
    if (!chain_ok(chain_id) || !chip_ok(chip_id) || !g_n5chains[chain_id].adjusted) return;
    bump(g_n5chains[chain_id].chips[chip_id - 1].nonces_found);
}

void kmx_microadjust_hwerr_inc(int chain_id, int chip_id) {
    if (!chain_ok(chain_id) || !chip_ok(chip_id) || !g_n5chains[chain_id].adjusted) return;
    bump(g_n5chains[chain_id].chips[chip_id - 1].hw_errors);
}

void kmx_microadjust_scan(int chain_id) {
    if (!chain_ok(chain_id)) return;
    m_chain_t &ch = g_n5chains[chain_id];
    if (!ch.adjusted) return;
    // One time for the whole pass: the round's selection and the first
    // adjust step are an interval apart, however long the selection takes.
    const timeval t = now();
    monitor_and_adjust(ch, t);
    if (!ch.freq_adjust_en || sec_diff(t, ch.freq_start) < g_adjust_time) return;
    ch.freq_start = t;
    for (int chip = 1; chip <= chip_limit(); chip++)
        if (ch.chips[chip - 1].adjust_en) chip_freq_adjust(ch, chip);
    if (ch.freq_adjust_terminated) {
        ch.freq_adjust_en = false;
        clear_counters(ch);
    }
}

void kmx_adjust_volt_config(int volt_diff, int pll_step, int cnt, int start_time, int check_time) {
    target_volt_diff = volt_diff;
    max_pll_step = pll_step;
    max_adjust_cnt = cnt;
    adj_start_time = start_time;
    aft_check_time = check_time;
}

void kmx_adjust_volt_by_pll(int chain_id) {
    if (!chain_ok(chain_id)) return;
    m_chain_t &ch = g_n5chains[chain_id];
    if (ch.adjusted) return;
    if (unset(ch.volt_adjust_start)) {
        ch.volt_adjust_start = now();
        kmx_logf(3, "chain:%d volt adjust init", chain_id);
        return;
    }
    if (sec_diff(now(), ch.volt_adjust_start) < adj_start_time) return;
    c_volt stat{};
    measure(ch, stat);
    kmx_logf(3, "chain:%d volt adjust started", chain_id);
    // No valid summary means nothing to balance against.
    for (int pass = 1; stat.vol_avg < KMX_NO_READING && pass <= max_adjust_cnt; pass++) {
        if (misc_vid_type_is_i2c()) kmx_i2c_feed_watchdog(false);
        if (kmx_tempctrl_update_chain_temp(chain_id) == 4) break;
        for (int i = 0; i < active(ch); i++) {
            m_chip_t &c = ch.chips[i];
            const int step = c.nVol > ch.volt + target_volt_diff ? 1 : c.nVol < ch.volt - target_volt_diff ? -1 : 0;
            const int level = clamp_level(c.nPll + step);
            if (level == c.nPll || std::abs(level - ch.pll) > max_pll_step) continue;
            if (kmx_chain_set_pll_by_step(uint8_t(chain_id), uint8_t(i + 1), c.nPll, level))
                c.nPll = c.basePll = level;
        }
        kos::sleep_s(3);
        const int before = ch.volt;
        measure(ch, stat);
        kmx_logf(3, "cid:%d volt:%d -> %d, %d", chain_id, before, ch.volt, pass);
        if (ch.volt_max - ch.volt_min <= 2 * target_volt_diff) break;
    }
    ch.adjust_time = now();
    ch.adjusted = true;
    clear_chain_work(chain_id);
    kmx_logf(3, "chain:%d volt adjust finished", chain_id);
}

void kmx_no_need_adjust_volt_by_pll(int chain_id) {
    if (!chain_ok(chain_id)) return;
    m_chain_t &ch = g_n5chains[chain_id];
    if (!ch.adjusted) ch.adjusted = ch.hash_checked = true;
}

void kmx_after_adjust_volt(int chain_id, double hash, double tuneHash) {
    if (!chain_ok(chain_id)) return;
    m_chain_t &ch = g_n5chains[chain_id];
    if (!ch.adjusted || ch.hash_checked || sec_diff(now(), ch.adjust_time) < aft_check_time) return;
    if (hash < 0.9 * tuneHash) {
        const int level = std::max(ch.pll - 1, 0);
        kmx_chain_set_pll_by_step(uint8_t(chain_id), 0, ch.pll, level);
        ch.pll = level;
        for (int chip = 1; chip <= chip_limit(); chip++)
            ch.chips[chip - 1].nPll = ch.chips[chip - 1].basePll = level;
        clear_chain_work(chain_id);
        kmx_logf(3, "chain:%d recovered form volt adjust due to low hash", chain_id);
    }
    ch.hash_checked = true;
}

bool kmx_get_adjust_volt_status(int chain_id) { return chain_ok(chain_id) && g_n5chains[chain_id].adjusted; }
bool kmx_get_microadjust_status(int chain_id) { return chain_ok(chain_id) && g_n5chains[chain_id].pllRefineDone; }

int kmx_get_npll(int chain_id, int chip_id) {
    if (!chain_ok(chain_id) || !chip_ok(chip_id)) return 0;
    return g_n5chains[chain_id].chips[chip_id - 1].nPll;
}

int kmx_set_npll(int chain_id, int chip_id, int npll) {
    if (!chain_ok(chain_id) || !chip_ok(chip_id)) return 0;
    g_n5chains[chain_id].chips[chip_id - 1].nPll = npll;
    return npll;
}

void check_chip_pll(int chain, int chip_id) {
    if (!chain_ok(chain) || !chip_ok(chip_id)) return;
    uint8_t reg[12] = {};
    if (!kmx_cmd_read_register(uint8_t(chain), uint8_t(chip_id), reg, 12)) {
        kmx_logf(4, "failed to read register for chain%d chip%d", chain, chip_id);
        return;
    }
    const int level = g_n5chains[chain].chips[chip_id - 1].nPll;
    if (s_pll_regs == nullptr || level < 0 || level >= s_pll_cnt) return;
    const uint8_t *want = s_pll_regs[level];
    const bool same = (reg[0] & 0x3F) == (want[0] & 0x3F) && reg[1] == want[1] && (reg[3] & 0x70) == (want[3] & 0x70);
    if (!same) {
        int chips[1] = {chip_id};
        kmx_set_errcode(ERRCODE_PLL_REG_DIFF, nullptr, true, chain, chips, 1);
        kmx_save_errcode();
    }
}

void check_chain_pll(int chain) {
    for (int chip = 1; chip <= chip_limit(); chip++) check_chip_pll(chain, chip);
}

// False when the sensors could not be switched to voltage mode or a chip's
// voltage could not be read: the statistics then hold no reading, never
// temperature codes or a half-read chain taken for voltages.
bool kmx_get_eva_voltages(int chain_id, int num_active_chips, c_volt *pVoltStat, int *pVolt) {
    if (!chain_ok(chain_id) || pVoltStat == nullptr || pVolt == nullptr) return false;
    if (!kmx_switch_to_volt_sensor(chain_id) || !kmx_get_chip_volt(uint8_t(chain_id), pVolt)) {
        pVoltStat->vol_lo = pVoltStat->vol_hi = KMX_NO_READING;
        pVoltStat->vol_avg = KMX_NO_READING;
        kmx_configure_tvsensor(chain_id, 0, true);
        return false;
    }
    const int n = std::clamp(num_active_chips, 0, 168);
    if (g_chip_rows > 2) {
        for (int g = 0; g + g_chip_rows <= n; g += g_chip_rows) {
            int group[168];
            std::copy(pVolt + g, pVolt + g + g_chip_rows, group);
            std::fill(pVolt + g, pVolt + g + g_chip_rows, kmx_get_mid(group, g_chip_rows));
        }
    }
    kmx_stat_chain_volt(pVolt, pVoltStat);
    kmx_configure_tvsensor(chain_id, 0, true);
    return true;
}

int kmx_get_mid(int *a, int size) {
    if (a == nullptr || size <= 0) return 0;
    std::sort(a, a + size);
    if (size <= 2) return a[0];
    long long sum = 0;
    for (int i = 1; i < size - 1; i++) sum += a[i];
    return int(sum / (size - 2));
}

int kmx_get_mid_val(int *a, int size) {
    if (a == nullptr || size < 1) return -1;
    std::sort(a, a + size);
    return a[(size - 1) / 2];
}

long sec_diff(struct timeval end, struct timeval start) { return long(end.tv_sec - start.tv_sec); }

bool check_time_valid(struct timeval end, struct timeval start) { return end.tv_sec - start.tv_sec <= 604800; }

}  // extern "C"
