// DDR register spaces and timing sets, PHY PLL lists, step routines and
// trainings, traced through the chip model.
#include <gtest/gtest.h>

#include "bc_chip_model.h"
#include "module/ddr_ctrl.h"
#include "module/ddr_phy.h"
#include "module/ddr_steps.h"
#include "module/ddr_training.h"
#include "module/phy_pll.h"


namespace {

std::vector<uint32_t> mr_words(const bc_model &m, uint32_t ch_filter = 0xFFFFFFFF)
{
    std::vector<uint32_t> w;
    for (const bc_model::op &o : m.writes())
        if ((o.addr & ~0x6000u) == 0xC880B && (ch_filter == 0xFFFFFFFF || (o.addr & 0x6000) == ch_filter))
            w.push_back(o.value & 0xFFFF);
    return w;
}

int reads_of(const bc_model &m, uint32_t addr)
{
    int n = 0;
    for (const bc_model::op &o : m.ops)
        n += o.kind == 'R' && o.addr == addr;
    return n;
}

// Training status and check words of a chip that trains well unless told.
struct trainer {
    bc_model &m;
    bool done = true;
    std::map<uint32_t, int> read_fails;  // channel -> failed read cycles
    std::map<uint32_t, int> checks;
    explicit trainer(bc_model &model) : m(model)
    {
        m.on_read = [this](int chip, uint32_t a) -> std::optional<uint32_t> {
            const uint32_t ch = a & 0x6000, r = a & ~0x6000u;
            if (r >= 0xD8030 && r <= 0xD8034)
                return done ? 3u : 0u;
            if (r == 0xD8035)
                return 1u;
            if (r == 0xD827F) {
                const bool read_mode = m.reg(chip, 0xD802A | ch) >> 10 & 1;
                if (!read_mode)
                    return 0x03FF01FFu;
                int n = checks[ch]++;
                return n % 31 < read_fails[ch] ? 0u : 0x03FF03FFu;
            }
            if (r == 0xD817F || r == 0xD837F || r == 0xD847F) {
                const bool read_mode = m.reg(chip, 0xD802A | ch) >> 10 & 1;
                return read_mode ? 0x03FF03FFu : 0x03FF01FFu;
            }
            return std::nullopt;
        };
    }
};

}  // namespace

TEST(DdrTiming, SetSelection)
{
    ddr_timing_select(5);
    EXPECT_EQ(g_ddr_timing.ctl_1h, 38);
    EXPECT_EQ(g_ddr_timing.lat_l, 66);
    for (int i : {1, 7, 8, 0}) {
        ddr_timing_select(3);
        ddr_timing_select(i);
        EXPECT_EQ(memcmp(&g_ddr_timing, &g_ddr_timing_default, sizeof g_ddr_timing), 0) << i;
    }
    ddr_timing_select(6);
    EXPECT_EQ(g_ddr_timing.ctl_29c, 108);
}

TEST(DdrTiming, ModeRegisterWords)
{
    ddr_timing_select(3);
    EXPECT_EQ(ddr_mr0(g_ddr_timing), 0x0075);
    EXPECT_EQ(ddr_mr4(g_ddr_timing), 0x41C5);
    EXPECT_EQ(ddr_mr8(g_ddr_timing), 0x861A);
    ddr_timing_select(1);
    EXPECT_EQ(ddr_mr0(g_ddr_timing), 0x0425);
    EXPECT_EQ(ddr_mr4(g_ddr_timing), 0x4135);
    EXPECT_EQ(ddr_mr8(g_ddr_timing), 0x841A);
}

TEST(DdrRegs, ChannelAddresses)
{
    bc_model m;
    ddr_phy_read(0, 1, DDR_CH_CD, 0x35);
    ddr_ctl_read_c2(0, 1, DDR_CH_CD, 0x1F);
    ASSERT_EQ(m.ops.size(), 2u);
    EXPECT_EQ(m.ops[0].addr, 0xDA035u);
    EXPECT_EQ(m.ops[1].addr, 0xCB01Fu);
}

TEST(DdrRegs, ModeRegisterCommandIsPulsed)
{
    bc_model m;
    gddr_mode_register_write(0, 1, DDR_CH_EF, 0x140C);
    auto w = m.writes();
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].addr, 0xCC80Bu);
    EXPECT_EQ(w[0].value, 0x140Cu);
    EXPECT_EQ(w[1].addr, 0xCC801u);
    EXPECT_EQ(w[1].value, 1u << 20);
    EXPECT_EQ(w[2].value, 0u);
}

TEST(DdrRegs, ResetModeRegistersIssuesCurrentSet)
{
    bc_model m;
    trainer t(m);
    ddr_timing_select(3);
    gddr_reset_mode_registers(0, 1, DDR_CH_GH);
    EXPECT_EQ(mr_words(m), (std::vector<uint32_t>{0x0075, 0x41C5, 0x861A}));
    // The channel's two memory reset registers are toggled.
    auto w = m.writes_to(0x8C601);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].value, 0u);
    EXPECT_EQ(w[1].value, 0x100u);
}

TEST(DdrRegs, InitLanesWaitsAreBounded)
{
    bc_model m;
    gddr_init_lanes(0, 1, DDR_CH_AB);
    EXPECT_EQ(reads_of(m, 0xC801F), 255);
    EXPECT_EQ(reads_of(m, 0xC901F), 255);
    EXPECT_EQ(mr_words(m), (std::vector<uint32_t>{0x140C, 0x67B3, 0x6FB3, 0x9787, 0x9F87}));
}

TEST(DdrRegs, InitControllerProgramsDefaultSetNotCurrent)
{
    bc_model m;
    trainer t(m);
    ddr_timing_select(3);
    gddr_init_controller(0, 1, DDR_CH_AB);
    EXPECT_EQ(m.reg(1, 0xC8801) >> 24, 13u);  // ctl_1h of the default set
    EXPECT_EQ(m.reg(1, 0xD802B) & 0xFFF, 8u);  // lat_l - 3
    EXPECT_EQ(m.reg(1, 0xD8004) >> 25 & 0x1F, 4u);  // (phy_lat_a - 1) / 2
    EXPECT_EQ(m.reg(1, 0xC880F) >> 16, 0x5000u);
}

TEST(PhyPll, TenGigabit)
{
    bc_model m;
    int polls = 0;
    m.on_read = [&](int, uint32_t a) -> std::optional<uint32_t> {
        if ((a & ~0x6000u) == 0xD8035)
            return ++polls > 8 ? (a == 0xD8035 ? 3u : 2u) : 0u;
        return std::nullopt;
    };
    bc_chip_rec(0, 1)->ddr_speed_index = 3;
    EXPECT_EQ(config_phy_pll_by_speed(0, 1), 1);
    EXPECT_EQ(m.reg(1, 0xD0504), 0x20019281u);
    EXPECT_EQ(m.reg(1, 0xD0501), 0x1028182u);
    EXPECT_EQ(m.spi_speeds, std::vector<int>{4});
    EXPECT_TRUE(m.logged("ddr pll locked\n"));
    EXPECT_TRUE(m.logged("\r\nchain0: chip1 config_phy_pll_10G()\n"));
    // The core PLL moved to the 850 MHz row.
    ASSERT_EQ(m.cfg_writes.size(), 1u);
    EXPECT_EQ(m.cfg_writes[0][1], 85);
}

TEST(PhyPll, FailedLockChangesNothingElse)
{
    bc_model m;
    bc_chip_rec(0, 1)->ddr_speed_index = 2;
    EXPECT_EQ(config_phy_pll_by_speed(0, 1), 0);
    EXPECT_EQ(reads_of(m, 0xDE035), 200);
    EXPECT_EQ(m.spi_speeds, std::vector<int>{4});
    EXPECT_EQ(m.writes_to(0xD0528).size(), 2u);  // bit 23 low, then high
}

TEST(PhyPll, HighIndexesKeepSpiSpeed)
{
    bc_model m;
    bc_chip_rec(0, 1)->ddr_speed_index = 7;
    config_phy_pll_by_speed(0, 1);
    EXPECT_TRUE(m.spi_speeds.empty());
    EXPECT_EQ(m.reg(1, 0xD0502), 0x3FFFFFFFu);
    EXPECT_EQ(m.reg(1, 0xD0500) & 0xFFF, 150u);
    EXPECT_EQ(m.reg(1, 0xD0500) >> 24 & 3, 2u);
    for (int idx : {0, 9}) {
        m.clear_trace();
        bc_chip_rec(0, 1)->ddr_speed_index = idx;
        EXPECT_EQ(config_phy_pll_by_speed(0, 1), 0);
        EXPECT_TRUE(m.ops.empty());
        EXPECT_TRUE(m.cfg_writes.empty());
    }
}

TEST(PhyPll, ThreeGigabitLockNeedsEveryLowByte)
{
    bc_model m;
    m.on_read = [](int, uint32_t a) -> std::optional<uint32_t> {
        if (a == 0xD8035)
            return 0x100u;
        return 1u;
    };
    EXPECT_EQ(ddr_pll_lock_3g(0, 1, 100), 0);
    EXPECT_TRUE(m.logged("ddr pll unlock\n"));
    EXPECT_EQ(reads_of(m, 0xD8035), 100);
}

TEST(PhyPll, CoreBistClock)
{
    bc_model m;
    config_phy_pll_187p5M(0, 0);
    std::vector<bc_model::op> want = {
        {'W', 0, 0xD0500, 0x4281096}, {'W', 0, 0xD0501, 0x1028182}, {'W', 0, 0xD0503, 0xC16},
        {'W', 0, 0xD0504, 0x2801E381}, {'W', 0, 0xD0504, 0x2001E381}, {'W', 0, 0xD0505, 0x7C0},
    };
    EXPECT_EQ(m.writes(), want);
    EXPECT_TRUE(m.cfg_writes.empty());
}

TEST(DdrSteps, Vref2OrderWordByWord)
{
    bc_model m;
    q37_ddr_vref_2(0, 1);
    std::vector<uint32_t> want;
    for (uint32_t w : {0x67B3, 0x6FB3, 0x6582, 0x6D82})
        for (int i = 0; i < 4; i++)
            want.push_back(w);
    EXPECT_EQ(mr_words(m), want);
    EXPECT_EQ(mr_words(m, DDR_CH_GH), (std::vector<uint32_t>{0x67B3, 0x6FB3, 0x6582, 0x6D82}));
    EXPECT_TRUE(m.logged("chain0: chip1 q37_ddr_vref_2()\n"));
}

TEST(DdrSteps, Wck2ckTimeoutsStillSucceed)
{
    bc_model m;
    EXPECT_EQ(q37_ddr_train_c(0, 2), 1);
    for (const char *side : {"AB", "CD", "EF", "GH"})
        EXPECT_TRUE(m.logged(std::string("chain0: chip2 DDR ") + side + " Side wck2ck training fail! \n"));
    // A timed-out training leaves its start bit set.
    EXPECT_EQ(m.reg(2, 0xD8004) & 1, 1u);
}

TEST(DdrSteps, EdcLogsNameOnly)
{
    bc_model m;
    q37_ddr_edcfen(0, 1);
    EXPECT_TRUE(m.logged("q37_ddr_edcfen()"));
    // Enable sets bit 29 on ten registers per lane group, exit clears eleven.
    int set = 0;
    for (const bc_model::op &o : m.writes())
        set += (o.value >> 29 & 1) && (o.addr & 0xFF) != 0x47;
    EXPECT_EQ(set, 4 * 4 * 10);
    m.clear_trace();
    q37_ddr_edcfex(0, 1);
    EXPECT_EQ(m.writes().size(), 4u * 4 * 11);
}

TEST(DdrTraining, ReadChecksSumOverChannels)
{
    bc_model m;
    trainer t(m);
    g_read_train_total = 0;
    q37_ddr_train_r(0, 1);
    EXPECT_EQ(g_read_train_total, 0u);

    t.read_fails = {{DDR_CH_AB, 15}, {DDR_CH_GH, 16}};
    t.checks.clear();
    m.clear_trace();
    g_read_train_total = 0;
    EXPECT_EQ(q37_ddr_train_r(0, 1), 31);
    for (const bc_model::line &l : m.logs)
        EXPECT_EQ(l.text.find("Side Read training fail"), std::string::npos);
    EXPECT_TRUE(m.logged("chain0: chip1 [GDDRN]: Check result = 0x10, 0x1f\r\n"));

    t.read_fails = {{DDR_CH_CD, 31}};
    t.checks.clear();
    m.clear_trace();
    g_read_train_total = 0;
    EXPECT_EQ(gddr_read_train(0, 1, DDR_CH_CD), 31u);
    EXPECT_TRUE(m.logged("chain0: chip1 DDR CD Side Read training fail!\r\n"));
}

TEST(DdrTraining, ReadChecksRunWithoutDoneBits)
{
    bc_model m;
    trainer t(m);
    t.done = false;
    g_read_train_total = 0;
    gddr_read_train(0, 1, DDR_CH_AB);
    EXPECT_TRUE(m.logged("chain0: chip1 [GDDRN]:Read Train timeout.\r\n"));
    EXPECT_EQ(reads_of(m, 0xD8033), 15);
    EXPECT_EQ(reads_of(m, 0xD847F), 31);
    EXPECT_EQ(g_read_train_total, 0u);
}

TEST(DdrTraining, WriteCheckPattern)
{
    bc_model m;
    trainer t(m);
    g_write_train_total = 0;
    EXPECT_EQ(gddr_write_train(0, 1, DDR_CH_EF), 0u);
    // The read pattern is wrong for the write check.
    m.on_read = [](int, uint32_t a) -> std::optional<uint32_t> {
        if ((a & 0xFF) == 0x7F)
            return 0x03FF03FFu;
        return 3u;
    };
    m.clear_trace();
    EXPECT_EQ(gddr_write_train(0, 1, DDR_CH_EF), 31u);
    EXPECT_TRUE(m.logged("chain0: chip1 DDR EF Side Write training fail!\r\n"));
    EXPECT_TRUE(m.logged("chain0: chip1 [GDDRN]: Check result = 0x1f  0x1f\r\n"));
}
