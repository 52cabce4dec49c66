// PLL levels installed by the mining program, one-level writes with
// retries, the step and plan-B ramps, the work-frequency check and the
// theoretical hash rate.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_chain_internal.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tvsensor.h"
#include "module/kmx_tvsensor_internal.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "record/kmx_record.h"
#include "record/kmx_record_shared_internal.h"

int *s_pll_list;
int s_pll_cnt;
const uint8_t (*s_pll_regs)[12];
int s_setpll[8];

namespace {

// A missing table is the caller's broken contract: stop like an assertion.
#define PLL_REQUIRE(cond)                                                                               \
    do {                                                                                                \
        if (!(cond)) {                                                                                  \
            fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__, #cond); \
            kmx_logf(5, "%s:%d: %s: Assertion `%s' failed.", __FILE__, __LINE__, __func__, #cond);       \
            std::abort();                                                                               \
        }                                                                                               \
    } while (0)

bool chain_ok(int chain) { return chain >= 0 && chain < KMX_MAX_CHAIN; }
bool level_ok(int level) { return level >= 0 && level < s_pll_cnt; }

// Builds that also handle subtype 69 mark it like 64..68.
bool pll_flag_subtype() { return g_miner_subtype >= 64 && g_miner_subtype <= (KMX_LIB_REV >= 3 ? 69 : 68); }

bool write_level(uint8_t chain, uint8_t chip, int level, int log_level) {
    PLL_REQUIRE(s_pll_list);
    PLL_REQUIRE(s_pll_regs);
    if (!chain_ok(chain)) return false;
    // Arithmetic on levels must never leave the installed table.
    if (!level_ok(level)) {
        kmx_logf(5, "chain%d: PLL level %d outside the table (0..%d)", chain, level, s_pll_cnt - 1);
        return false;
    }
    const int f = s_pll_list[level];
    s_setpll[chain] = f;
    uint8_t img[12];
    memcpy(img, s_pll_regs[level], sizeof img);
    if (pll_flag_subtype()) img[9] |= 0x20;
    for (int k = 1; k <= 5; k++) {
        if (kmx_cmd_write_register(chain, chip, img, 12)) {
            kmx_logf(log_level, "chain%d: set PLL %dMHz success", chain, f);
            kmx_record::shared_store(g_chains_info[chain].freq, f);
            kos::sleep_ms(10);
            return true;
        }
        kmx_logf(5, "chain%d: failed to set PLL %dMHz (%d)", chain, f, k);
        kos::sleep_ms(uint64_t(k) * 50);
    }
    c_volt v;
    kmx_chain_get_volt(chain, &v);  // for the log
    // The failing chip of this chain's own read: other chains read in parallel.
    int chip_list = kmx_err_chip_of_chain(chain);
    char text[32];
    snprintf(text, sizeof text, "%dMHz", f);
    kmx_set_errcode(ERRCODE_SETPLL_FAIL, text, false, chain, &chip_list, 1);
    return false;
}

// After each step: the sensor ADC divider follows the new frequency.
void follow_divider(uint8_t chain, uint8_t chip, int level) {
    const int f = s_pll_list[level];
    kmx_cfg_tsadc_divider(chain, chip, unsigned(f));
    if (reset_tsadc[chain]) {
        kmx_logf(1, "chain%d reset tsadc div at %dMHz!", chain, f);
        kmx_configure_tvsensor(chain, chip, true);
    }
}

bool ramp_args_ok(uint8_t chain, int start, int target) {
    if (chain_ok(chain) && level_ok(start) && level_ok(target)) return true;
    kmx_logf(5, "chain%d: PLL ramp %d -> %d outside the table (0..%d)", chain, start, target, s_pll_cnt - 1);
    return false;
}

void ramp_header(uint8_t chain, uint8_t chip, int start, int target) {
    kmx_logf(3, "chain%d: chip%d set pll %d(%dMHz) -> %d(%dMHz)", chain, chip, start, s_pll_list[start], target,
             s_pll_list[target]);
}

}  // namespace

extern "C" void kmx_chain_set_pllcfg(const int *pll_list, const uint8_t (*pll_regs)[12], int length) {
    s_pll_list = const_cast<int *>(pll_list);
    s_pll_regs = pll_regs;
    s_pll_cnt = length;
}

extern "C" int kmx_chain_pll_to_level(int pll) {
    PLL_REQUIRE(s_pll_list);
    if (s_pll_cnt <= 1) return 0;
    if (pll >= s_pll_list[s_pll_cnt - 1]) return s_pll_cnt - 1;
    int l = 1;
    while (l < s_pll_cnt && s_pll_list[l] <= pll) l++;
    // Exactly half-way goes to the higher level.
    return std::abs(pll - s_pll_list[l - 1]) < std::abs(pll - s_pll_list[l]) ? l - 1 : l;
}

extern "C" bool kmx_chain_set_pll(uint8_t chain_id, uint8_t chip_id, int start_pll, bool increase) {
    return write_level(chain_id, chip_id, increase ? start_pll + 1 : start_pll - 1, 1);
}

extern "C" bool kmx_chain_set_pll__(uint8_t chain_id, uint8_t chip_id, int start_pll, bool increase, int interval) {
    return write_level(chain_id, chip_id, increase ? start_pll + interval : start_pll - interval, 3);
}

extern "C" bool kmx_chain_set_pll_by_step(uint8_t chain_id, uint8_t chip_id, int start_pll, int target_pll) {
    PLL_REQUIRE(s_pll_list);
    PLL_REQUIRE(s_pll_regs);
    if (!ramp_args_ok(chain_id, start_pll, target_pll)) return false;
    ramp_header(chain_id, chip_id, start_pll, target_pll);
    if (start_pll < target_pll) {
        for (int l = start_pll; l < target_pll; l++) {
            if (!kmx_chain_set_pll(chain_id, chip_id, l, true)) return false;
            follow_divider(chain_id, chip_id, l + 1);
            if (s_pll_list[l] > 120) kmx_check_temp_loop(chain_id, 3);
        }
    } else {
        for (int l = start_pll; l > target_pll; l--) {
            if (!kmx_chain_set_pll(chain_id, chip_id, l, false)) return false;
            follow_divider(chain_id, chip_id, l - 1);
            kmx_check_temp_loop(chain_id, 3);
        }
    }
    return true;
}

extern "C" bool kmx_chain_set_pll_by_interval(uint8_t chain_id, uint8_t chip_id, int start_pll, int target_pll) {
    PLL_REQUIRE(s_pll_list);
    PLL_REQUIRE(s_pll_regs);
    if (!ramp_args_ok(chain_id, start_pll, target_pll)) return false;
    ramp_header(chain_id, chip_id, start_pll, target_pll);
    int f = s_pll_list[start_pll];
    int last = start_pll;
    while (f <= 100) {
        f += 25;
        const int l = kmx_chain_pll_to_level(f);
        if (!kmx_chain_set_pll__(chain_id, chip_id, start_pll, true, l - start_pll)) return false;
        follow_divider(chain_id, chip_id, l);
        kmx_check_temp_loop(chain_id, 3);
        last = l;
    }
    return kmx_chain_set_pll_by_step(chain_id, chip_id, last, target_pll);
}

bool check_workpll_valid(int chain_id) {
    if (!chain_ok(chain_id)) return false;
    const int st = g_miner_subtype;
    const bool checked = (st >= 1 && st <= 4) || (st >= 14 && st <= 27) || st == 32 || st == 48 ||
                         (st >= 64 && st <= (KMX_LIB_REV >= 3 ? 69 : 68)) || st == 80 || st == 81;
    if (!checked) return true;
    if (s_workpll[chain_id] < 600) {
        kmx_set_errcode(ERRCODE_CONF_PARA1, nullptr, false, chain_id, nullptr, 0);
        kmx_save_errcode();
        return false;
    }
    std::vector<int> used;
    int alive = 0;
    for (int i = 0; i < std::clamp(g_chain_num, 0, KMX_MAX_CHAIN); i++) {
        const int c = g_chain_id[i];
        if (!chain_ok(c)) continue;
        used.push_back(s_workpll[c]);
        alive += g_chain_alive[c] != 0;
    }
    if (alive <= 1 || used.empty()) return true;
    std::sort(used.begin(), used.end());
    const int median = used[(used.size() - 1) / 2];
    if (std::abs(s_workpll[chain_id] - median) > 200)
        kmx_set_errcode(ERRCODE_CONF_PARA2, nullptr, false, alive == 2 ? 255 : chain_id, nullptr, 0);
    return true;
}

extern "C" double kmx_chain_get_theory_hash(int chip_num, int core_num, int sub_core_num, int pll) {
    // 64-bit: the product of four counts overflows 32 bits on big chains.
    const long long x = (long long)chip_num * core_num * sub_core_num * pll / 2;
    if (g_chip_type == 6) return double(x) * 16 / 33811;
    return double(x);
}
