// Core BIST grading, cache and DAG preparation and the chips' memory
// bring-up, against a model of memory chips that train, generate and fail
// as each test asks.
#include <gtest/gtest.h>

#include <set>

#include "bc_chip_model.h"
#include "module/cache_dag.h"
#include "module/bc_steps.h"
#include "module/core_bist.h"
#include "module/ddr_phy.h"
#include "module/ddr_training.h"
#include "module/mem_bringup.h"


namespace {

constexpr uint32_t VCO_10G = 0x20019281;

struct memory_chips {
    bc_model m;
    // Core BIST fail bits per (chip, block).
    std::map<std::pair<int, int>, uint32_t> fail_bits;
    // Reads of a block's status before its DAG-done bit shows, per (chip, block).
    std::map<std::pair<int, int>, int> dag_delay;
    std::map<std::pair<int, int>, int> status_reads;
    std::map<int, uint32_t> last_cache;
    // Failed read cycles on channel AB of each high-speed attempt of a chip.
    std::function<int(int chip, int attempt)> hs_read_fails = [](int, int) { return 0; };
    // Low-speed write trainings (per chip, counted from 0) that fail wholly.
    std::map<int, std::set<int>> ls_write_fail;
    std::map<int, int> hs_checks, ls_write_checks;

    explicit memory_chips(int n) : m(n)
    {
        m.on_read = [this](int chip, uint32_t a) { return read(chip == 0 ? 1 : chip, a); };
        for (int c = 1; c <= n; c++)
            good_blocks(c);
    }
    void good_blocks(int chip)
    {
        bc_chip &rec = *bc_chip_rec(0, chip);
        for (int b = 0; b < 16; b++) {
            rec.block_desc[b][0] = uint8_t(b);
            for (int k = 1; k < 5; k++)
                rec.block_desc[b][k] = uint8_t(k - 1);
        }
    }
    std::optional<uint32_t> read(int chip, uint32_t a)
    {
        if (a >= 0x8E000 && a < 0x8F000) {
            const int b = int((a - 0x8E000) >> 8);
            switch (a & 0xFF) {
            case 0x00: {
                const int n = status_reads[{chip, b}]++;
                return n >= dag_delay[{chip, b}] ? 0x30u : 0x20u;
            }
            case 0x04: return fail_bits[{chip, b}] & 0xFFFF;
            case 0x05: return fail_bits[{chip, b}] >> 16;
            }
            return std::nullopt;
        }
        switch (a) {
        case 0x8F000: return 3u;
        case 0x8F010: return 0x3FFFu;
        case 0x8F011: return 0xAu;
        case 0x8F012: return 0xFFF5u;
        case 0x8F013: return 0x147u;
        case 0x8F048: return last_cache.count(chip) ? last_cache[chip] : 0xA02Du;
        }
        const uint32_t ch = a & 0x6000, r = a & ~0x6000u;
        if (r >= 0xD8030 && r <= 0xD8034)
            return 3u;
        if (r == 0xD8035)
            return 2u;
        if (r == 0xC801F || r == 0xC901F)
            return 0x10101u;
        if (r == 0xD817F || r == 0xD827F || r == 0xD837F || r == 0xD847F) {
            const bool read_mode = m.reg(chip, 0xD802A | ch) >> 10 & 1;
            const bool high = m.reg(chip, 0xD0504) == VCO_10G;
            if (read_mode) {
                if (r == 0xD827F && ch == DDR_CH_AB && high) {
                    const int i = hs_checks[chip]++;
                    if (i % 31 < hs_read_fails(chip, i / 31))
                        return 0u;
                }
                return 0x03FF03FFu;
            }
            if (r == 0xD827F && ch == DDR_CH_AB && !high) {
                const int i = ls_write_checks[chip]++;
                if (ls_write_fail[chip].count(i / 31))
                    return 0u;
            }
            return 0x03FF01FFu;
        }
        return std::nullopt;
    }
    bool chip_wrote(int chip, uint32_t addr, uint32_t value) const
    {
        for (const bc_model::op &o : m.writes())
            if (o.chip == chip && o.addr == addr && o.value == value)
                return true;
        return false;
    }
    // Chips in the order of their first write to the given register.
    std::vector<int> order_of(uint32_t addr) const
    {
        std::vector<int> v;
        for (const bc_model::op &o : m.writes())
            if (o.addr == addr && o.chip && (v.empty() || v.back() != o.chip))
                v.push_back(o.chip);
        return v;
    }
};

uint32_t bits(int n) { return n >= 32 ? 0xFFFFFFFFu : (1u << n) - 1; }

}  // namespace

TEST(CoreBistCheck, BlockValidityThreshold)
{
    memory_chips mc(1);
    mc.fail_bits[{1, 9}] = bits(21) << 1;
    mc.fail_bits[{1, 10}] = bits(22);
    bc_chip &rec = *bc_chip_rec(0, 1);
    memset(rec.block_desc, 0, sizeof rec.block_desc);
    ASSERT_EQ(core_bist_check(0, 1, rec), 1);
    EXPECT_EQ(rec.block_desc[9][0], 9);
    EXPECT_EQ(rec.block_desc[9][1], 0);  // bit 0 is clear
    EXPECT_EQ(rec.block_desc[9][2], 22);
    EXPECT_EQ(rec.block_desc[10][0], 0);
    EXPECT_EQ(rec.block_desc[10][4], 0);
    EXPECT_EQ(rec.fail_count[10], 22);
    EXPECT_EQ(rec.fail_total, 43);
    EXPECT_EQ(rec.fail_mask[10], bits(22));
    EXPECT_EQ(mc.m.reg(1, 0xC0001), 0x4A052D10u);
}

TEST(CoreBistCheck, EveryHubNeedsACandidate)
{
    memory_chips mc(1);
    for (int b = 8; b < 16; b++)
        mc.fail_bits[{1, b}] = 0xFFFFFFFF;
    bc_chip &rec = *bc_chip_rec(0, 1);
    memset(rec.block_desc, 0, sizeof rec.block_desc);
    EXPECT_EQ(core_bist_check(0, 1, rec), 0);
    EXPECT_TRUE(mc.m.logged("Can not wr to hub 1 !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n"));
    EXPECT_EQ(bc_chain_rec(0)->core_bist_failed, 1);
    EXPECT_EQ(bc_chain_rec(0)->failing_chip, 1);
    EXPECT_EQ(rec.block_desc[3][0], 0);  // nothing stored for a failing chip
}

TEST(CoreBistCheck, TooFewValidBlocks)
{
    memory_chips mc(1);
    for (int b = 0; b < 9; b++)
        mc.fail_bits[{1, b}] = 0xFFFFFFFF;
    EXPECT_EQ(core_bist_check(0, 1, *bc_chip_rec(0, 1)), 0);
    EXPECT_TRUE(mc.m.logged("No enough valid block to gen dag!!!!!!!!!!!!!!!!!!!!!!!!\r\n"));
}

TEST(CoreBist, GoodChainPasses)
{
    memory_chips mc(2);
    EXPECT_EQ(core_bist(0, 0, 1), 1);
    EXPECT_EQ(bc_chain_rec(0)->cmd_return_failed, 0);
    EXPECT_TRUE(mc.m.logged("Chip1: Good Sub-Core: 400, BIST Error Rate: 0.000\n"));
    EXPECT_TRUE(mc.m.logged("Chip2: Good Sub-Core: 400, BIST Error Rate: 0.000\n"));
    EXPECT_EQ(mc.m.resets, (std::vector<std::pair<uint8_t, uint8_t>>{{0xA0, 0xA0}, {0xA0, 0xA0}}));
    // Seeds go to chip 0, skipping 0x86041.
    EXPECT_TRUE(mc.chip_wrote(0, 0x86040, 14619));
    EXPECT_TRUE(mc.chip_wrote(0, 0x86042, 31779));
    EXPECT_TRUE(mc.chip_wrote(0, 0x8605A, 12212));
    EXPECT_TRUE(mc.m.writes_to(0x86041).empty());
    EXPECT_TRUE(mc.chip_wrote(0, 0xC8082 + 0x7000, 7));
    EXPECT_TRUE(mc.chip_wrote(0, 0xD0504, 0x2001E381));
}

TEST(CoreBist, FailedStartIsFlaggedButRunContinues)
{
    // After the BIST reset only a count of 0 is a good start: a chip count
    // (a chain that left BIST mode) and no answer both fail it.
    for (int answer : {-1, 1, 8}) {
        memory_chips mc(1);
        mc.m.bist_start_result = answer;
        EXPECT_EQ(core_bist(0, 0, 1), 1);
        EXPECT_EQ(bc_chain_rec(0)->cmd_return_failed, 1) << answer;
        EXPECT_TRUE(mc.m.logged("chain0: BISTSTART failed\n"));
    }
    memory_chips mc(1);
    mc.m.obj.cmd_bist_start = nullptr;  // an empty slot is no pass either
    EXPECT_EQ(core_bist(0, 0, 1), 1);
    EXPECT_EQ(bc_chain_rec(0)->cmd_return_failed, 1);
    EXPECT_TRUE(mc.m.logged("kmx_cmd_bist_start not register !\n"));
}

TEST(CoreBist, FailingChipEndsTheRun)
{
    memory_chips mc(5);
    for (int b = 0; b < 16; b++)
        mc.fail_bits[{3, b}] = 0xFFFFFFFF;
    EXPECT_EQ(core_bist(0, 0, 1), 0);
    EXPECT_TRUE(mc.m.logged("chain0: Core Bist failed!\n"));
    EXPECT_TRUE(mc.m.logged("chain0: failed in kmx_chain_init(), SHUTDOWN\n"));
    // The chain check before the BIST reads every chip (sensor divider,
    // memory PLL locks); nothing else reaches the chips after chip 3.
    for (const bc_model::op &o : mc.m.ops) {
        const bool check = (o.kind == 'R' && (o.addr & 0xF8FFF) == 0xD8035) || (o.kind == 'W' && o.addr == 2);
        if (!check) {
            EXPECT_LT(o.chip, 4) << o.kind << std::hex << o.addr << " " << o.value;
        }
    }
}

TEST(CoreBist, ChainCheckLeavesTheSupplyAlone)
{
    // Even with the supply on I2C the core BIST's clock and sensor check
    // does not read its power.
    memory_chips mc(1);
    mc.m.obj.flags |= KMX_OBJ_I2C_PSU;
    EXPECT_EQ(core_bist(0, 0, 1), 1);
    for (const bc_model::line &l : mc.m.logs)
        EXPECT_EQ(l.text.find("iic power"), std::string::npos) << l.text;
    EXPECT_TRUE(mc.m.logged("chain0: check t v\n"));
}

TEST(CoreBist, GoodCoreCountSumsTheFailedSubCores)
{
    memory_chips mc(3);
    mc.fail_bits[{2, 9}] = bits(5);
    mc.fail_bits[{3, 4}] = bits(2);
    mc.fail_bits[{3, 12}] = bits(21) << 3;
    ASSERT_EQ(core_bist(0, 0, 1), 1);
    EXPECT_TRUE(mc.m.logged("Chip3: Good Sub-Core: 377, BIST Error Rate: 5.750\n"));
    EXPECT_EQ(count_good_cores(0), 1);
    EXPECT_EQ(bc_chain_rec(0)->bad_sub_cores, 28u);
}

TEST(CoreBist, ResetFailureAndBistMask)
{
    {
        memory_chips mc(1);
        mc.m.reset_ok = false;
        EXPECT_EQ(core_bist(0, 0, 1), 0);
        EXPECT_TRUE(mc.m.logged("chain0: RESETBIST failed\n"));
        EXPECT_EQ(bc_chain_rec(0)->cmd_return_failed, 1);
    }
    {
        memory_chips mc(1);
        EXPECT_EQ(core_bist(0, 1, 1), 1);
        EXPECT_TRUE(mc.m.logged("chain0: enable BISTMASK\n"));
        ASSERT_FALSE(mc.m.cfg_writes.empty());
        EXPECT_EQ(mc.m.cfg_writes[0][11] & 0x10, 0x10);  // the BIST mask
    }
}

TEST(CacheDag, ScopesAndCacheRanges)
{
    EXPECT_EQ(dag_scope_of(0x3FFF, 0xA), 0x52);
    EXPECT_EQ(dag_scope_of(0xFFF5, 0x147), 0xA40);
    EXPECT_EQ(dag_scope_of(0x2000, 0), 1);
    memory_chips mc(1);
    EXPECT_EQ(chip_cache_prepare(0, 1, 200), 1);
    EXPECT_EQ(mc.m.reg(1, 0x8F03F), 8u * 0x52 - 1);
    EXPECT_EQ(mc.m.reg(1, 0x8C711), 7u * 0xA40);
    EXPECT_EQ(mc.m.reg(1, 0x8F004), 200u);
    EXPECT_EQ(bc_chip_rec(0, 1)->cache_check_failed, 0);
    EXPECT_EQ(bc_chip_rec(0, 1)->disabled, 0);
}

TEST(CacheDag, WrongLastCacheWordDisables)
{
    memory_chips mc(1);
    mc.last_cache[1] = 0xA02C;
    EXPECT_EQ(chip_cache_prepare(0, 1, 200), 0);
    EXPECT_EQ(bc_chip_rec(0, 1)->cache_check_failed, 1);
    EXPECT_EQ(bc_chip_rec(0, 1)->disabled, 1);
    EXPECT_EQ(bc_chip_rec(0, 1)->last_cache_data, 0xA02C);
    EXPECT_TRUE(mc.m.logged("chain0: chip1 dag valid num wrong! a02c \r\n"));
}

TEST(CacheDag, HubMappingFallsBack)
{
    memory_chips mc(1);
    uint8_t desc[16][5];
    memcpy(desc, bc_chip_rec(0, 1)->block_desc, sizeof desc);
    desc[7][0] = 0;
    ASSERT_EQ(dag_map_hubs(0, 1, desc), 1);
    EXPECT_EQ(bc_chip_rec(0, 1)->valid_block[0], 0);
    EXPECT_EQ(bc_chip_rec(0, 1)->valid_block[6], 1);
    EXPECT_EQ(mc.m.reg(1, core_block_reg(0, 0x14)), 16u);
    EXPECT_EQ(mc.m.reg(1, core_block_reg(0, 0x17)), 0x0100u);
    EXPECT_EQ(mc.m.reg(1, core_block_reg(0, 0x18)), 0x0302u);
    desc[1][0] = 0;
    ASSERT_EQ(dag_map_hubs(0, 1, desc), 1);
    EXPECT_EQ(bc_chip_rec(0, 1)->valid_block[6], 6);
    desc[6][0] = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(dag_map_hubs(0, 1, desc), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nDag cannot wr to hub 6 !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\r");
}

TEST(CacheDag, WaitTimeoutIsSharedOverHubs)
{
    memory_chips mc(1);
    bc_chip &rec = *bc_chip_rec(0, 1);
    for (int h = 0; h < 8; h++)
        rec.valid_block[h] = g_dag_hub_candidates[h][0];
    mc.dag_delay[{1, g_dag_hub_candidates[0][0]}] = 40;
    mc.dag_delay[{1, g_dag_hub_candidates[3][0]}] = 31;
    EXPECT_EQ(dag_wait_done(0, 1), 0);
    EXPECT_EQ(rec.dag_timeout, 1);
    EXPECT_EQ(rec.disabled, 1);
    EXPECT_TRUE(mc.m.logged("\r\nchain0: chip1 Dag Init Hub2 Done!!!\r\n"));
    EXPECT_FALSE(mc.m.logged("\r\nchain0: chip1 Dag Init Hub3 Done!!!\r\n"));
    EXPECT_TRUE(mc.m.resets.empty());

    memory_chips ok(1);
    for (int h = 0; h < 8; h++)
        bc_chip_rec(0, 1)->valid_block[h] = g_dag_hub_candidates[h][0];
    ok.dag_delay[{1, g_dag_hub_candidates[0][0]}] = 40;
    ok.dag_delay[{1, g_dag_hub_candidates[3][0]}] = 30;
    EXPECT_EQ(dag_wait_done(0, 1), 1);
    EXPECT_EQ(ok.m.resets, (std::vector<std::pair<uint8_t, uint8_t>>{{0x24, 0x24}}));
    EXPECT_EQ(ok.m.reg(1, 0x84001), 0u);
}

TEST(CacheDag, DisabledChipsGetNoSeedButTheBroadcastStart)
{
    memory_chips mc(3);
    bc_chip_rec(0, 2)->disabled = 1;
    EXPECT_EQ(chain_dag_prepare(0, 200), 1);
    EXPECT_EQ(mc.order_of(0x8F004), (std::vector<int>{3, 1}));
    EXPECT_TRUE(mc.chip_wrote(0, 0x86001, 1));
    EXPECT_EQ(mc.m.count_logged("chain:0,chip:2 has been disabled\n"), 2);
    EXPECT_EQ(bc_chip_rec(0, 3)->valid_block[1], 8);
}

TEST(MemBringup, GoodChainInOrder)
{
    memory_chips mc(3);
    EXPECT_EQ(dag_preparation(0, 3), 1);
    EXPECT_EQ(mc.order_of(0x84001).front(), 3);
    std::vector<int> low, high;
    for (const bc_model::op &o : mc.m.writes())
        if (o.addr == 0xD0504)
            (o.value == VCO_10G ? high : low).push_back(o.chip);
    EXPECT_EQ(low, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(high, (std::vector<int>{3, 2, 1}));
    for (int c = 1; c <= 3; c++) {
        const bc_chip &r = *bc_chip_rec(0, c);
        EXPECT_EQ(r.disabled, 0) << c;
        EXPECT_EQ(r.ddr_recfg_count, 0) << c;
        EXPECT_EQ(r.ddr_speed_index, 3) << c;
    }
    EXPECT_EQ(mc.m.spi_speeds, (std::vector<int>{3, 3, 3, 4, 4, 4}));
}

TEST(MemBringup, LowSpeedWriteFailureDisablesBeforeHighSpeed)
{
    memory_chips mc(2);
    mc.ls_write_fail[2] = {0};
    EXPECT_EQ(dag_preparation(0, 2), 1);
    const bc_chip &r = *bc_chip_rec(0, 2);
    EXPECT_EQ(r.low_speed_train_failed, 1);
    EXPECT_EQ(r.disabled, 1);
    EXPECT_FALSE(mc.chip_wrote(2, 0xD0504, VCO_10G));
    EXPECT_FALSE(mc.chip_wrote(2, 0x8F004, 200));
    EXPECT_TRUE(mc.m.logged("chain:0,chip:2 has been disabled\n"));
    EXPECT_EQ(bc_chip_rec(0, 1)->disabled, 0);
}

TEST(MemBringup, ReadTotalOfThirtyIsAccepted)
{
    memory_chips mc(1);
    mc.hs_read_fails = [](int, int attempt) { return attempt == 0 ? 30 : 0; };
    dag_preparation(0, 1);
    EXPECT_EQ(bc_chip_rec(0, 1)->ddr_recfg_count, 0);

    memory_chips again(1);
    again.hs_read_fails = [](int, int attempt) { return attempt == 0 ? 31 : 0; };
    dag_preparation(0, 1);
    const bc_chip &r = *bc_chip_rec(0, 1);
    EXPECT_EQ(r.ddr_recfg_count, 1);
    EXPECT_EQ(r.ddr_recfg_needed, 0);
    EXPECT_EQ(r.disabled, 0);
    EXPECT_TRUE(again.m.logged("chain 0, chip 1 recfg_retry_proi cnt 1\n"));
}

TEST(MemBringup, ThreeRetryRequestsDisable)
{
    memory_chips mc(1);
    mc.hs_read_fails = [](int, int) { return 31; };
    EXPECT_EQ(dag_preparation(0, 1), 1);
    const bc_chip &r = *bc_chip_rec(0, 1);
    EXPECT_EQ(r.ddr_recfg_count, 3);
    EXPECT_EQ(r.recfg_failed, 1);
    EXPECT_EQ(r.disabled, 1);
    EXPECT_EQ(r.low_speed_train_failed, 0);
    // The EDC steps still ran after the last attempt.
    std::vector<bc_model::line> l;
    for (const bc_model::line &x : mc.m.logs)
        if (x.level >= 2)
            l.push_back(x);
    EXPECT_EQ(l[l.size() - 2].text, "q37_ddr_edcfen()");
    EXPECT_EQ(l.back().text, "q37_ddr_edcfex()");
    uint32_t flags;
    memcpy(&flags, &r.cache_check_failed, sizeof flags);
    EXPECT_NE(flags, 0u);
}

TEST(MemBringup, RetryWhoseLowSpeedTrainingFails)
{
    memory_chips mc(1);
    mc.hs_read_fails = [](int, int) { return 31; };
    mc.ls_write_fail[1] = {1};  // the retry's low-speed write training
    dag_preparation(0, 1);
    const bc_chip &r = *bc_chip_rec(0, 1);
    EXPECT_EQ(r.ddr_recfg_count, 1);
    EXPECT_EQ(r.low_speed_train_failed, 1);
    EXPECT_EQ(r.recfg_failed, 0);
    EXPECT_EQ(r.disabled, 1);
}

TEST(MemBringup, AllChipsDisabledStillSucceeds)
{
    memory_chips mc(2);
    mc.ls_write_fail[1] = {0};
    mc.ls_write_fail[2] = {0};
    EXPECT_EQ(dag_preparation(0, 2), 1);
    EXPECT_EQ(bc_chip_rec(0, 1)->disabled, 1);
    EXPECT_EQ(bc_chip_rec(0, 2)->disabled, 1);
}

TEST(MemBringup, MarkedChipsArePassedOver)
{
    memory_chips mc(2);
    bc_chain_rec(0)->bist_pass_mark[2] = 1;
    dag_preparation(0, 2);
    // Only the high-speed pass's controller-configuration bit reaches it.
    for (const bc_model::op &o : mc.m.writes())
        if (o.chip == 2) {
            EXPECT_EQ(o.addr & ~0x6000u, 0xC8800u) << std::hex << o.addr;
        }
}
