#include "module/cache_dag.h"

#include <cstdio>

#include "module/chip_features.h"
#include "module/bc_platform.h"
#include "module/mem_bringup.h"
#include "module/test_log.h"
#include "os/os.h"


const uint8_t g_dag_hub_candidates[8][3] = {
    {7, 0, 6}, {8, 15, 9}, {14, 15, 9}, {13, 12, 10}, {4, 3, 5}, {11, 12, 10}, {1, 0, 6}, {2, 3, 5},
};

uint16_t dag_scope_of(uint16_t low, uint16_t high)
{
    const uint32_t n = uint32_t(low) | uint32_t(high) << 16;
    return uint16_t(n / 8192 + ((low & 0x1C00) ? 1 : 0));
}

int Seed_init(int chain, int chip, int seed)
{
    test_logf(2, TL_PLAIN, "chain%d: chip%d %s()\n", chain, chip, "Seed_init");
    reg0d_write(chain, chip, 0x84001, 0);
    reg0d_read(chain, chip, 0x8F000);
    reg0d_write(chain, chip, 0x8F004, uint32_t(seed));
    reg0d_write(chain, chip, 0x8F001, 1);
    bool ok = false;
    for (int i = 0; i < 31 && !ok; i++) {
        kos::sleep_ms(10);
        ok = reg0d_read(chain, chip, 0x8F000) & 1;
    }
    if (!ok)
        test_logf(5, TL_PLAIN, "chain%d: chip%d seed init Fail!\r\n", chain, chip);
    test_logf(2, TL_PLAIN, "chain%d: chip%d Seed Init Done...\n", chain, chip);
    reg0d_write(chain, chip, 0x8F001, 0);
    return ok ? 1 : 0;
}

static dag_counts read_counts(int chain, int chip)
{
    const uint16_t cl = uint16_t(reg0d_read(chain, chip, 0x8F010));
    const uint16_t ch = uint16_t(reg0d_read(chain, chip, 0x8F011));
    const uint16_t dl = uint16_t(reg0d_read(chain, chip, 0x8F012));
    const uint16_t dh = uint16_t(reg0d_read(chain, chip, 0x8F013));
    dag_counts c{uint32_t(cl) | uint32_t(ch) << 16, uint32_t(dl) | uint32_t(dh) << 16, dag_scope_of(cl, ch),
                 dag_scope_of(dl, dh)};
    test_logf(2, TL_PLAIN, "chain%d: chip%d valid_cache_num: %x, cache_scope: %x\r\n", chain, chip,
            c.valid_cache, c.cache_scope);
    test_logf(2, TL_PLAIN, "chain%d: chip%d valid_dag_num: %x, dag_scope: %x\n", chain, chip, c.valid_dag,
            c.dag_scope);
    return c;
}

dag_counts Init_data_preparation(int chain, int chip)
{
    test_logf(2, TL_PLAIN, "chain%d: chip%d %s()\n", chain, chip, "Init_data_preparation");
    return read_counts(chain, chip);
}

int cache_init(int chain, int chip, const dag_counts &n)
{
    bc_chip &rec = *bc_chip_rec(chain, chip);
    const uint32_t c = n.cache_scope, d = n.dag_scope;
    test_logf(2, TL_PLAIN, "chain%d: chip%d %s()\n", chain, chip, "cache_init");
    for (uint32_t k = 0; k < 8; k++)
        reg0d_write(chain, chip, 0x8C010 + 0x100 * k, k * c);
    for (uint32_t k = 0; k < 8; k++)
        reg0d_write(chain, chip, 0x8F030 + 2 * k, k * c);
    for (uint32_t k = 0; k < 8; k++)
        reg0d_write(chain, chip, 0x8F031 + 2 * k, (k + 1) * c - 1);
    for (uint32_t k = 0; k < 8; k++)
        reg0d_write(chain, chip, 0x8C011 + 0x100 * k, k * d);
    const uint32_t params[4] = {0, 4, 0, 0};
    for (uint32_t i = 0; i < 4; i++)
        reg0d_write(chain, chip, 0x84012 + i, params[i]);
    reg0d_write(chain, chip, 0x84001, 1);
    kos::sleep_ms(1);
    reg0d_write(chain, chip, 0x8F001, 2);
    rec.last_cache_data = 0;
    bool ok = false;
    for (int i = 0; i < 10 && !ok; i++) {
        test_logf(2, TL_PLAIN, "chain%d: chip%d Waiting for cache init_done...\r\n", chain, chip);
        kos::sleep_s(1);
        ok = (reg0d_read(chain, chip, 0x8F000) & 3) == 3;
    }
    if (!ok)
        test_logf(5, TL_PLAIN, "chain%d: chip%d ERROR   Gen cache timeout!!!!!!!!!!!!!!!!!!!!!!!!!\r\n", chain,
                chip);
    const uint16_t last = uint16_t(reg0d_read(chain, chip, 0x8F048));
    test_logf(2, TL_PLAIN, "chain%d: chip%d Last cache data:  %4x\r\n", chain, chip, last);
    test_logf(2, TL_PLAIN, "chain%d: chip%d Cache Init Done...\r\n", chain, chip);
    kos::sleep_s(1);
    int good = 1;
    if (n.valid_cache != DAG_GOOD_CACHE_COUNT || last != DAG_GOOD_LAST_CACHE || n.valid_dag != DAG_GOOD_DAG_COUNT) {
        rec.last_cache_data = last;
        rec.cache_check_failed = 1;
        rec.disabled = 1;
        test_logf(4, TL_PLAIN, "chain%d: chip%d dag valid num wrong! %4x \r\n", chain, chip, last);
        good = 0;
    }
    reg0d_write(chain, chip, 0x8F001, 4);
    reg0d_write(chain, chip, 0x8F001, 0);
    return good;
}

int dag_map_hubs(int chain, int chip, const uint8_t desc[16][5])
{
    bc_chip &rec = *bc_chip_rec(chain, chip);
    bool taken[16];
    for (int b = 0; b < 16; b++)
        taken[b] = desc[b][0] != b;
    for (int hub = 0; hub < 8; hub++) {
        int block = -1;
        for (int i = 0; i < 3 && block < 0; i++) {
            const int b = g_dag_hub_candidates[hub][i];
            if (taken[b])
                continue;
            block = b;
            if (i > 0)
                taken[b] = true;
        }
        if (block < 0) {
            printf("\nDag cannot wr to hub %d !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\r", hub);
            fflush(stdout);
            return 0;
        }
        reg0d_write(chain, chip, core_block_reg(block, 0x14), uint32_t(16 + hub));
        reg0d_write(chain, chip, core_block_reg(block, 0x17), uint32_t(desc[block][1] | desc[block][2] << 8));
        reg0d_write(chain, chip, core_block_reg(block, 0x18), uint32_t(desc[block][3] | desc[block][4] << 8));
        rec.valid_block[hub] = uint8_t(block);
    }
    return 1;
}

int dag_init(int chain, int chip, const dag_counts &n, const uint8_t desc[16][5])
{
    bc_chip &rec = *bc_chip_rec(chain, chip);
    const uint32_t c = n.cache_scope, d = n.dag_scope;
    test_logf(2, TL_PLAIN, "chain%d: chip%d %s()\n", chain, chip, "dag_init");
    reg0d_write(chain, chip, 0x84001, 2);
    kos::sleep_ms(10);
    reg0d_write(chain, chip, 0x86001, 0);
    reg0d_write(chain, chip, 0x86002, 128);
    reg0d_write(chain, chip, 0x86003, 0);
    reg0d_write(chain, chip, 0x86006, 0);
    reg0d_write(chain, chip, 0x86007, 0);
    reg0d_write(chain, chip, 0x86010, n.valid_dag & 0xFFFF);
    reg0d_write(chain, chip, 0x86011, n.valid_dag >> 16);
    reg0d_write(chain, chip, 0x86015, n.valid_cache & 0xFFFF);
    reg0d_write(chain, chip, 0x86016, n.valid_cache >> 16);
    for (uint32_t k = 0; k < 8; k++) {
        reg0d_write(chain, chip, 0x86020 + 2 * k, k * d);
        reg0d_write(chain, chip, 0x86021 + 2 * k, (k + 1) * d - 1);
    }
    for (uint32_t k = 0; k < 8; k++) {
        reg0d_write(chain, chip, 0x86030 + 2 * k, k * c);
        reg0d_write(chain, chip, 0x86031 + 2 * k, (k + 1) * c - 1);
    }
    const int mapped = dag_map_hubs(chain, chip, desc);
    if (!mapped)
        test_logf(5, TL_PLAIN, "Sorry,chain %d, chip %d dag blk generate failed", chain, chip);
    for (int h = 0; h < 8; h++)
        test_logf(2, TL_PLAIN, "chain%d: chip%d valid_block[%d] = %d\r\n", chain, chip, h, rec.valid_block[h]);
    for (uint32_t h = 0; h < 8; h++) {
        const int b = rec.valid_block[h];
        reg0d_write(chain, chip, core_block_reg(b, 0x12), h * d);
        reg0d_write(chain, chip, core_block_reg(b, 0x13), (h + 1) * d - 1);
    }
    return mapped;
}

int dag_wait_done(int chain, int chip)
{
    bc_chip &rec = *bc_chip_rec(chain, chip);
    int waits = 0;
    for (int h = 0; h < 8; h++) {
        while (!(reg0d_read(chain, chip, core_block_reg(rec.valid_block[h], 0x00)) >> 4 & 1)) {
            // A chain that stopped answering never reads done: no waiting.
            if (chain_commands_failing(chain))
                return 0;
            test_log_dot();
            kos::sleep_s(2);
            if (++waits > 70) {
                test_logf(5, TL_PLAIN,
                        "chain%d: chip%d ERROR   Gen dag timeout!!!!!!!!!!!!!!!!!!!!!!!!!\r\n", chain, chip);
                rec.dag_timeout = 1;
                rec.disabled = 1;
                return 0;
            }
        }
        test_logf(2, TL_PLAIN, "\r\nchain%d: chip%d Dag Init Hub%d Done!!!\r\n", chain, chip, h);
    }
    reg0d_write(chain, chip, 0x86001, 0);
    kos::sleep_s(5);
    cmd_reset_dag(chain, nullptr);
    reg0d_write(chain, chip, 0x84001, 0);
    test_logf(2, TL_PLAIN, "\r\nchain%d: Dag Init All Done...\r\n", chain);
    return 1;
}

int chip_cache_prepare(int chain, int chip, int seed)
{
    Seed_init(chain, chip, seed);
    return cache_init(chain, chip, read_counts(chain, chip));
}

// Chips of the chain from the last to the first that still take part:
// soft-BIST-marked chips are passed over silently, disabled ones with a line.
template <typename F> static void for_enabled_chips(int chain, F &&f)
{
    for (int chip = bc_chain_rec(chain)->chip_num; chip >= 1; chip--) {
        // Chips left once the chain's commands fail are not prepared.
        if (chain_commands_failing(chain))
            return;
        if (bc_chip_marked(chain, chip))
            continue;
        if (bc_chip_rec(chain, chip)->disabled) {
            test_logf(4, TL_PLAIN, "chain:%d,chip:%d has been disabled\n", chain, chip);
            continue;
        }
        f(chip);
    }
}

int chain_cache_prepare(int chain, int seed)
{
    int r = 1;
    for_enabled_chips(chain, [&](int chip) { r = chip_cache_prepare(chain, chip, seed); });
    return r;
}

int chip_dag_prepare(int chain, int chip, int seed)
{
    Seed_init(chain, chip, seed);
    const dag_counts n = Init_data_preparation(chain, chip);
    dag_init(chain, chip, n, bc_chip_rec(chain, chip)->block_desc);
    reg0d_write(chain, chip, 0x86001, 1);
    return dag_wait_done(chain, chip);
}

int chain_dag_prepare(int chain, int seed)
{
    for_enabled_chips(chain, [&](int chip) {
        Seed_init(chain, chip, seed);
        const dag_counts n = Init_data_preparation(chain, chip);
        dag_init(chain, chip, n, bc_chip_rec(chain, chip)->block_desc);
    });
    reg0d_write(chain, 0, 0x86001, 1);
    test_logf(3, TL_PLAIN, "\r\nchain%d: Waiting for gen dag done\r\n", chain);
    int r = 1;
    for_enabled_chips(chain, [&](int chip) { r = dag_wait_done(chain, chip); });
    return r;
}

