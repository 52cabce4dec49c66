// PLL levels and ramps, BIST and chip queries, the bring-up voltage ramps,
// the VID search and the board-map offsets, against the emulated chains of
// this test's machine (80 chips in slots 0, 2, 5 on the FPGA hub). The
// VIDs go to the emulated regulator over the hub's UART as codes of the
// map, 8 per VID; the chips' core voltage follows the code (420 mV at code
// 0, 3/8 mV lower per code: 3 mV per VID).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "drv/hub.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "hub/kmx_vid.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_chain_internal.h"
#include "module/kmx_chain_volt_internal.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tvsensor.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/hub_tables.h"
#include "record/kmx_record.h"
#include "support/log_capture.h"
#include "support/pause_log.h"

namespace {

constexpr bool NEWER = KMX_LIB_REV >= 3;
constexpr int kLevels = 60;  // 25, 50, ... 1500 MHz
int s_freqs[kLevels];
uint8_t s_images[kLevels][12];
int s_vid_tab[32];

// Every VID sent to chain 0's regulator, in order.
std::vector<int> vids_set() {
    std::vector<int> v;
    const std::string key = "hub_set_vid_uart chain_id:0;vid:";
    for (const auto &l : log_captured()) {
        const size_t p = l.text.find(key);
        if (p != std::string::npos) v.push_back(atoi(l.text.c_str() + p + key.size()));
    }
    return v;
}

std::string controls_path(int slot) { return kos::sim_dir() + "/chips" + std::to_string(slot); }

// The chips' controls (the regulator keeps its setting apart).
void set_chips(int slot, const std::string &text) { kos::write_file_atomic(controls_path(slot).c_str(), text); }

// The VID whose code the emulated regulator last took (-1: no VID's).
int chain_vid(int slot) {
    std::string text;
    kos::read_file((kos::sim_dir() + "/regulator" + std::to_string(slot)).c_str(), text);
    const size_t v = text.find("code ");
    const int code = v == std::string::npos ? 0 : atoi(text.c_str() + v + 5);
    for (int vid = 0; vid < 32; vid++)
        if (s_vid_tab[vid] == code) return vid;
    return -1;
}

int level_of(int mhz) { return mhz / 25 - 1; }

std::string read(const char *path) {
    std::string s;
    kos::read_file(path, s);
    return s;
}

void sim_remove_tmp(const char *path) { remove(path); }

bool errlog_has(const std::string &part) { return read("/tmp/errlog").find(part) != std::string::npos; }

int count_logs(const std::string &part) {
    int n = 0;
    for (const auto &l : log_captured()) n += l.text.find(part) != std::string::npos;
    return n;
}

// Texts of the captured lines containing `part`, in order.
std::vector<std::string> logs_with(const std::string &part) {
    std::vector<std::string> v;
    for (const auto &l : log_captured())
        if (l.text.find(part) != std::string::npos) v.push_back(l.text);
    return v;
}

int index_of(const std::string &part) {
    const auto all = log_captured();
    for (size_t i = 0; i < all.size(); i++)
        if (all[i].text.find(part) != std::string::npos) return int(i);
    return -1;
}

std::vector<uint8_t> chip_image(uint8_t chain, uint8_t chip) {
    uint8_t r[12] = {};
    EXPECT_TRUE(kmx_cmd_read_register(chain, chip, r, 12));
    return std::vector<uint8_t>(r, r + 12);
}

class Bringup : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        use_fpga_hub_tables();
        for (int l = 0; l < kLevels; l++) {
            s_freqs[l] = 25 * (l + 1);
            const uint8_t img[12] = {0x80, uint8_t(s_freqs[l] >> 8), uint8_t(s_freqs[l]), uint8_t(l), 0x11, 0, 0,
                                     0, 0, 0x04, 0x22, 0x33};
            memcpy(s_images[l], img, 12);
        }
        // The regulator's codes: 8 per VID.
        for (int v = 0; v < 32; v++) s_vid_tab[v] = 8 * v;
    }
    void SetUp() override {
        g_chip_type = 0;
        g_miner_subtype = 0;
        g_chip_num = 80;
        g_chain_num = 3;
        g_vin_sync = 0;
        g_vid_type = 10;  // regulator on the hub's UART
        for (int &n : s_retry_cnt) n = 0;
        g_chain_id[0] = 0, g_chain_id[1] = 2, g_chain_id[2] = 5;
        kmx_chain_set_pllcfg(s_freqs, s_images, kLevels);
        vidmap_t m{s_vid_tab, 32};
        kmx_vidmap_init(&m);
        for (uint8_t c : {0, 2, 5}) {
            hub_set_power_en(c, 1);
            hub_set_reset(c, 1);
            hub_spi_init(c, 80);
            g_chain_alive[c] = 1;
            kos::write_file_atomic(controls_path(c).c_str(), "temp 0 60\n");
            kos::write_file_atomic((kos::sim_dir() + "/regulator" + std::to_string(c)).c_str(), "code 0\n");
            s_workpll[c] = 800;
        }
        kmx_tempctrl_init(nullptr);
        s_vin_sync_flag2 = s_vin_sync_flag3 = s_vin_sync_flag5 = s_vin_sync_flag6 = 0;
        s_vin_sync_flag7 = s_vin_sync_flag8 = s_vin_sync_flag9 = 0;
        kos::write_file_atomic("/tmp/errlog", "");
        sim_remove_tmp("/tmp/syc_err25_cnt");
        log_capture_clear();
    }
    // Power-up as detection leaves it: every chip reset and addressed.
    static void address_chips(uint8_t c) {
        uint8_t out[4] = {};
        ASSERT_TRUE(kmx_cmd_resetall(c, 0, out));
        ASSERT_EQ(kmx_cmd_bist_start(c, 0), 80);
    }
};

// ---- PLL levels ----

TEST_F(Bringup, NearestLevelNeverLeavesTheTable) {
    EXPECT_EQ(kmx_chain_pll_to_level(0), 0);
    EXPECT_EQ(kmx_chain_pll_to_level(37), 0);
    EXPECT_EQ(kmx_chain_pll_to_level(38), 1);  // past half-way
    EXPECT_EQ(kmx_chain_pll_to_level(112), 3);
    EXPECT_EQ(kmx_chain_pll_to_level(113), 4);
    EXPECT_EQ(kmx_chain_pll_to_level(1500), kLevels - 1);
    EXPECT_EQ(kmx_chain_pll_to_level(99999), kLevels - 1);
    const int half[] = {100, 200};
    kmx_chain_set_pllcfg(half, s_images, 2);
    EXPECT_EQ(kmx_chain_pll_to_level(150), 1);  // exactly half-way: the higher level
    EXPECT_EQ(kmx_chain_pll_to_level(149), 0);
    kmx_chain_set_pllcfg(half, s_images, 1);
    EXPECT_EQ(kmx_chain_pll_to_level(5000), 0);
    kmx_chain_set_pllcfg(half, s_images, 0);
    EXPECT_EQ(kmx_chain_pll_to_level(150), 0);
}

TEST_F(Bringup, LevelArithmeticOutsideTheTableIsRefusedWithoutWriting) {
    address_chips(0);
    ASSERT_TRUE(kmx_chain_set_pll(0, 0, level_of(400), true));
    const auto before = chip_image(0, 3);
    log_capture_clear();
    EXPECT_FALSE(kmx_chain_set_pll(0, 0, kLevels - 1, true));
    EXPECT_FALSE(kmx_chain_set_pll(0, 0, 0, false));
    EXPECT_FALSE(kmx_chain_set_pll__(0, 0, 10, true, 100));
    EXPECT_FALSE(kmx_chain_set_pll__(0, 0, 10, false, 11));
    EXPECT_FALSE(kmx_chain_set_pll_by_step(0, 0, 0, kLevels));
    EXPECT_FALSE(kmx_chain_set_pll_by_step(0, 0, -1, 3));
    EXPECT_FALSE(kmx_chain_set_pll_by_interval(0, 0, 0, kLevels + 5));
    EXPECT_FALSE(kmx_chain_set_pll(9, 0, 3, true));
    EXPECT_EQ(chip_image(0, 3), before);
    EXPECT_EQ(g_chains_info[0].freq, 425);
    EXPECT_EQ(count_logs("set PLL"), 0);
    EXPECT_FALSE(errlog_has("SETPLL_FAIL"));
}

// ---- one-level writes ----

TEST_F(Bringup, FiveFailedWritesRaiseError25AfterGrowingWaits) {
    address_chips(0);
    ASSERT_TRUE(kmx_chain_set_pll(0, 0, level_of(950), true));
    EXPECT_EQ(g_chains_info[0].freq, 975);
    EXPECT_EQ(logs_with("success"), std::vector<std::string>{"chain0: set PLL 975MHz success"});
    set_chips(0, "temp 0 60\npllfail 0 1000\n");
    log_capture_clear();
    const uint64_t t0 = kos::mono_ms();
    EXPECT_FALSE(kmx_chain_set_pll(0, 0, level_of(975), true));
    // 50 + 100 + 150 + 200 + 250 ms of waits on the machine's clock.
    EXPECT_GE(kos::mono_ms() - t0, 750u);
    const auto fails = logs_with("failed to set PLL");
    ASSERT_EQ(fails.size(), 5u);
    EXPECT_EQ(fails[0], "chain0: failed to set PLL 1000MHz (1)");
    EXPECT_EQ(fails[4], "chain0: failed to set PLL 1000MHz (5)");
    EXPECT_EQ(count_logs("chain0: Vmax="), 1);  // the voltage read for the log
    EXPECT_EQ(s_setpll[0], 1000);
    EXPECT_EQ(g_chains_info[0].freq, 975);
    EXPECT_TRUE(errlog_has("/1/25/SETPLL_FAIL.chain(1).chip(0).msg(1000MHz)")) << read("/tmp/errlog");
    EXPECT_EQ(chip_image(0, 1)[2], 975 & 0xFF);  // the chips kept the last level
}

TEST_F(Bringup, ParallelChainsKeepTheirOwnFailingChip) {
    address_chips(0);
    address_chips(2);
    // Chain 2's voltage read fails at chip 7 and chain 0's succeeds: chain 2's
    // error names chip 7 whatever chain 0 read in between.
    set_chips(2, "temp 0 60\npllfail 0 100\nsilent 7\n");
    set_chips(0, "temp 0 60\n");
    EXPECT_FALSE(kmx_chain_set_pll(2, 0, level_of(75), true));
    c_volt v;
    EXPECT_TRUE(kmx_chain_get_volt(0, &v));
    EXPECT_TRUE(errlog_has("/3/25/SETPLL_FAIL.chain(3).chip(7).msg(100MHz)")) << read("/tmp/errlog");
}

TEST_F(Bringup, MarkedSubtypesSetBit5OfByte9InTheWrittenCopyOnly) {
    address_chips(0);
    for (int st : {0, 63, 64, 66, 68, 69, 70}) {
        g_miner_subtype = st;
        const bool marked = (st >= 64 && st <= 68) || (NEWER && st == 69);
        ASSERT_TRUE(kmx_chain_set_pll(0, 0, level_of(300), true));
        auto img = chip_image(0, 4);
        EXPECT_EQ(img[9], marked ? 0x24 : 0x04) << st;
        img[9] = s_images[level_of(325)][9];
        // Byte 11 is the chip's good cores, its own whatever was written.
        for (int b : {0, 1, 2, 3, 4, 10}) EXPECT_EQ(img[b], s_images[level_of(325)][b]) << st << " byte " << b;
        ASSERT_TRUE(kmx_chain_set_pll__(0, 0, level_of(300), true, 4));
        EXPECT_EQ(chip_image(0, 4)[9], marked ? 0x24 : 0x04) << st;
        EXPECT_EQ(chip_image(0, 4)[2], 400 & 0xFF);
    }
    EXPECT_EQ(s_images[level_of(400)][9], 0x04);  // the table stays as installed
    EXPECT_EQ(count_logs("chain0: set PLL 400MHz success"), 7);
}

// ---- ramps ----

TEST_F(Bringup, UpwardRampChecksTemperatureOnlyAbove120MHzDownwardEveryStep) {
    address_chips(0);
    g_tmp_cfg.tmp_exp_time = 0;  // every check reads the chips
    ASSERT_TRUE(kmx_chain_set_pll(0, 0, level_of(125), false));  // at 100 MHz
    log_capture_clear();
    ASSERT_TRUE(kmx_chain_set_pll_by_step(0, 0, level_of(100), level_of(200)));
    EXPECT_EQ(count_logs("chain0: chip0 set pll 3(100MHz) -> 7(200MHz)"), 1);
    // Steps leave 100, 125, 150, 175 MHz behind: the first runs no check.
    EXPECT_EQ(count_logs("success"), 4);
    EXPECT_EQ(count_logs("chain0: Tmax="), 3);
    EXPECT_LT(index_of("set PLL 125MHz success"), index_of("Tmax="));
    EXPECT_EQ(chip_image(0, 80)[2], 200);
    log_capture_clear();
    ASSERT_TRUE(kmx_chain_set_pll_by_step(0, 0, level_of(200), level_of(100)));
    EXPECT_EQ(count_logs("success"), 4);
    EXPECT_EQ(count_logs("chain0: Tmax="), 4);
    EXPECT_EQ(g_chains_info[0].freq, 100);
    log_capture_clear();
    EXPECT_TRUE(kmx_chain_set_pll_by_step(0, 0, 5, 5));
    EXPECT_EQ(count_logs("set PLL"), 0);
}

TEST_F(Bringup, RampStopsAtTheFirstFailedWrite) {
    address_chips(0);
    set_chips(0, "temp 0 60\npllfail 0 175\n");
    EXPECT_FALSE(kmx_chain_set_pll_by_step(0, 0, level_of(100), level_of(250)));
    EXPECT_EQ(g_chains_info[0].freq, 150);
    EXPECT_EQ(s_setpll[0], 175);
    EXPECT_EQ(chip_image(0, 10)[2], 150);
}

TEST_F(Bringup, PlanBJumpsBy25MHzUpTo125ThenSteps) {
    address_chips(0);
    ASSERT_TRUE(kmx_chain_set_pll_by_interval(0, 0, 0, level_of(200)));
    // Jumps log like the ramp header (level 3), single steps at level 1.
    int header = -1, step = -1;
    for (const auto &l : log_captured()) {
        if (l.text.find("set pll") != std::string::npos) header = l.priority;
        if (l.text.find("Tmax=") != std::string::npos) step = l.priority;
    }
    std::vector<std::pair<int, std::string>> ok;
    for (const auto &l : log_captured())
        if (l.text.find("success") != std::string::npos) ok.push_back({l.priority, l.text});
    const std::vector<std::pair<int, std::string>> want = {
        {header, "chain0: set PLL 50MHz success"},  {header, "chain0: set PLL 75MHz success"},
        {header, "chain0: set PLL 100MHz success"}, {header, "chain0: set PLL 125MHz success"},
        {step, "chain0: set PLL 150MHz success"},   {step, "chain0: set PLL 175MHz success"},
        {step, "chain0: set PLL 200MHz success"}};
    EXPECT_EQ(ok, want);
    EXPECT_NE(header, step);
}

// ---- work-frequency check ----

TEST_F(Bringup, WorkFrequencyBelow600FailsAndFarFromTheMedianIsReported) {
    g_miner_subtype = 0;  // not a checked subtype
    s_workpll[0] = 100;
    EXPECT_TRUE(check_workpll_valid(0));
    g_miner_subtype = 64;
    s_workpll[0] = 599;
    EXPECT_FALSE(check_workpll_valid(0));
    EXPECT_TRUE(errlog_has("/1/52/"));
    s_workpll[0] = 600;
    s_workpll[2] = s_workpll[5] = 600;
    EXPECT_TRUE(check_workpll_valid(0));
    // Lower median of 700, 700, 950 is 700: chain 5 is 250 MHz off.
    s_workpll[0] = 700, s_workpll[2] = 700, s_workpll[5] = 950;
    EXPECT_TRUE(check_workpll_valid(5));
    EXPECT_TRUE(errlog_has("/6/53/"));
    EXPECT_TRUE(check_workpll_valid(2));
    EXPECT_FALSE(errlog_has("/3/53/"));
    // Two alive chains: the whole machine is named.
    g_chain_alive[2] = 0;
    s_workpll[5] = 1000;
    EXPECT_TRUE(check_workpll_valid(5));
    EXPECT_TRUE(errlog_has("/ff/53/")) << read("/tmp/errlog");
    // One alive chain: nothing to compare with.
    kos::write_file_atomic("/tmp/errlog", "");
    g_chain_alive[0] = 0;
    EXPECT_TRUE(check_workpll_valid(5));
    EXPECT_FALSE(errlog_has("/53/"));
    EXPECT_FALSE(check_workpll_valid(8));
}

TEST_F(Bringup, TheoryHashDoesNotOverflow) {
    EXPECT_EQ(kmx_chain_get_theory_hash(168, 1000, 64, 1000), 5376000000.0);
    g_chip_type = 6;
    EXPECT_DOUBLE_EQ(kmx_chain_get_theory_hash(2, 3, 4, 5), 60.0 * 16 / 33811);
}

// ---- BIST and chip queries ----

TEST_F(Bringup, BistStartAnsweringAChipCountFails) {
    uint8_t out[4] = {};
    ASSERT_TRUE(kmx_cmd_resetall(0, 0, out));  // ids lost, none given yet
    EXPECT_FALSE(kmx_chain_init(0, false));
    EXPECT_EQ(count_logs("chain0: BISTSTART failed"), 1);
    EXPECT_LT(index_of("chain0: BISTSTART failed"), index_of("chain0: failed in kmx_chain_init(), SHUTDOWN"));
    EXPECT_TRUE(errlog_has("/1/27/BIST_FAIL"));
    EXPECT_EQ(count_logs("BISTCOLLECT"), 0);
}

TEST_F(Bringup, BistSequenceWithMask) {
    address_chips(0);
    ASSERT_TRUE(kmx_chain_init(0, true));
    const std::vector<std::string> order = {"chain0: enable BISTMASK", "chain0: BISTSTART", "chain0: BISTCOLLECT",
                                            "chain0: BISTFIX"};
    int last = -1;
    for (const auto &s : order) {
        const int i = index_of(s);
        EXPECT_GT(i, last) << s;
        last = i;
    }
    for (uint8_t chip : {1, 40, 80}) EXPECT_EQ(chip_image(0, chip)[7] & 0x10, 0x10) << int(chip);
    EXPECT_FALSE(errlog_has("BIST_FAIL"));
    // A failed collect fails the sequence.
    set_chips(0, "temp 0 60\nfail 0b\n");
    EXPECT_FALSE(kmx_chain_init(0, false));
    EXPECT_EQ(count_logs("chain0: BISTCOLLECT failed"), 1);
}

TEST_F(Bringup, ManualChipTypesStopAfterStart) {
    address_chips(0);
    set_chips(0, "temp 0 60\nfail 0b\nfail 03\n");
    for (int type : {9, 169}) {
        g_chip_type = type;
        log_capture_clear();
        EXPECT_TRUE(kmx_chain_init(0, false)) << type;
        EXPECT_EQ(count_logs("chain0: BISTSTART"), 1);
        EXPECT_EQ(count_logs("BISTCOLLECT"), 0);
        EXPECT_EQ(count_logs("BISTFIX"), 0);
    }
}

TEST_F(Bringup, CoreCountsAndUnreadableChips) {
    address_chips(0);
    set_chips(0, "temp 0 60\ncores 0 36\ncores 7 50\n");
    g_core_num = 0;
    int cores[KMX_MAX_CHIP];
    memset(cores, 0xFF, sizeof cores);
    // A count above the chain's chips must not run past the buffer.
    ASSERT_TRUE(kmx_chain_get_chip_cores(0, 500, cores));
    EXPECT_EQ(cores[0], 36);
    EXPECT_EQ(cores[6], 50);
    EXPECT_EQ(cores[79], 36);
    EXPECT_EQ(cores[80], -1);
    EXPECT_EQ(g_core_num, 50);
    set_chips(0, "temp 0 60\ncores 0 36\nsilent 4\n");
    EXPECT_FALSE(kmx_chain_get_chip_cores(0, 80, cores));
    EXPECT_EQ(cores[3], 0);
    EXPECT_EQ(count_logs("chain0: failed to get number of cores for chip4, SHUTDOWN"), 1);
    g_chip_type = 10;  // goes on past the unreadable chip
    memset(cores, 0, sizeof cores);
    EXPECT_TRUE(kmx_chain_get_chip_cores(0, 80, cores));
    EXPECT_EQ(cores[3], 0);
    EXPECT_EQ(cores[4], 36);
}

TEST_F(Bringup, IoDriveStopsAfterFiveFailedFirstWrites) {
    address_chips(0);
    g_chip_type = 5;
    kmx_enhance_clk_io(0, 0);
    EXPECT_EQ(count_logs("enhanced all chip clk io success "), 1);
    EXPECT_EQ(count_logs("disable io driver fail !"), 0);
    set_chips(0, "temp 0 60\nfail 0d\n");
    kmx_enhance_spi_io(0, 1);
    EXPECT_EQ(count_logs("enhanced chip1 spi io failed !"), 1);
    EXPECT_EQ(count_logs("disable io driver fail !"), 0);
    log_capture_clear();
    read_ver(0, 1);  // a failed exchange logs zeros, not stack garbage
    EXPECT_EQ(count_logs("Write 0d Failed!"), 1);
    EXPECT_EQ(count_logs("readbuf[11]:0x0 "), 1);
}

// ---- VID search ----

TEST_F(Bringup, FindVidConvergesOnTheClosestVid) {
    for (int target : {360, 330, 395}) {
        log_capture_clear();
        const int vid = kmx_chain_find_vid(0, 80, 10, target);
        ASSERT_GE(vid, 0) << target;
        EXPECT_LE(std::abs(420 - 3 * vid - target), 3) << target << " -> " << vid;
        EXPECT_EQ(chain_vid(0), vid);  // the VID returned is the one left set
        for (int v : vids_set()) EXPECT_TRUE(v >= 0 && v < 32) << v;
    }
}

TEST_F(Bringup, FindVidWithinTenMillivoltsStepsOneVidAtATime) {
    // VID 10 gives 390 mV, 9 mV above the target: no jump (it would skip
    // VID 11), single steps from the neighbour on.
    const int vid = kmx_chain_find_vid(0, 80, 10, 381);
    const auto v = vids_set();
    ASSERT_GE(v.size(), 2u);
    EXPECT_EQ(v[0], 10);
    EXPECT_EQ(v[1], 11);
    EXPECT_EQ(count_logs("Chain 0 VID 11 voltage"), 1);
    EXPECT_LE(std::abs(420 - 3 * vid - 381), 3) << vid;
    // Beyond 10 mV it jumps: 390 - 330 = 60 mV is 21 VIDs, walked one by one.
    log_capture_clear();
    kmx_chain_find_vid(0, 80, 10, 330);
    EXPECT_EQ(count_logs("Chain 0 VID 11 voltage"), 0);
    EXPECT_EQ(count_logs("Chain 0 VID 31 voltage"), 1);
    EXPECT_EQ(vids_set()[1], 11);  // the jump goes through every VID
}

TEST_F(Bringup, FindVidStopsAtTheEndsOfTheMap) {
    EXPECT_EQ(kmx_chain_find_vid(0, 80, 10, 100), 31);  // beyond the highest VID
    for (int v : vids_set()) EXPECT_TRUE(v >= 0 && v < 32) << v;
    log_capture_clear();
    EXPECT_EQ(kmx_chain_find_vid(0, 80, 10, 500), 0);
    for (int v : vids_set()) EXPECT_TRUE(v >= 0 && v < 32) << v;
    EXPECT_EQ(kmx_chain_find_vid(0, 80, 70, 500), 0);  // start beyond the map
    set_chips(0, "temp 0 60\nsilent 3\n");
    EXPECT_EQ(kmx_chain_find_vid(0, 80, 10, 360), -1);
    // An empty map leaves no VID to search (the caller raises 26).
    set_chips(0, "temp 0 60\n");
    vidmap_t empty{s_vid_tab, 0};
    kmx_vidmap_init(&empty);
    log_capture_clear();
    EXPECT_EQ(kmx_chain_find_vid(0, 80, 10, 360), -1);
    EXPECT_TRUE(vids_set().empty());
}

// ---- full ramps ----

TEST_F(Bringup, PllVidRampBringsTheChainToItsWorkPoint) {
    address_chips(0);
    ASSERT_TRUE(kmx_chain_set_pll_vid(0, 900, 20, 0, 0));
    EXPECT_EQ(g_chains_info[0].freq, 900);
    EXPECT_EQ(chip_image(0, 80)[1] << 8 | chip_image(0, 80)[2], 900);
    // V0 0 -> V1 10 one VID at a time, BIST at V2 10, then on to 20.
    std::vector<int> want;
    for (int v = 1; v <= 20; v++) want.push_back(v);
    EXPECT_EQ(vids_set(), want);
    EXPECT_EQ(count_logs("chain0: set spi speed 2"), 1);
    EXPECT_EQ(count_logs("chain0: chip0 set pll 0(25MHz) -> 11(300MHz)"), 1);
    EXPECT_EQ(count_logs("chain0: chip0 set pll 17(450MHz) -> 31(800MHz)"), 1);
    EXPECT_EQ(count_logs("chain0: chip0 set pll 31(800MHz) -> 35(900MHz)"), 1);
    EXPECT_LT(index_of("chain0: BISTSTART"), index_of("-> 35(900MHz)"));
    EXPECT_EQ(count_logs("chain0: set tsadc divider"), 1);
    EXPECT_EQ(count_logs("failed"), 0);
}

TEST_F(Bringup, PllVoltRampCalibratesTheWorkVid) {
    address_chips(0);
    int vid = -5;
    ASSERT_TRUE(kmx_chain_set_pll_volt(0, 700, 360, &vid, 0, 0));
    EXPECT_LE(std::abs(420 - 3 * vid - 360), 3) << vid;
    EXPECT_EQ(chain_vid(0), vid);
    EXPECT_EQ(g_chains_info[0].freq, 700);
    EXPECT_EQ(count_logs("chain0: set core voltage to 360mV"), 1);
    EXPECT_EQ(count_logs("chain0 find_chain_vid: start_vid = 10, target_volt = 360.0"), 1);
}

TEST_F(Bringup, PllVoltFailureDumpsEveryChip) {
    address_chips(0);
    set_chips(0, "temp 0 60\npllfail 0 500\n");
    int vid = 0;
    EXPECT_FALSE(kmx_chain_set_pll_volt(0, 700, 360, &vid, 0, 0));
    EXPECT_EQ(count_logs("chain0: failed in kmx_chain_set_pll_volt()"), 1);
    const int v = index_of("[chain0 volt]"), t = index_of("[chain0 temp]");
    ASSERT_GE(v, 0);
    EXPECT_GT(t, v);
    EXPECT_EQ(count_logs("chip  1: "), 2);
    EXPECT_EQ(count_logs("chip 80: "), 2);
    EXPECT_EQ(count_logs("chip 80:   60"), 1);
}

TEST_F(Bringup, ThirdAttemptUsesPlanBAndItsFailureRaises42) {
    address_chips(0);
    s_retry_cnt[0] = 3;  // third detection attempt of this chain
    set_chips(0, "temp 0 60\npllfail 0 100\n");
    EXPECT_FALSE(kmx_chain_set_pll_vid(0, 900, 20, 0, 0));
    EXPECT_EQ(count_logs("chain0: failed to set PLL(A) for more than 2 times"), 1);
    EXPECT_TRUE(errlog_has("/1/42/SETPLL_PLANB_FAIL.chain(1).chip(0).msg(100MHz)")) << read("/tmp/errlog");
    EXPECT_EQ(count_logs("chain0: failed in kmx_chain_set_pll_vid()"), 1);
}

TEST_F(Bringup, RampValuesFollowSubtypeAndBuild) {
    g_miner_subtype = 64;
    kmx_ramp_plan p = kmx_vid_ramp_plan(0);
    EXPECT_EQ(p.f_bist, 1000);
    EXPECT_EQ(p.v1, 11);
    EXPECT_EQ(p.v2, 21);
    g_miner_subtype = 69;
    p = kmx_vid_ramp_plan(0);
    EXPECT_EQ(p.f_spi, NEWER ? 280 : 300);
    EXPECT_EQ(p.v2, NEWER ? 15 : 10);
    g_miner_subtype = 4, g_chip_type = 169;
    p = kmx_vid_ramp_plan(40);
    EXPECT_EQ(p.v0, 160);
    EXPECT_EQ(p.v2, 100);
    EXPECT_EQ(p.v1, 100);
    g_miner_subtype = 32, g_chip_type = 0;
    p = kmx_volt_ramp_plan();
    EXPECT_EQ(p.v1, 16);
    EXPECT_EQ(p.f_spi, 280);
    g_miner_subtype = 64;
    EXPECT_EQ(kmx_volt_ramp_plan().f_spi, 300);  // not grouped on the volt ramp
}

// ---- Vin-sync: one supply voltage for all chains ----

// Chains 0 and 2 ramp to 900 MHz and VID 20 in parallel, as detection runs them.
void both_chains_ramp(bool &ok0, bool &ok2) {
    g_vin_sync = 1;
    g_vsync_total_chains = 2;
    std::thread a([&] { ok0 = kmx_chain_set_pll_vid(0, 900, 20, 0, 0); });
    std::thread b([&] { ok2 = kmx_chain_set_pll_vid(2, 900, 20, 0, 0); });
    a.join();
    b.join();
}

TEST_F(Bringup, VinSyncChainsShareEachVidStepOnce) {
    address_chips(0);
    address_chips(2);
    bool ok0 = false, ok2 = false;
    both_chains_ramp(ok0, ok2);
    EXPECT_TRUE(ok0);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(count_logs("all chains: set vid 0 -> 10"), 1);
    EXPECT_EQ(count_logs("all chains: set vid 10 -> 20, g_chip_type:0"), 1);
    EXPECT_EQ(chain_vid(0), 20);  // the common output is driven through chain 0
    EXPECT_EQ(g_chains_info[0].freq, 900);
    EXPECT_EQ(g_chains_info[2].freq, 900);
    EXPECT_EQ(g_vsync_total_chains, 2);
}

// The longest run of one-second pauses that a ramp to 900 MHz asks of the
// clock: the warm-up wait, polled a second at a time.
int warm_up_seconds(uint8_t chain) {
    pause_log::start();
    EXPECT_TRUE(kmx_chain_set_pll_vid(chain, 900, 20, 0, 0));
    int run = 0, longest = 0;
    for (uint64_t us : pause_log::stop()) {
        run = us == 1000000 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// At a high work frequency under Vin-sync the chains warm up one after the
// other: the n-th to arrive waits 55 + 5 n seconds, logging the temperature
// every tenth second.
TEST_F(Bringup, VinSyncWarmUpWaitGrowsByFiveSecondsPerChain) {
    g_miner_subtype = 67;  // warm-up from 900 MHz
    g_vin_sync = 1;
    g_vsync_total_chains = 1;
    address_chips(0);
    address_chips(2);
    EXPECT_EQ(warm_up_seconds(0), 60);
    EXPECT_EQ(warm_up_seconds(2), 65);
    EXPECT_EQ(s_vin_sync_flag9, 2);
    EXPECT_EQ(count_logs("chain:0 temp:"), 6);
    EXPECT_EQ(count_logs("chain:2 temp:"), 6);
    // Below the subtype's warm-up frequency no chain waits.
    g_miner_subtype = 0;
    EXPECT_LE(warm_up_seconds(0), 1);
}

TEST_F(Bringup, VinSyncFailedCommonStepFailsEveryChain) {
    address_chips(0);
    address_chips(2);
    vidmap_t shortmap{s_vid_tab, 5};  // VID 10 is not on it: the step fails
    kmx_vidmap_init(&shortmap);
    bool ok0 = true, ok2 = true;
    both_chains_ramp(ok0, ok2);
    EXPECT_FALSE(ok0);
    EXPECT_FALSE(ok2);
    EXPECT_EQ(s_vin_sync_flag7, -1);
    EXPECT_EQ(count_logs("all chains: failed to set VID"), 2);
    EXPECT_EQ(g_vsync_total_chains, 0);  // both left the barrier
}

TEST_F(Bringup, VinSyncRampAFailuresCountAndThenUsePlanB) {
    address_chips(0);
    g_vin_sync = 1;
    g_vsync_total_chains = 1;
    char cnt[] = "/tmp/syc_err25_cnt";
    set_chips(0, "temp 0 60\npllfail 0 200\n");
    EXPECT_FALSE(kmx_chain_set_pll_vid(0, 900, 20, 0, 0));
    EXPECT_EQ(kmx_get_chain_cnt(0, cnt), 1);
    EXPECT_FALSE(errlog_has("/42/"));
    EXPECT_EQ(count_logs("set PLL 50MHz success"), 1);  // step by step
    log_capture_clear();
    g_vsync_total_chains = 1;
    EXPECT_FALSE(kmx_chain_set_pll_vid(0, 900, 20, 0, 0));
    EXPECT_EQ(kmx_get_chain_cnt(0, cnt), 2);
    EXPECT_TRUE(errlog_has("/1/42/SETPLL_PLANB_FAIL.chain(1).chip(0).msg(200MHz)")) << read("/tmp/errlog");
}

TEST_F(Bringup, SetVoltSearchesAgainForANewTargetAfterBringup) {
    g_vin_sync = 1;
    s_vin_sync_flag3 = 1;  // as the bring-up's common step leaves it
    s_work_vid = 5;
    int vid = -7;
    kmx_chain_set_volt(0, 360, &vid);
    EXPECT_EQ(count_logs("all chains: set core voltage to 360mV"), 1);
    EXPECT_LE(std::abs(420 - 3 * vid - 360), 3) << vid;
    int again = -7;
    log_capture_clear();
    kmx_chain_set_volt(2, 360, &again);  // same target: the common result
    EXPECT_EQ(again, vid);
    EXPECT_EQ(count_logs("find_chain_vid"), 0);
    kmx_chain_set_volt(0, 330, &again);
    EXPECT_EQ(count_logs("all chains: set core voltage to 330mV"), 1);
    EXPECT_LE(std::abs(420 - 3 * again - 330), 3) << again;
    g_vin_sync = 0;
    set_chips(0, "temp 0 60\nsilent 1\n");
    kmx_set_errcode(ERRCODE_NOT_PLUGGED, nullptr, true, 2, nullptr, 0);  // the machine's code before
    kmx_chain_set_volt(0, 360, &vid);
    EXPECT_EQ(vid, -1);
    EXPECT_TRUE(errlog_has("/1/26/SETVOL_FAIL.chain(1).chip().msg()\n")) << read("/tmp/errlog");
    // Raised without the overwrite flag: the machine's code stays.
    kmx_save_errcode();
    EXPECT_EQ(read("/tmp/errcode"), "21\nNOT_PLUGGED.chain(3).chip().msg()\n");
}

// ---- board-map offsets ----

TEST_F(Bringup, OffsetFileHoldsExactlyTheChainsChips) {
    for (int i = 0; i < 80; i++) adjust_temp_map[0][i] = i % 21 - 10;
    char path[] = "/tmp/adjust_map_temp0.dat";
    kmx_chain_set_temp_map_file(0, path);
    const std::string text = read(path);
    EXPECT_EQ(std::count(text.begin(), text.end(), ' '), 79);
    EXPECT_NE(text.back(), ' ');
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.substr(0, 9), "-10 -9 -8");
    memset(adjust_temp_map[0], 0, sizeof adjust_temp_map[0]);
    kmx_chain_get_temp_map_file(0, path);
    for (int i = 0; i < 80; i++) EXPECT_EQ(adjust_temp_map[0][i], i % 21 - 10) << i;
    // A file that is not ours cannot fake or hide an overheat.
    kos::write_file_atomic(path, "200 -50 7");
    kmx_chain_get_temp_map_file(0, path);
    EXPECT_EQ(adjust_temp_map[0][0], 10);
    EXPECT_EQ(adjust_temp_map[0][1], -10);
    EXPECT_EQ(adjust_temp_map[0][2], 7);
    char none[] = "/tmp/no_such_map.dat";
    kmx_chain_get_temp_map_file(0, none);
    EXPECT_EQ(count_logs("open /tmp/no_such_map.dat file failed!"), 1);
}

TEST_F(Bringup, BoardMapBandsStayInsideTheMap) {
    g_chip_num = 20;
    int temp[KMX_MAX_CHIP];
    for (int i = 0; i < 20; i++) temp[i] = 100 + i + 1;  // chip n reads 100 + n
    // 4 rows x 5 columns; chip 99 is not on this chain, 0 is an empty cell.
    int map[20] = {1, 2, 3, 4, 5,  //
                   6, 0, 8, 9, 10,  //
                   11, 12, 13, 14, 99,  //
                   16, 17, 18, 19, 20};
    kmx_chain_set_board_info(4, 5, map);
    int buf[9];
    // Row 2, column 1 (chip 12): the cell above is empty, so the band would
    // be rows 2..4; it is shifted to rows 1..3. Columns 0..2.
    int n = find_adjacent_slot_data(buf, temp, 11);
    EXPECT_EQ(std::vector<int>(buf, buf + n), (std::vector<int>{106, 108, 111, 112, 113, 116, 117, 118}));
    // Corner cell: rows 0..2, columns 0..2.
    n = find_adjacent_slot_data(buf, temp, 0);
    EXPECT_EQ(std::vector<int>(buf, buf + n), (std::vector<int>{101, 102, 103, 106, 108, 111, 112, 113}));
    // Last column of row 2 holds a foreign chip: its cells are skipped.
    n = find_adjacent_slot_data(buf, temp, 9);
    EXPECT_EQ(std::vector<int>(buf, buf + n), (std::vector<int>{103, 104, 105, 108, 109, 110, 113, 114}));
    EXPECT_EQ(find_adjacent_slot_data(buf, temp, 20), 0);
    // Fewer than three rows: the band is the map.
    int flat[3] = {1, 2, 3};
    kmx_chain_set_board_info(1, 3, flat);
    n = find_adjacent_slot_data(buf, temp, 1);
    EXPECT_EQ(std::vector<int>(buf, buf + n), (std::vector<int>{101, 102, 103}));
    kmx_chain_set_board_info(0, 0, nullptr);
}

TEST_F(Bringup, AdjustTempClampsTheOffset) {
    int adj[1] = {5};
    int buf[2] = {1, 2};
    EXPECT_EQ(get_adjust_temp(buf, 2, 0, adj, buf), 5);
    EXPECT_EQ(count_logs("no enough data for adjust temp\n"), 1);
    const struct { int d, want; } cases[] = {{10, 10}, {-10, -10}, {-11, -10}, {-30, -10}, {-31, 3},
                                             {11, 10}, {20, 10},   {21, 3}};
    for (const auto &k : cases) {
        // Readings 0, 50, 50, 50, 100: mean without the extremes is 50.
        int b[5] = {0, 50, 50, 50, 100};
        int own[1] = {50 - k.d};
        int a[1] = {3};
        get_adjust_temp(b, 5, 0, a, own);
        EXPECT_EQ(a[0], k.want) << k.d;
    }
}

TEST_F(Bringup, AdjustTempFromTheBoardMap) {
    int map[80];
    for (int i = 0; i < 80; i++) map[i] = i + 1;  // 8 rows x 10 columns
    map[79] = 0;  // chip 80 is not on the map: its offset is left alone
    kmx_chain_set_board_info(8, 10, map);
    memset(adjust_temp_map[0], 0, sizeof adjust_temp_map[0]);
    adjust_temp_map[0][79] = 4;
    set_chips(0, "temp 0 60\ntemp 15 70\n");
    EXPECT_EQ(kmx_chain_adjust_temp(0), 0);
    EXPECT_EQ(adjust_temp_map[0][14], -10);
    EXPECT_EQ(adjust_temp_map[0][13], 0);
    EXPECT_EQ(adjust_temp_map[0][79], 4);
    kmx_chain_set_board_info(0, 0, nullptr);
}

}  // namespace
