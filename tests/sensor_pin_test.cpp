// Sensors, temperature policy and fan control held at the values the chips,
// the hub and the fans see: divider values, the mode-switch writes, grouped
// and chip type 3 reads, the hub's summary, the read interval, the preheat
// wait, error 33, the PI step at saturation, the overheat hysteresis and the
// hub's fan-enable bits. Emulated chains: 80 chips in slots 0, 2 and 5,
// slot 5's of chip type 3.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "drv/hub.h"
#include "drv/hub_cmd.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_fan_internal.h"
#include "module/kmx_microadjust.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tempctrl_internal.h"
#include "module/kmx_tvsensor.h"
#include "module/kmx_tvsensor_internal.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "record/kmx_record.h"
#include "support/hub_tables.h"
#include "support/log_capture.h"
#include "support/pause_log.h"

namespace {

void set_chips(int slot, const std::string &text) {
    kos::write_file_atomic((kos::sim_dir() + "/chips" + std::to_string(slot)).c_str(), text);
}

int count_lines_with(const std::string &part) {
    int n = 0;
    for (const LogLine &l : log_captured())
        if (l.text.find(part) != std::string::npos) n++;
    return n;
}

// Register writes as the chips receive them (the real command underneath).
struct Write {
    uint8_t chip;
    std::array<uint8_t, 12> img;
};
std::vector<Write> s_writes;
// Set: after the first refused write the chips take writes again.
bool s_heal_after_refusal = false;
bool record_write(uint8_t chain, uint8_t chip, uint8_t *reg, int len) {
    Write w{chip, {}};
    memcpy(w.img.data(), reg, 12);
    s_writes.push_back(w);
    const bool ok = hub_cmd_write_register(chain, chip, reg, len);
    if (!ok && s_heal_after_refusal) {
        s_heal_after_refusal = false;
        set_chips(chain, "temp 0 60\n");
    }
    return ok;
}


// A clock the test moves by hand.
uint64_t s_test_now_us = 0;
uint64_t test_now() { return s_test_now_us; }

class SensorPin : public ::testing::Test {
protected:
    static void SetUpTestSuite() { use_fpga_hub_tables(); }
    void SetUp() override {
        g_chip_type = 0;
        g_miner_subtype = 0;
        g_chip_num = 80;
        g_chain_num = 3;
        g_chain_id[0] = 0, g_chain_id[1] = 2, g_chain_id[2] = 5;
        g_detect_over = false;
        g_tuning_over = false;
        g_vid_type = 0;
        for (uint8_t c : {0, 2, 5}) {
            hub_set_power_en(c, 1);
            hub_set_reset(c, 1);
            hub_spi_init(c, 80);
            uint8_t in[2] = {0, 0}, out[4];
            ASSERT_TRUE(hub_cmd_reset(c, 0, in, out));
            g_chain_alive[c] = 1;
            set_chips(c, "temp 0 60\n");
        }
        kmx_tempctrl_init(nullptr);
        kmx_fanctrl_init(nullptr);
        remove("/tmp/errcode");
        log_capture_clear();
        s_writes.clear();
        s_heal_after_refusal = false;
        KMX_CMD_T ops{};
        ops.cmd_write_register = record_write;
        register_kmx_cmd(&ops);
    }
    void TearDown() override {
        KMX_CMD_T ops{};
        ops.cmd_write_register = hub_cmd_write_register;
        register_kmx_cmd(&ops);
    }
};

// ---- sensors -------------------------------------------------------------------

TEST_F(SensorPin, DividerValuesByChipAndSubtype) {
    struct Case {
        int type, subtype;
        unsigned pll;
        int d;
    };
    const Case cases[] = {
        // chip types 0 and 5, other subtypes: 1600 expected, 1300..1950
        {0, 0, 600, 12}, {0, 0, 126, 3} /* 1968 too fast, 1312 fits */, {0, 0, 78, 2}, {0, 0, 63, 1},
        {0, 0, 10, 1} /* 0 becomes 1 */,
        // subtype 32: 2000, 1900..2100
        {0, 32, 600, 9}, {0, 32, 669, 10},
        // subtypes 64..68: 2600, 2500..2700
        {0, 64, 600, 7}, {0, 68, 120, 1},
        // other chip types: 900, 650..1000; the divider is kept modulo 256
        {3, 0, 65, 3}, {3, 0, 160, 6}, {3, 0, 8000, 22}};
    for (const Case &k : cases) {
        g_chip_type = k.type;
        g_miner_subtype = k.subtype;
        kmx_cfg_tsadc_divider(0, 1, k.pll);
        EXPECT_EQ(reg0d_n5[0][5], k.d) << k.type << "/" << k.subtype << " at " << k.pll;
    }
    // Subtypes 64..68 clear bit 7 of byte 2 in the row; others keep it.
    EXPECT_EQ(reg0d_n5[0][2], 0x20);
    reg0d_n5[2][2] = 0xA0;
    g_chip_type = 0;
    g_miner_subtype = 0;
    kmx_cfg_tsadc_divider(2, 1, 600);
    EXPECT_EQ(reg0d_n5[2][2], 0xA0);
    // reset_tsadc says whether the divider changed.
    kmx_cfg_tsadc_divider(2, 1, 600);
    EXPECT_EQ(reset_tsadc[2], 0);
    kmx_cfg_tsadc_divider(2, 1, 126);
    EXPECT_EQ(reset_tsadc[2], 1);
    EXPECT_TRUE(log_has_part("Write t/v sensor Value Success!"));
    // The chip holds the row as sent.
    uint8_t back[12] = {}, img[12];
    memcpy(img, reg0d_n5[2], 12);
    ASSERT_TRUE(kmx_cmd_read_write_reg0d(2, 1, img, 12, back));
    EXPECT_EQ(back[5], 3);
    // Chip type 5 takes the chip's reply as its row.
    g_chip_type = 5;
    memset(reg0d[0], 0, 12);
    reg0d[0][5] = 0x3E;
    kmx_cfg_tsadc_divider(0, 1, 600);
    EXPECT_EQ(reg0d[0][5], 12);
    // No chip answers on slot 1: the failure line.
    kmx_cfg_tsadc_divider(1, 1, 600);
    EXPECT_TRUE(log_has_part("Write t/v sensor Value Failed!"));
}

// The seven writes of a whole-chain switch, each from the image first read.
TEST_F(SensorPin, ModeSwitchWriteSequence) {
    uint8_t r[12];
    ASSERT_TRUE(hub_cmd_read_register(0, 1, r, 12));
    for (bool temp : {false, true}) {
        for (int subtype : {0, 65}) {
            // Bit 7 of byte 7 set as the switch begins: its first step clears it.
            uint8_t set7[12];
            memcpy(set7, r, 12);
            set7[7] |= 0x80;
            ASSERT_TRUE(hub_cmd_write_register(0, 0, set7, 12));
            s_writes.clear();
            g_miner_subtype = subtype;
            pause_log::start();
            const bool switched = kmx_configure_tvsensor(0, 0, temp);
            const std::vector<uint64_t> pauses = pause_log::stop();
            ASSERT_TRUE(switched);
            // 200 us after each of the seven writes, 1 ms more after the last.
            EXPECT_EQ(pauses, std::vector<uint64_t>({200, 200, 200, 200, 200, 200, 200, 1000}));
            uint8_t base[12];
            ASSERT_TRUE(hub_cmd_read_register(0, 1, base, 12));
            ASSERT_EQ(s_writes.size(), 7u);
            uint8_t R[12];
            memcpy(R, s_writes[0].img.data(), 12);
            if (subtype == 65)
                EXPECT_EQ(R[9] & 0x20, 0);
            else
                EXPECT_EQ(R[9] & 0x20, 0x20);
            std::array<uint8_t, 12> w;
            memcpy(w.data(), R, 12);
            const std::array<std::pair<int, uint8_t>, 6> steps = {{
                {7, uint8_t(R[7] & 0x7F)},
                {7, uint8_t(R[7] | 0x80)},
                {6, uint8_t(R[6] | 0x04)},
                {7, uint8_t(R[7] | 0x20)},
                {5, uint8_t(temp ? (R[5] & 0xFC) : ((R[5] & 0xFC) | 0x01))},
                {6, uint8_t((R[6] & 0x79) | (temp ? 0x04 : 0x06))},
            }};
            for (size_t i = 0; i < steps.size(); i++) {
                w[size_t(steps[i].first)] = steps[i].second;
                EXPECT_EQ(s_writes[i + 1].img, w) << "write " << i + 2 << (temp ? " temp" : " volt");
                EXPECT_EQ(s_writes[i + 1].chip, 0);
            }
            // The chips now measure what was asked: byte 5's low bits.
            EXPECT_EQ(base[5] & 0x3, temp ? 0 : 1);
            EXPECT_EQ(R[7] & 0x80, 0x80);
        }
    }
}

// Once detection and tuning are over the switch goes chip by chip, without
// waits, and byte 9 is left as read except for subtypes 64..68.
TEST_F(SensorPin, ModeSwitchChipByChipAfterTuning) {
    g_detect_over = true;
    g_tuning_over = true;
    g_chip_num = 3;
    uint8_t r[12];
    ASSERT_TRUE(hub_cmd_read_register(0, 2, r, 12));
    ASSERT_TRUE(kmx_configure_tvsensor(0, 0, false));
    ASSERT_EQ(s_writes.size(), 21u);
    for (int chip = 1; chip <= 3; chip++)
        for (int i = 0; i < 7; i++) EXPECT_EQ(s_writes[size_t((chip - 1) * 7 + i)].chip, chip);
    EXPECT_EQ(s_writes[7].img[9], r[9]);  // chip 2's first write: byte 9 as read
    // Not yet tuned: one broadcast.
    s_writes.clear();
    g_tuning_over = false;
    ASSERT_TRUE(kmx_configure_tvsensor(0, 0, true));
    EXPECT_EQ(s_writes.size(), 7u);
    EXPECT_EQ(s_writes[0].chip, 0);
    // A chain with no chips fails at the read with its line.
    EXPECT_FALSE(kmx_configure_tvsensor(1, 0, true));
    EXPECT_TRUE(log_has_part("failed to read register, kmx_tvsensor "));
}

// Chips that refuse register writes keep their sensors on temperature: the
// chain's voltage read fails, with the whole chain (chip 0) as the failing
// one, instead of taking the temperature codes (60 C) for some 600 mV; the
// switch back to temperature is tried all the same.
TEST_F(SensorPin, RefusedSwitchToVoltageIsNoReading) {
    // A chip that fails its voltage read after a good switch: no reading,
    // the chip named, and the sensors go back to temperature (seven writes
    // each way).
    set_chips(0, "temp 0 60\nsilent 9\n");
    c_volt stat{};
    int mv[168] = {};
    EXPECT_FALSE(kmx_get_eva_voltages(0, 80, &stat, mv));
    EXPECT_EQ(stat.vol_avg, float(KMX_NO_READING));
    EXPECT_EQ(s_writes.size(), 14u);
    EXPECT_EQ(kmx_err_chip_of_chain(0), 9);

    set_chips(0, "temp 0 60\nfail 09\n");
    s_writes.clear();
    g_chains_info[0].vol = 1234;
    c_volt v{};
    v.vol_lo = v.vol_hi = -1;
    v.vol_avg = -1;
    EXPECT_FALSE(kmx_chain_get_volt(0, &v));
    EXPECT_EQ(v.vol_hi, -1);
    EXPECT_EQ(v.vol_avg, -1.0f);
    EXPECT_EQ(g_chains_info[0].vol, 1234);
    EXPECT_EQ(kmx_err_chip_of_chain(0), 0);
    EXPECT_TRUE(log_contains("chain0: failed to switch the sensors to voltage mode"));
    EXPECT_FALSE(log_has_part("chain0: Vmax="));
    ASSERT_EQ(s_writes.size(), 2u);  // the first write of each switch, refused

    // The micro-adjustment's measurement: no reading, never the codes.
    stat = c_volt{};
    EXPECT_FALSE(kmx_get_eva_voltages(0, 80, &stat, mv));
    EXPECT_EQ(stat.vol_lo, KMX_NO_READING);
    EXPECT_EQ(stat.vol_hi, KMX_NO_READING);
    EXPECT_EQ(stat.vol_avg, float(KMX_NO_READING));
    EXPECT_EQ(s_writes.size(), 4u);

    // Sensors on voltage when a switch is refused, after which the chips
    // take writes again: the read fails, the sensors end on temperature.
    set_chips(0, "temp 0 60\n");
    ASSERT_TRUE(kmx_configure_tvsensor(0, 0, false));
    set_chips(0, "temp 0 60\nfail 09\n");
    s_writes.clear();
    s_heal_after_refusal = true;
    EXPECT_FALSE(kmx_chain_get_volt(0, &v));
    EXPECT_EQ(s_writes.size(), 8u);
    uint8_t r[12];
    ASSERT_TRUE(hub_cmd_read_register(0, 1, r, 12));
    EXPECT_EQ(r[5] & 0x3, 0);

    // Writes taken: the chips' own voltage (420 mV at VID 0, 420 as its code
    // converts), stored.
    ASSERT_TRUE(kmx_chain_get_volt(0, &v));
    EXPECT_EQ(v.vol_avg, 420.0f);
    EXPECT_EQ(g_chains_info[0].vol, 420);
    stat = c_volt{};
    EXPECT_TRUE(kmx_get_eva_voltages(0, 80, &stat, mv));
    EXPECT_EQ(stat.vol_hi, 420);
    EXPECT_EQ(mv[79], 420);
}

// Chip type 3 reads its temperature through register 0x0d.
TEST_F(SensorPin, ChipType3ReadsThroughRegister0d) {
    g_chip_type = 3;
    g_chip_num = 4;
    set_chips(5, "raw 0 500\nraw 3 560\n");  // the board in slot 5 has chips of type 3
    int t[168] = {};
    EXPECT_EQ(kmx_get_chip_temp(5, t), 0);
    EXPECT_EQ(t[0], 63);  // (594 - 500) * 2 / 3 + 0.5
    EXPECT_EQ(t[2], 23);  // (594 - 560) * 2 / 3 + 0.5
    // The grouped read of chip type 3 reads every chip.
    std::fill(t, t + 4, -1);
    EXPECT_EQ(kmx_get_chip_temp_by_group(5, t, 4, false), 0);
    EXPECT_EQ(t[1], 63);
    EXPECT_EQ(t[3], 63);
    // A silent chip: 9999 for it, its number back, the failure line.
    set_chips(5, "raw 0 500\nsilent 2\n");
    EXPECT_EQ(kmx_get_chip_temp(5, t), 2);
    EXPECT_EQ(t[1], 9999);
    EXPECT_TRUE(log_contains("failed to read temperature for chain5 chip2"));
}

TEST_F(SensorPin, GroupedReadRotatesAndClamps) {
    g_chip_num = 6;
    s_tmp_read_group[0] = 0;
    set_chips(0, "temp 0 40\n");
    int t[168];
    std::fill(t, t + 168, -100);
    EXPECT_EQ(kmx_get_chip_temp_by_group(0, t, 3, false), 0);  // group 0: chips 1, 4
    EXPECT_EQ(t[0], 40);
    EXPECT_EQ(t[3], 40);
    EXPECT_EQ(t[1], -100);
    EXPECT_EQ(s_tmp_read_group[0], 1);
    EXPECT_EQ(kmx_get_chip_temp_by_group(0, t, 3, false), 0);  // group 1: chips 2, 5
    EXPECT_EQ(t[1], 40);
    EXPECT_EQ(t[2], -100);
    EXPECT_EQ(kmx_get_chip_temp_by_group(0, t, 3, false), 0);
    EXPECT_EQ(s_tmp_read_group[0], 0);  // wrapped
    // read_all reads everything and restarts at group 0.
    std::fill(t, t + 168, -100);
    s_tmp_read_group[0] = 2;
    EXPECT_EQ(kmx_get_chip_temp_by_group(0, t, 3, true), 0);
    for (int i = 0; i < 6; i++) EXPECT_EQ(t[i], 40) << i;
    EXPECT_EQ(s_tmp_read_group[0], 0);
    // Counts above 16 use 16: with 20 chips, chip 17 belongs to group 0.
    g_chip_num = 20;
    std::fill(t, t + 168, -100);
    s_tmp_read_group[0] = 0;
    EXPECT_EQ(kmx_get_chip_temp_by_group(0, t, 40, false), 0);
    EXPECT_EQ(t[16], 40);
    EXPECT_EQ(t[15], -100);
    // A failing chip stores raw 0's conversion and keeps the group.
    set_chips(0, "temp 0 40\nsilent 2\n");
    s_tmp_read_group[0] = 1;
    g_chip_num = 6;
    EXPECT_EQ(kmx_get_chip_temp_by_group(0, t, 3, false), 2);
    EXPECT_EQ(t[1], kmx_temp_to_centigrade(0));
    EXPECT_EQ(t[1], 392);
    EXPECT_EQ(s_tmp_read_group[0], 1);
}

// The hub's own sweep: three hottest, three coolest and the total.
TEST_F(SensorPin, HubTemperatureSummary) {
    // No controls and no regulator setting: chip i reads raw 600 + i - 1.
    remove((kos::sim_dir() + "/chips0").c_str());
    remove((kos::sim_dir() + "/regulator0").c_str());
    c_temp t{};
    ASSERT_TRUE(kmx_get_chain_temp(0, &t));
    EXPECT_EQ(t.tmp_hi, -7);   // raws 600, 601, 602: -7, -8, -8 -> -23 / 3
    EXPECT_EQ(t.tmp_lo, -59);  // raws 679, 678, 677: -60, -59, -58
    EXPECT_EQ(t.tmp_avg, -33.0f);  // total 51160 / 2 * 2 / 80 = 639
    // The sweep's configuration: threshold 100, lsb 24, msb 33, then off.
    const uint32_t cfg = Xil_SPI_In32(HUB_SPI_BLOCK(0) + 0x160);
    EXPECT_EQ(cfg, 100u | 24u << 16 | 33u << 24);

    // Slot 2's sweep never completes: 1000 polls 100 us apart, then the
    // sweep is switched off and the read fails.
    pause_log::start();
    EXPECT_FALSE(kmx_get_chain_temp(2, &t));
    EXPECT_EQ(pause_log::stop(), std::vector<uint64_t>(1000, 100));
    EXPECT_EQ(Xil_SPI_In32(HUB_SPI_BLOCK(2) + 0x160), 100u | 24u << 16 | 33u << 24);
}

// ---- temperature policy ------------------------------------------------------

TEST_F(SensorPin, ReadIntervalGate) {
    g_chip_num = 2;
    s_test_now_us = 3'000'000'000ull;
    kos::set_mono_clock(test_now);
    set_chips(0, "temp 0 60\n");
    EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(0)), 0);
    EXPECT_EQ(g_chain_tmp[0].tmp_hi, 60);
    set_chips(0, "temp 0 101\n");
    EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(0)), 0);  // stored status, no read
    EXPECT_EQ(g_chain_tmp[0].tmp_hi, 60);
    s_test_now_us += 2'000'000;
    EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(0)), 2);
    kos::set_mono_clock(nullptr);
    EXPECT_EQ(g_chain_tmp[0].tmp_hi, 101);
    // The running record holds degrees + 64.
    EXPECT_EQ(g_chains_info[0].tmp_max, 101 + 64);
    EXPECT_EQ(g_chains_info[0].tmp_min, 101 + 64);
}

// The defaults the mining program starts from.
TEST_F(SensorPin, DefaultTemperaturePolicy) {
    c_temp_cfg d{};
    kmx_tempctrl_get_defcfg(&d);
    const int got[] = {d.tmp_min, d.tmp_max, d.tmp_target, d.tmp_thr_lo, d.tmp_thr_hi, d.tmp_thr_warn, d.tmp_thr_pd,
                       d.tmp_exp_time, d.tmp_read_by_group, d.tmp_read_group_cnt};
    const int want[] = {-40, 160, 70, 30, 100, 105, 115, 2000, 0, 1};
    for (size_t i = 0; i < std::size(want); i++) EXPECT_EQ(got[i], want[i]) << "field " << i;
    // No chain read yet: the warmest chain average is the floor, -40.
    EXPECT_EQ(get_all_chain_aver_temp_max(), -40);
}

// A chain is read again once 2000 ms have passed since its last summary,
// not before: on the test's own clock.
TEST_F(SensorPin, ReadIntervalIsTwoSecondsToTheMillisecond) {
    g_chip_num = 2;
    s_test_now_us = 5'000'000'000ull;
    kos::set_mono_clock(test_now);
    set_chips(0, "temp 0 60\n");
    kmx_tempctrl_update_chain_temp(0);
    set_chips(0, "temp 0 70\n");
    s_test_now_us += 1'999'000;
    kmx_tempctrl_update_chain_temp(0);
    const int after_1999 = kmx_chain_tmp_snapshot(0).tmp_hi;
    s_test_now_us += 1'000;
    kmx_tempctrl_update_chain_temp(0);
    const int after_2000 = kmx_chain_tmp_snapshot(0).tmp_hi;
    kos::set_mono_clock(nullptr);
    EXPECT_EQ(after_1999, 60);
    EXPECT_EQ(after_2000, 70);
}

// Per-chip offsets apply to a whole reading only, not to a group's.
TEST_F(SensorPin, OffsetsOnlyOnWholeReadings) {
    g_chip_num = 4;
    set_chips(0, "temp 0 60\ntemp 1 60\ntemp 2 60\ntemp 3 60\n");
    for (int i = 0; i < 4; i++) adjust_temp_map[0][i] = 5;
    c_temp_cfg cfg{};
    kmx_tempctrl_get_defcfg(&cfg);
    cfg.tmp_read_by_group = true;
    cfg.tmp_read_group_cnt = 1;  // one group: every chip
    s_tmp_read_group[0] = 0;
    kmx_tempctrl_init(&cfg);
    kmx_tempctrl_update_chain_temp(0);
    const int grouped = kmx_chain_tmp_snapshot(0).tmp_hi;
    kmx_tempctrl_init(nullptr);
    kmx_tempctrl_update_chain_temp(0);
    const int whole = kmx_chain_tmp_snapshot(0).tmp_hi;
    for (int i = 0; i < 4; i++) adjust_temp_map[0][i] = 0;
    EXPECT_EQ(grouped, 60);
    EXPECT_EQ(whole, 65);
}

// Retries of an implausible reading are 200 us apart.
TEST_F(SensorPin, TemperatureRetriesArePaced) {
    set_chips(2, "temp 0 60\nsilent 7\n");
    pause_log::start();
    kmx_tempctrl_update_chain_temp(2);
    const std::vector<uint64_t> one = pause_log::stop();
    kmx_tempctrl_init(nullptr);
    pause_log::start();
    EXPECT_EQ(kmx_check_temp_loop(2, 3), -1);
    const std::vector<uint64_t> three = pause_log::stop();
    std::vector<uint64_t> want = one;
    for (int i = 0; i < 2; i++) {
        want.push_back(200);
        want.insert(want.end(), one.begin(), one.end());
    }
    EXPECT_EQ(three, want);
}

// Error 33 replaces an error already standing.
TEST_F(SensorPin, Error33ReplacesAnEarlierError) {
    kmx_set_errcode(ERRCODE_SPI_FAIL, nullptr, true, 0, nullptr, 0);
    set_chips(2, "temp 0 60\nsilent 7\n");
    for (int i = 0; i < 5; i++) kmx_tempctrl_update_chain_temp(2);
    std::string code;
    ASSERT_TRUE(kos::read_file("/tmp/errcode", code));
    EXPECT_EQ(code.substr(0, 3), "33\n") << code;
}

TEST_F(SensorPin, FifthImplausibleReadRaisesError33WithTheChip) {
    set_chips(2, "temp 0 60\nsilent 7\n");
    for (int i = 0; i < 4; i++) EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(2)), -1);
    EXPECT_EQ(g_chain_alive[2], 1);
    std::string code;
    EXPECT_FALSE(kos::read_file("/tmp/errcode", code));
    EXPECT_TRUE(log_contains("chain2: error temperature ignored(3): Tmax=9999, Tmin=9999, Tavg=9999.0"));
    EXPECT_TRUE(log_contains("chain2 reset tsadc div!"));
    EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(2)), -1);
    EXPECT_EQ(g_chain_alive[2], 0);
    EXPECT_TRUE(log_contains("chain2: failed to read temperature for 5 times, SHUTDOWN"));
    ASSERT_TRUE(kos::read_file("/tmp/errcode", code));
    EXPECT_EQ(code, "33\nINV_TEMP.chain(3).chip(7).msg()\n");  // chains count from 1 there
}

TEST_F(SensorPin, PreheatWaitsInFourSecondPasses) {
    set_chips(0, "temp 0 40\n");
    g_fan_cfg.bypass = true;
    const uint64_t t0 = kos::mono_ms();
    pause_log::start();
    kmx_chain_preheat(0, 50, 8);  // 8 / 4 + 1 passes
    const std::vector<uint64_t> pauses = pause_log::stop();
    const uint64_t took = kos::mono_ms() - t0;
    EXPECT_EQ(count_lines_with("chain0: tmp_avg:40.0 speed:"), 3);
    EXPECT_GE(took, 12000u);
    EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 4'000'000u), 3);
    EXPECT_FALSE(g_fan_cfg.bypass);
    EXPECT_EQ(g_fan_cfg.fan_speed_target, 20);
    EXPECT_TRUE(log_contains("fan ctrl BYPASS mode disabled"));
    // Already warm: returns at once.
    log_capture_clear();
    kmx_tempctrl_init(nullptr);
    set_chips(0, "temp 0 55\n");
    kmx_tempctrl_update_chain_temp(0);
    kmx_chain_preheat(0, 50, 8);
    EXPECT_EQ(count_lines_with("tmp_avg:"), 0);
    // Another chain above 64 degrees ends the wait; at 64 it goes on.
    for (int hot : {64, 65}) {
        log_capture_clear();
        kmx_tempctrl_init(nullptr);
        set_chips(0, "temp 0 40\n");
        set_chips(2, "temp 0 " + std::to_string(hot) + "\n");
        kmx_tempctrl_update_chain_temp(2);
        kmx_chain_preheat(0, 70, 4);  // two passes at most
        EXPECT_EQ(count_lines_with("chain0: tmp_avg:"), hot == 64 ? 2 : 0) << hot;
    }
}

// ---- fan control -----------------------------------------------------------------

void set_chain_temp(int c, int16_t lo, int16_t hi, float avg) {
    g_chain_tmp[c] = c_temp{lo, hi, avg, kmx_get_systime_ms()};
}

TEST_F(SensorPin, PiStepAndSaturation) {
    g_chain_num = 1;
    g_chain_id[0] = 0;
    // e = 1: candidate 40 + 0.5 + 10 = 50.5 -> 50, integral 40.5.
    g_component_I = 40;
    set_chain_temp(0, 60, 75, 71);
    fanctrl_step();
    EXPECT_EQ(g_fan_cfg.fan_speed, 50);
    EXPECT_FLOAT_EQ(g_component_I, 40.5f);
    // At the target the integral stays and I + 0 is set.
    set_chain_temp(0, 60, 75, 70);
    fanctrl_step();
    EXPECT_FLOAT_EQ(g_component_I, 40.5f);
    EXPECT_EQ(g_fan_cfg.fan_speed, 40);
    // Saturated high: e = 8 gives 40.5 + 4 + 80 >= 100; the integral holds
    // and 80 + 40.5 is set (clamped to 100).
    set_chain_temp(0, 60, 80, 78);
    fanctrl_step();
    EXPECT_FLOAT_EQ(g_component_I, 40.5f);
    EXPECT_EQ(g_fan_cfg.fan_speed, 100);
    // A candidate of exactly 100 is saturated too.
    g_component_I = 58;
    set_chain_temp(0, 60, 80, 74);  // 58 + 2 + 40 = 100
    fanctrl_step();
    EXPECT_FLOAT_EQ(g_component_I, 58.0f);
    EXPECT_EQ(g_fan_cfg.fan_speed, 95);  // 40 + 58 = 98 -> 95
    // Saturated low: the integral holds, the preheat duty is the floor.
    g_component_I = 3;
    set_chain_temp(0, 50, 60, 64);  // 3 - 3 - 60 = -60
    fanctrl_step();
    EXPECT_FLOAT_EQ(g_component_I, 3.0f);
    EXPECT_EQ(g_fan_cfg.fan_speed, 10);
    // A candidate of exactly 0 is saturated too.
    g_component_I = 63;
    set_chain_temp(0, 50, 60, 64);  // 63 - 3 - 60 = 0
    fanctrl_step();
    EXPECT_FLOAT_EQ(g_component_I, 63.0f);
}

TEST_F(SensorPin, OverheatHysteresis) {
    g_chain_num = 1;
    g_chain_id[0] = 0;
    g_component_I = 0;
    set_chain_temp(0, 60, 100, 80);
    fanctrl_step();
    EXPECT_EQ(g_fan_cfg.fan_speed, 100);
    EXPECT_EQ(g_fan_profile, FAN_PF_OVERHEAT);
    EXPECT_EQ(count_lines_with("OVERHEAT: temp_hi over 100, force fan speed to 100"), 1);
    // 98 is still overheat (100 - 2), with no second line.
    set_chain_temp(0, 60, 98, 69);
    fanctrl_step();
    EXPECT_EQ(g_fan_profile, FAN_PF_OVERHEAT);
    EXPECT_EQ(g_fan_cfg.fan_speed, 100);
    EXPECT_EQ(count_lines_with("OVERHEAT:"), 1);
    // 97 leaves it; the PI step runs (e = -1: 0 - 0.5 - 10 < 0, held).
    set_chain_temp(0, 60, 97, 69);
    fanctrl_step();
    EXPECT_EQ(g_fan_profile, FAN_PF_NORMAL);
    EXPECT_EQ(g_fan_cfg.fan_speed, 10);
    // From normal, 99 is not overheat.
    set_chain_temp(0, 60, 99, 69);
    fanctrl_step();
    EXPECT_EQ(g_fan_profile, FAN_PF_NORMAL);
}

TEST_F(SensorPin, HubFanEnableBitsAndOnCount) {
    Xil_Peripheral_Out32(HUB_FAN_ENABLE, 0);
    hub_set_pwm(1, 20000, 30);
    EXPECT_EQ(Xil_Peripheral_In32(HUB_FAN_ENABLE), 0x2u);
    EXPECT_EQ(Xil_Peripheral_In32(0x48), 20000u);
    EXPECT_EQ(Xil_Peripheral_In32(0x4C), 6000u);
    hub_set_pwm(2, 20050, 33);  // the division comes first: 33 * 200
    EXPECT_EQ(Xil_Peripheral_In32(HUB_FAN_ENABLE), 0x6u);
    EXPECT_EQ(Xil_Peripheral_In32(0x54), 6600u);
    // All three fans at 20 kHz from the controller.
    kmx_fanctrl_set_fan_speed(55);
    EXPECT_EQ(Xil_Peripheral_In32(HUB_FAN_ENABLE), 0x7u);
    for (uint32_t f = 0; f < 3; f++) {
        EXPECT_EQ(Xil_Peripheral_In32(0x40 + 8 * f), 20000u);
        EXPECT_EQ(Xil_Peripheral_In32(0x44 + 8 * f), 11000u);
    }
    EXPECT_EQ(g_fan_speed_set, 55);
    // The bypass target: 100 at most, the preheat duty at least, logged on change.
    kmx_fanctrl_set_fan_speed_target(150);
    EXPECT_EQ(g_fan_cfg.fan_speed_target, 100);
    EXPECT_TRUE(log_contains("FAN SPEED TARGET set to 100"));
    kmx_fanctrl_set_fan_speed_target(3);
    EXPECT_EQ(g_fan_cfg.fan_speed_target, 10);
    c_fan_cfg def{};
    kmx_fanctrl_get_defcfg(&def);
    EXPECT_EQ(def.fan_speed_target, 50);
    EXPECT_EQ(def.fan_speed_preheat, 10);
    EXPECT_EQ(def.fan_ctrl_cycle, 2);
    EXPECT_EQ(def.fan_mode, FAN_MODE_AUTO);
    // Integral gain 1.0 for subtypes 32, 64, 65, 66 and 68, else 0.5.
    for (int st : {32, 64, 65, 66, 68, 67, 0}) {
        g_miner_subtype = st;
        kmx_fanctrl_init(nullptr);
        EXPECT_FLOAT_EQ(g_pid_i, st == 67 || st == 0 ? 0.5f : 1.0f) << st;
        EXPECT_FLOAT_EQ(g_pid_p, 10.0f);
    }
}

}  // namespace
