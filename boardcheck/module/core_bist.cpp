#include "module/core_bist.h"

#include <cstring>

#include "module/cache_dag.h"
#include "module/chip_features.h"
#include "module/chip_reg.h"
#include "module/bc_platform.h"
#include "module/bc_steps.h"
#include "module/test_log.h"
#include "os/os.h"


namespace {

const uint16_t k_seeds[26] = {14619, 31779, 20334, 35369, 54,    42642, 25768, 12453, 34540,
                              5040,  47990, 19808, 39291, 7119,  35054, 51222, 19167, 62689,
                              57516, 43879, 15169, 33935, 16793, 9370,  62213, 12212};

int shutdown(int chain)
{
    test_logf(5, TL_PLAIN, "chain%d: failed in kmx_chain_init(), SHUTDOWN\n", chain);
    return 0;
}

int fail(int chain, const char *text)
{
    test_logf(5, TL_PLAIN, text, chain);
    return shutdown(chain);
}

}  // namespace

void core_bist_init(int chain, int chip)
{
    for (uint32_t i = 0; i < 8; i++)
        reg0d_write(chain, chip, 0xC8082 + 0x1000 * i, i);
    reg0d_write(chain, chip, 0xC0001, 0x4A252D10);
    reg0d_write(chain, chip, 0x84001, 64);
    reg0d_write(chain, chip, 0x86040, k_seeds[0]);
    for (uint32_t i = 1; i < 26; i++)
        reg0d_write(chain, chip, 0x86041 + i, k_seeds[i]);
}

int core_bist_check(int chain, int chip, bc_chip &rec)
{
    bc_chain &c = *bc_chain_rec(chain);
    uint8_t desc[16][5] = {};
    uint32_t masks[16];
    uint16_t counts[16];
    unsigned total = 0;
    int valid = 0;
    test_logf(2, TL_PLAIN, "chip%d: Core_bist START\n", chip);
    test_logf(2, TL_PLAIN, "\nBlock_id\tBist_done\tBistFail\tfail_bit_sum\tAll_fail_sum\r\n");
    for (int b = 0; b < 16; b++) {
        const uint32_t lo = reg0d_read(chain, chip, core_block_reg(b, 0x04)) & 0xFFFF;
        const uint32_t hi = reg0d_read(chain, chip, core_block_reg(b, 0x05)) & 0xFFFF;
        const uint32_t st = reg0d_read(chain, chip, core_block_reg(b, 0x00));
        const unsigned bist_done = st >> 5 & 1;
        if (!bist_done)
            test_logf(4, TL_PLAIN, "chain_id%d chip%d Block%d:CoreBist undone!\n", chain, chip, b);
        const uint32_t m = lo | hi << 16;
        const int n = __builtin_popcount(m);
        masks[b] = m;
        counts[b] = uint16_t(n);
        if (n <= 21) {
            valid++;
            desc[b][0] = uint8_t(b);
            int k = 1;
            for (int bit = 0; bit < 32 && k < 5; bit++)
                if (!(m >> bit & 1))
                    desc[b][k++] = uint8_t(bit);
        }
        total += unsigned(n);
        test_logf(2, TL_PLAIN, "%2d\t\t%x\t\t0x%x\t  %2d\t\t%3d", b, bist_done, m, n, total);
        test_logf(2, TL_CONT | TL_PLAIN, "\r\n");
    }
    bool ok = true;
    if (valid < 8) {
        test_logf(5, TL_PLAIN, "No enough valid block to gen dag!!!!!!!!!!!!!!!!!!!!!!!!\r\n");
        ok = false;
    }
    for (int hub = 0; ok && hub < 8; hub++) {
        bool found = false;
        for (uint8_t b : g_dag_hub_candidates[hub])
            found = found || desc[b][0] != 0;
        if (!found) {
            test_logf(5, TL_PLAIN, "Can not wr to hub %d !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n", hub);
            ok = false;
        }
    }
    if (!ok) {
        c.core_bist_failed = 1;
        c.failing_chip = uint8_t(chip);
        return 0;
    }
    memcpy(rec.block_desc, desc, sizeof desc);
    memcpy(rec.fail_mask, masks, sizeof masks);
    memcpy(rec.fail_count, counts, sizeof counts);
    rec.fail_total = uint16_t(total);
    rec.fail_spare = 0;
    rec.good_sub_cores = int16_t(400 - int(total));
    kos::sleep_us(100);
    reg0d_write(chain, chip, 0xC0001, 0x4A052D10);
    reg0d_write(chain, chip, 0x84001, 0);
    return 1;
}

int core_bist(int chain, int mask, int fix)
{
    if (!bc_chain_rec(chain)) {
        test_logf(5, TL_PLAIN, "chain%d: no chain record for the core BIST\n", chain);
        return 0;
    }
    bc_chain &c = *bc_chain_rec(chain);
    cmd_reset_bist(chain, nullptr);
    kos::sleep_ms(10);
    if (!cmd_reset_bist(chain, nullptr)) {
        test_logf(5, TL_PLAIN, "chain%d: RESETBIST failed\n", chain);
        c.cmd_return_failed = 1;
        return shutdown(chain);
    }
    kos::sleep_s(1);
    uint8_t cfg[12] = {};
    if (mask) {
        test_logf(3, TL_PLAIN, "chain%d: enable BISTMASK\n", chain);
        kmx_cmd_read_register(chain, 1, cfg, 12);
        cfg[11] |= 0x10;
        kmx_cmd_write_register(chain, 0, cfg, 12);
        kos::sleep_us(200);
    }
    test_logf(3, TL_PLAIN, "chain%d: BISTSTART\n", chain);
    cfg_fields f{};
    if (kmx_cmd_read_register(chain, 1, cfg, 12))
        parse_cfg_reg(chain, cfg, &f, 13);
    set_phy_pll(chain, 0);
    // The clock and sensor check alone: the supply is not read here.
    if (!check_t_v(chain, true, TEST_MODE_PARALLEL))
        return fail(chain, "chain%d: CFG PHY PLL failed\n");
    test_logf(3, TL_PLAIN, "CTRLLOR_NUM = %d\r\n", 8);
    test_logf(3, TL_PLAIN, "chain%d: Core bist init\n", chain);
    core_bist_init(chain, 0);
    // After the BIST reset the chips answer the start with a count of 0;
    // any other answer, and no answer, is a failed start. The run goes on.
    if (kmx_cmd_bist_start(chain, 0) != 0) {
        test_logf(5, TL_PLAIN, "chain%d: BISTSTART failed\n", chain);
        c.cmd_return_failed = 1;
        shutdown(chain);
    }
    kos::sleep_ms(1);
    for (int chip = 1; chip <= c.chip_num; chip++) {
        bc_chip &rec = *bc_chip_rec(chain, chip);
        if (!core_bist_check(chain, chip, rec))
            return fail(chain, "chain%d: Core Bist failed!\n");
        const int good = rec.good_sub_cores;
        test_logf(3, TL_PLAIN, "Chip%d: Good Sub-Core: %d, BIST Error Rate: %5.3f\n", chip, good,
                  100.0 - good * 100.0 / 400);
    }
    test_logf(3, TL_PLAIN, "chain%d: BISTCOLLECT\n", chain);
    if (!kmx_cmd_bist_collect(chain, 0)) {
        c.cmd_return_failed = 1;
        return fail(chain, "chain%d: BISTCOLLECT failed\n");
    }
    kos::sleep_ms(10);
    if (!fix)
        return 1;
    test_logf(3, TL_PLAIN, "chain%d: BISTFIX\n", chain);
    if (kmx_cmd_bist_fix(chain, 0)) {
        kos::sleep_us(200);
        return 1;
    }
    c.cmd_return_failed = 1;
    return fail(chain, "chain%d: BISTFIX failed\n");
}
