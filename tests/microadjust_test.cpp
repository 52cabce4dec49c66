// Frequency micro-adjustment against the emulated chains: the sweep of a
// lagging chip, the choice of the level kept, and the voltage phase.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "drv/hub_gpio.h"
#include "misc/kmx_board_check.h"
#include "drv/hub_spi.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_microadjust.h"
#include "module/kmx_microadjust_internal.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tvsensor.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/hub_tables.h"
#include "support/log_capture.h"

namespace {

constexpr int kLevels = 40;
int s_freqs[kLevels];
uint8_t s_regs[kLevels][12];

void install_pll_table() {
    for (int l = 0; l < kLevels; l++) {
        s_freqs[l] = 100 + 25 * l;
        // Distinct in the bytes the register check compares.
        const uint8_t r[12] = {uint8_t(0x40 | l), uint8_t(l * 3), 0x00, uint8_t((l % 8) << 4), 0, 0, 0, 0, 0, 0, 0, 0};
        memcpy(s_regs[l], r, 12);
    }
    kmx_chain_set_pllcfg(s_freqs, s_regs, kLevels);
}

// Machine time on a clock the test drives: each sleep of the test moves it
// on at once, the rounds' boundaries fall where the sleeps put them.
class Microadjust : public ::testing::Test {
protected:
    static void SetUpTestSuite() { use_fpga_hub_tables(); }
    void SetUp() override {
        clock_.emplace();
        use_one_powered_chain();
        g_vin_sync = 0;
        install_pll_table();
        g_n5chains[0] = m_chain_t{};
        kmx_tempctrl_init(nullptr);
    }
    std::optional<kos::TestClock> clock_;
};

// ---- the voltage phase ----

// The phase on a clock the test moves, with the default settings (these
// cases run before any case that configures the phase). Chain 0 runs at
// level 30; its chips read 420 mV (420 mV at VID 0), chips named by a
// "volt" control read off that by whole sensor codes: +5 / -5 mV offsets
// read 425 / 415, +6 / -6 read 426 / 414, so the chain average stays 420.
int count_of(const std::string &part) {
    int n = 0;
    for (const auto &l : log_captured()) n += l.text.find(part) != std::string::npos;
    return n;
}

uint64_t s_clock_us;
uint64_t test_clock() { return s_clock_us; }

// The phase's boundaries are checked to the millisecond: on a clock that
// only the test moves, not the phase's own protocol pauses.
class VoltPhase : public Microadjust {
protected:
    void SetUp() override {
        Microadjust::SetUp();
        clock_.reset();
        s_clock_us = 1000000000ull;
        kos::set_mono_clock(test_clock);
        kmx_microadjust_init(0, 80, 30);
        log_capture_clear();
    }
    void TearDown() override {
        kos::set_mono_clock(nullptr);
        remove(chips_file().c_str());
    }
    static std::string chips_file() { return kos::sim_dir() + "/chips0"; }
    static void offsets(const std::string &lines) {
        ASSERT_TRUE(kos::write_file_atomic(chips_file().c_str(), "temp 0 60\n" + lines));
    }
    static void advance_s(double s) { s_clock_us += uint64_t(s * 1e6); }
    static int passes() {
        int n = 0;
        for (const auto &l : log_captured()) n += l.text.rfind("cid:0 volt:", 0) == 0;
        return n;
    }
};

TEST_F(VoltPhase, StartsThreeHundredSecondsAfterItsFirstCall) {
    offsets("volt 3 5\nvolt 4 -5\n");
    kmx_adjust_volt_by_pll(0);
    EXPECT_TRUE(log_contains("chain:0 volt adjust init"));
    EXPECT_FALSE(log_has_part("volt adjust started"));
    advance_s(299.999);
    kmx_adjust_volt_by_pll(0);
    EXPECT_FALSE(log_has_part("volt adjust started"));
    EXPECT_FALSE(kmx_get_adjust_volt_status(0));
    advance_s(0.001);
    kmx_adjust_volt_by_pll(0);
    EXPECT_TRUE(log_contains("chain:0 volt adjust started"));
    EXPECT_TRUE(log_contains("chain:0 volt adjust finished"));
    EXPECT_TRUE(kmx_get_adjust_volt_status(0));
    EXPECT_EQ(count_of("volt adjust init"), 1);
    // Done: later calls do nothing.
    log_capture_clear();
    advance_s(1000);
    kmx_adjust_volt_by_pll(0);
    EXPECT_TRUE(log_captured().empty());
}

// Chips that refuse register writes cannot switch their sensors to voltage:
// the phase has no reading to balance against (not the temperature codes
// as some 600 mV), makes no pass and leaves the chips' voltages as they were.
TEST_F(VoltPhase, RefusedSensorSwitchGivesNothingToBalance) {
    offsets("volt 3 6\nvolt 4 -6\nfail 09\n");
    for (int i = 0; i < 80; i++) g_n5chains[0].chips[i].nVol = 777;
    kmx_adjust_volt_by_pll(0);
    advance_s(300);
    kmx_adjust_volt_by_pll(0);
    EXPECT_TRUE(log_contains("chain0: failed to switch the sensors to voltage mode"));
    EXPECT_EQ(passes(), 0);
    EXPECT_EQ(g_n5chains[0].chips[2].nVol, 777);
    EXPECT_EQ(g_n5chains[0].volt, KMX_NO_READING);
    EXPECT_TRUE(kmx_get_adjust_volt_status(0));
}

// Chips more than 5 mV above the average go one level up, more than 5 mV
// below one level down, each pass; none leaves the chain's level by more
// than 4. A spread of 12 mV stays above 10 mV, so all six passes run.
TEST_F(VoltPhase, StepsChipsByTheirDistanceFromTheAverageForSixPasses) {
    offsets("volt 3 6\nvolt 4 -6\nvolt 5 5\nvolt 6 -5\n");
    kmx_adjust_volt_by_pll(0);
    advance_s(300);
    kmx_adjust_volt_by_pll(0);
    EXPECT_EQ(g_n5chains[0].chips[2].nVol, 426);
    EXPECT_EQ(g_n5chains[0].chips[3].nVol, 414);
    EXPECT_EQ(g_n5chains[0].chips[4].nVol, 425);
    EXPECT_EQ(g_n5chains[0].chips[5].nVol, 415);
    EXPECT_EQ(g_n5chains[0].volt, 420);
    EXPECT_EQ(passes(), 6);
    EXPECT_TRUE(log_contains("cid:0 volt:420 -> 420, 1"));
    EXPECT_TRUE(log_contains("cid:0 volt:420 -> 420, 6"));
    EXPECT_EQ(kmx_get_npll(0, 3), 34);
    EXPECT_EQ(g_n5chains[0].chips[2].basePll, 34);
    EXPECT_EQ(kmx_get_npll(0, 4), 26);
    EXPECT_EQ(g_n5chains[0].chips[3].basePll, 26);
    EXPECT_EQ(kmx_get_npll(0, 5), 30);
    EXPECT_EQ(kmx_get_npll(0, 6), 30);
    EXPECT_EQ(kmx_get_npll(0, 7), 30);
    EXPECT_EQ(count_of("chain0: chip3 set pll"), 4);
    EXPECT_EQ(count_of("chain0: chip4 set pll"), 4);
    EXPECT_EQ(count_of("chain0: chip5 set pll"), 0);
    EXPECT_TRUE(log_contains("chain:0 volt adjust finished"));
}

// A spread of exactly 10 mV (twice the target difference) ends the phase
// after its first pass; 11 mV does not.
TEST_F(VoltPhase, ASpreadOfTwiceTheTargetEndsThePasses) {
    offsets("volt 3 5\nvolt 4 -5\n");
    kmx_adjust_volt_by_pll(0);
    advance_s(300);
    kmx_adjust_volt_by_pll(0);
    EXPECT_EQ(passes(), 1);
    EXPECT_EQ(kmx_get_npll(0, 3), 30);
    EXPECT_EQ(kmx_get_npll(0, 4), 30);

    g_n5chains[0] = m_chain_t{};
    kmx_microadjust_init(0, 80, 30);
    log_capture_clear();
    offsets("volt 3 6\nvolt 4 -5\n");
    kmx_adjust_volt_by_pll(0);
    advance_s(300);
    kmx_adjust_volt_by_pll(0);
    EXPECT_EQ(passes(), 6);
    EXPECT_EQ(kmx_get_npll(0, 3), 34);
    EXPECT_EQ(kmx_get_npll(0, 4), 30);
}

// The hash check comes 180 s after the phase, once: below 90 % of the
// tuned rate the whole chain goes one level down.
TEST_F(VoltPhase, LowHashAfterThePhaseStepsTheChainDown) {
    offsets("");
    kmx_adjust_volt_by_pll(0);
    advance_s(300);
    kmx_adjust_volt_by_pll(0);
    ASSERT_TRUE(kmx_get_adjust_volt_status(0));
    advance_s(179.999);
    kmx_after_adjust_volt(0, 1.0, 100.0);
    EXPECT_EQ(g_n5chains[0].pll, 30);
    EXPECT_FALSE(g_n5chains[0].hash_checked);
    advance_s(0.001);
    kmx_after_adjust_volt(0, 90.0, 100.0);  // 90 %: not low
    EXPECT_EQ(g_n5chains[0].pll, 30);
    EXPECT_TRUE(g_n5chains[0].hash_checked);
    EXPECT_FALSE(log_has_part("recovered form volt adjust"));

    g_n5chains[0].hash_checked = false;
    kmx_after_adjust_volt(0, 89.9, 100.0);
    EXPECT_EQ(g_n5chains[0].pll, 29);
    EXPECT_EQ(kmx_get_npll(0, 1), 29);
    EXPECT_EQ(g_n5chains[0].chips[79].basePll, 29);
    EXPECT_TRUE(log_contains("chain:0 recovered form volt adjust due to low hash"));
    uint8_t r[12] = {};
    ASSERT_TRUE(kmx_cmd_read_register(0, 80, r, 12));
    EXPECT_EQ(r[0] & 0x3F, 29);
}

TEST(MicroadjustMath, TrimmedMeanAndMedian) {
    int a[] = {7, 1, 5, 3};
    EXPECT_EQ(kmx_get_mid(a, 4), 4);
    int b[] = {7, 1, 5, 3};
    EXPECT_EQ(kmx_get_mid_val(b, 4), 3);
    int c[] = {9, 4};
    EXPECT_EQ(kmx_get_mid(c, 2), 4);
    EXPECT_EQ(kmx_get_mid(c, 0), 0);
    EXPECT_EQ(kmx_get_mid_val(c, 0), -1);
}

TEST(MicroadjustMath, KeepsTheBestLevelWithCleanNeighbours) {
    // Level 2 has more errors than nonces: it and its neighbours drop out,
    // so level 4 wins over level 3 although 3 found more.
    chip_freq_nonce_t t[5] = {{28, 10, 0}, {29, 12, 0}, {30, 20, 25}, {31, 15, 0}, {32, 14, 0}};
    EXPECT_EQ(microadjust_choose_level(t, 5), 4);
    // Without a level whose neighbours are clean, every clean level counts.
    chip_freq_nonce_t u[3] = {{28, 5, 0}, {29, 1, 2}, {30, 9, 0}};
    EXPECT_EQ(microadjust_choose_level(u, 3), 2);
    // Nothing clean: index 0.
    chip_freq_nonce_t v[3] = {{28, 1, 1}, {29, 0, 0}, {30, 3, 7}};
    EXPECT_EQ(microadjust_choose_level(v, 3), 0);
    // Equal counts: the lower index.
    chip_freq_nonce_t w[3] = {{28, 4, 0}, {29, 4, 0}, {30, 4, 0}};
    EXPECT_EQ(microadjust_choose_level(w, 3), 0);
}

TEST(MicroadjustMath, ConfigWarnsAndCaps) {
    kmx_microadjust_setconfig(600, 60, 25, 0);
    EXPECT_TRUE(log_contains("monitor_time:600 adjust_time:60 adjust_cnt:25"));
    EXPECT_TRUE(log_contains("WARNING! MONITOR_TIME <= ADJUST_TIME*(ADJUST_COUNT+2)"));
    EXPECT_TRUE(log_contains("WARNING! adjust_cnt > MAX_ADJUST_RANGE"));
    for (int i = 0; i < 8; i++) EXPECT_EQ(g_n5chains[i].chain_id, i);
}

// Rounds of 200 s, steps of 10 s, five levels around base 30.
std::vector<int> sweep_levels(int mode, int base) {
    kmx_microadjust_setconfig(200, 10, 5, mode);
    kmx_microadjust_init(0, 80, base);
    kmx_no_need_adjust_volt_by_pll(0);
    EXPECT_TRUE(kmx_get_adjust_volt_status(0));
    // Round 0: every chip but chip 3 finds nonces.
    for (int chip = 1; chip <= 80; chip++)
        for (int n = 0; n < (chip == 3 ? 1 : 20); n++) kmx_microadjust_nonce_inc(0, chip);
    kos::sleep_s(200);
    kmx_microadjust_scan(0);  // round 1: chip 3 is picked
    EXPECT_TRUE(g_n5chains[0].chips[2].adjust_en);
    EXPECT_FALSE(g_n5chains[0].chips[3].adjust_en);
    std::vector<int> seen;
    for (int step = 0; step < 6; step++) {
        const int before = kmx_get_npll(0, 3);
        kos::sleep_s(9);  // a step is due 10 s after the last, not before
        kmx_microadjust_scan(0);
        EXPECT_EQ(kmx_get_npll(0, 3), before) << "step " << step;
        kos::sleep_s(1);
        kmx_microadjust_scan(0);
        seen.push_back(kmx_get_npll(0, 3));
        // The level just set finds as many nonces as its distance from 31
        // allows: the sweep should keep 31.
        const int found = 10 - 3 * std::abs(kmx_get_npll(0, 3) - 31);
        for (int n = 0; n < found; n++) kmx_microadjust_nonce_inc(0, 3);
    }
    return seen;
}

TEST_F(Microadjust, LaggingChipSweepsAndKeepsTheBestLevel) {
    const auto seen = sweep_levels(ADJUST_DOWN_UP, 30);
    EXPECT_EQ(seen, (std::vector<int>{28, 29, 30, 31, 32, 31}));
    EXPECT_FALSE(g_n5chains[0].chips[2].adjust_en);
    EXPECT_EQ(g_n5chains[0].chips[2].b_use_cnt, 1);
    EXPECT_EQ(kmx_get_npll(0, 4), 30);  // the others stay at their base
}

TEST_F(Microadjust, SweepWindowsFollowTheModeAndTheTable) {
    EXPECT_EQ(sweep_levels(ADJUST_DOWN, 30), (std::vector<int>{26, 27, 28, 29, 30, 30}));
    g_n5chains[0] = m_chain_t{};
    const auto up = sweep_levels(ADJUST_UP, 37);  // cut at the table's top
    EXPECT_EQ(std::vector<int>(up.begin(), up.begin() + 5), (std::vector<int>{37, 38, 39, 39, 39}));
}

TEST_F(Microadjust, NothingHappensBeforeTheVoltagePhaseOrWithoutConfig) {
    kmx_microadjust_setconfig(0, 10, 5, 0);  // no monitor time: no rounds at all
    kmx_microadjust_init(0, 80, 30);
    kmx_no_need_adjust_volt_by_pll(0);
    kos::sleep_s(100);
    kmx_microadjust_scan(0);
    EXPECT_FALSE(g_n5chains[0].freq_adjust_en);
    // Counts before the chain is adjusted are not taken.
    g_n5chains[1] = m_chain_t{};
    kmx_microadjust_nonce_inc(1, 1);
    EXPECT_EQ(g_n5chains[1].chips[0].nonces_found, 0);
    kmx_microadjust_nonce_inc(0, 169);  // beyond the chain: ignored
    kmx_microadjust_nonce_inc(0, 0);
    EXPECT_EQ(kmx_set_npll(0, 0, 5), 0);
    EXPECT_EQ(kmx_get_npll(0, 200), 0);
}

TEST_F(Microadjust, RegisterMismatchRaisesItsError) {
    kmx_microadjust_setconfig(1000, 10, 5, 0);
    kmx_microadjust_init(0, 80, 30);
    // Chip 5 was never set to level 30: its register differs.
    uint8_t other[12] = {0x01, 0x02, 0, 0x70, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(kmx_cmd_write_register(0, 5, other, 12));
    check_chip_pll(0, 5);
    std::string code;
    ASSERT_TRUE(kos::read_file("/tmp/errcode", code));
    EXPECT_NE(code.find("163"), std::string::npos);
}

TEST_F(Microadjust, HashCheckStepsTheChainDownOnce) {
    kmx_microadjust_setconfig(1000, 10, 5, 0);
    kmx_microadjust_init(0, 80, 30);
    kmx_adjust_volt_config(5, 4, 6, 300, 180);
    kmx_no_need_adjust_volt_by_pll(0);  // also marks the hash as checked
    kmx_after_adjust_volt(0, 1.0, 100.0);
    EXPECT_EQ(g_n5chains[0].pll, 30);
    // As if the phase had just finished.
    g_n5chains[0].hash_checked = false;
    kmx_time(&g_n5chains[0].adjust_time);
    kmx_after_adjust_volt(0, 1.0, 100.0);  // too early after the phase
    EXPECT_EQ(g_n5chains[0].pll, 30);
    kos::sleep_s(181);
    kmx_after_adjust_volt(0, 89.0, 100.0);
    EXPECT_EQ(g_n5chains[0].pll, 29);
    EXPECT_EQ(kmx_get_npll(0, 80), 29);
    kmx_after_adjust_volt(0, 1.0, 100.0);  // once only
    EXPECT_EQ(g_n5chains[0].pll, 29);
}

// Round 1's selection: a chip is low below 0.8 x the integer average, at
// most 15 chips are marked, and a chip swept three times is left alone.
TEST_F(Microadjust, SelectionThresholdAndTheFifteenChipLimit) {
    kmx_microadjust_setconfig(200, 10, 5, ADJUST_DOWN_UP);
    kmx_microadjust_init(0, 80, 30);
    kmx_no_need_adjust_volt_by_pll(0);
    // Average (78 x 20 + 15 + 16) / 80 = 19: the bound is 15.2.
    for (int chip = 1; chip <= 80; chip++)
        for (int n = 0; n < (chip == 3 ? 15 : chip == 4 ? 16 : 20); n++) kmx_microadjust_nonce_inc(0, chip);
    g_n5chains[0].chips[2].b_use_cnt = 2;  // still allowed
    kos::sleep_s(200);
    kmx_microadjust_scan(0);
    EXPECT_TRUE(g_n5chains[0].chips[2].adjust_en);
    EXPECT_FALSE(g_n5chains[0].chips[3].adjust_en);
    EXPECT_TRUE(g_n5chains[0].freq_adjust_en);

    g_n5chains[0] = m_chain_t{};
    log_capture_clear();
    kmx_microadjust_setconfig(200, 10, 5, ADJUST_DOWN_UP);
    kmx_microadjust_init(0, 80, 30);
    kmx_no_need_adjust_volt_by_pll(0);
    // Chips 1-20 lag (average 15, bound 12); chip 2 has had its three sweeps.
    for (int chip = 1; chip <= 80; chip++)
        for (int n = 0; n < (chip <= 20 ? 1 : 20); n++) kmx_microadjust_nonce_inc(0, chip);
    g_n5chains[0].chips[1].b_use_cnt = 3;
    kos::sleep_s(200);
    kmx_microadjust_scan(0);
    std::vector<int> marked;
    for (int chip = 1; chip <= 80; chip++)
        if (g_n5chains[0].chips[chip - 1].adjust_en) marked.push_back(chip);
    EXPECT_EQ(marked, (std::vector<int>{1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_TRUE(log_contains("chain0 adjust chip count more than the limit 15"));
    EXPECT_TRUE(log_contains("chain[0] chip[16] nonce count is low:1!"));
    EXPECT_FALSE(log_contains("chain[0] chip[17] nonce count is low:1!"));
    EXPECT_FALSE(kmx_get_microadjust_status(0)) << "the fifteenth marked chip decides";
}

// A PLL step the chip refuses: error 162 for the chain, its count in the
// counter file (under Vin-sync), and no further rounds for the chain, even
// after a restart of the adjustment.
TEST_F(Microadjust, FailedPllStepRaises162AndCountsIt) {
    // The chips take an image with bit 7 of byte 0 set as a PLL setting for
    // the MHz in bytes 1-2.
    for (int l = 0; l < kLevels; l++) {
        s_regs[l][0] = uint8_t(0x80 | l);
        s_regs[l][1] = uint8_t(s_freqs[l] >> 8);
        s_regs[l][2] = uint8_t(s_freqs[l]);
    }
    kmx_chain_set_pllcfg(s_freqs, s_regs, kLevels);
    remove("/tmp/ad_err_cnt");
    remove("/tmp/errcode");
    g_vin_sync = 1;
    kmx_microadjust_setconfig(200, 10, 5, ADJUST_DOWN_UP);
    kmx_microadjust_init(0, 80, 30);
    EXPECT_EQ(g_n5chains[0].freq_adjust_error, 0);
    kmx_no_need_adjust_volt_by_pll(0);
    for (int chip = 1; chip <= 80; chip++)
        for (int n = 0; n < (chip == 3 ? 1 : 20); n++) kmx_microadjust_nonce_inc(0, chip);
    // Chip 3 no longer locks at 700 MHz or above (levels 24 and up).
    ASSERT_TRUE(kos::write_file_atomic((kos::sim_dir() + "/chips0").c_str(), "pllfail 3 700\n"));
    kos::sleep_s(200);
    kmx_microadjust_scan(0);
    ASSERT_TRUE(g_n5chains[0].chips[2].adjust_en);
    kos::sleep_s(11);
    kmx_microadjust_scan(0);  // the step to level 28 fails
    remove((kos::sim_dir() + "/chips0").c_str());
    EXPECT_EQ(g_n5chains[0].freq_adjust_error, 1);
    EXPECT_TRUE(g_n5chains[0].freq_adjust_terminated);
    EXPECT_FALSE(g_n5chains[0].freq_adjust_en);
    EXPECT_EQ(g_n5chains[0].chips[2].freq_adjust_cnt, 0) << "the step ends before its bookkeeping";
    // Raised with overwrite over round 1's register error 163, logged at once.
    std::string log;
    ASSERT_TRUE(kos::read_file("/tmp/errlog", log));
    EXPECT_NE(log.find("/1/162/FREQ_ADJUST_ERR.chain(1).chip().msg()"), std::string::npos) << log;
    kmx_save_errcode();
    std::string code;
    ASSERT_TRUE(kos::read_file("/tmp/errcode", code));
    EXPECT_EQ(code.rfind("162\n", 0), 0u) << code;
    char path[] = "/tmp/ad_err_cnt";
    EXPECT_EQ(kmx_get_chain_cnt(0, path), 1);
    // The chain's rounds are over: no selection in round 3.
    kos::sleep_s(400);
    kmx_microadjust_scan(0);
    EXPECT_FALSE(g_n5chains[0].freq_adjust_en);
    // A restart under Vin-sync takes the count from the file and never
    // starts rounds; without Vin-sync the file is not looked at.
    g_n5chains[0] = m_chain_t{};
    kmx_microadjust_init(0, 80, 30);
    EXPECT_EQ(g_n5chains[0].freq_adjust_error, 1);
    g_vin_sync = 0;
    g_n5chains[0] = m_chain_t{};
    kmx_microadjust_init(0, 80, 30);
    EXPECT_EQ(g_n5chains[0].freq_adjust_error, 0);
    remove("/tmp/ad_err_cnt");
}

}  // namespace
