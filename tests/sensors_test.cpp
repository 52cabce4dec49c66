// Sensors, temperature policy and fan control against the emulated chains
// of this test's machine (80 chips in slots 0, 2, 5 on the FPGA hub).
#include <gtest/gtest.h>

#include <string>
#include <sys/msg.h>
#include <unistd.h>

#include "drv/hub.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "module/kmx_wd.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_fan_internal.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tvsensor.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/hub_tables.h"
#include "support/log_capture.h"

namespace {

void set_chips(int slot, const std::string &text) {
    kos::write_file_atomic((kos::sim_dir() + "/chips" + std::to_string(slot)).c_str(), text);
}

class Sensors : public ::testing::Test {
protected:
    static void SetUpTestSuite() { use_fpga_hub_tables(); }
    void SetUp() override {
        g_chip_type = 0;
        g_miner_subtype = 0;
        g_chip_num = 80;
        g_chain_num = 3;
        g_chain_id[0] = 0, g_chain_id[1] = 2, g_chain_id[2] = 5;
        for (uint8_t c : {0, 2, 5}) {
            hub_set_power_en(c, 1);
            hub_set_reset(c, 1);
            hub_spi_init(c, 80);
            g_chain_alive[c] = 1;
            set_chips(c, "temp 0 60\n");
        }
        kmx_tempctrl_init(nullptr);
        kmx_fanctrl_init(nullptr);
    }
};

TEST(SensorMath, ConversionsByTechnology) {
    g_chip_type = 0;
    g_miner_subtype = 0;
    EXPECT_EQ(kmx_temp_to_centigrade(588), 0);
    EXPECT_EQ(kmx_temp_to_centigrade(0), 392);
    EXPECT_EQ(kmx_temp_to_centigrade(600), -7);
    EXPECT_EQ(kmx_volt_to_mV(328), 399);
    // Full scale tells each technology's factor from its neighbours.
    EXPECT_EQ(kmx_volt_to_mV(1023), 1246);
    g_miner_subtype = 64;
    EXPECT_EQ(kmx_temp_to_centigrade(605), 0);
    EXPECT_EQ(kmx_volt_to_mV(1023), 1236);
    g_chip_type = 3;
    EXPECT_EQ(kmx_temp_to_centigrade(594), 0);
    EXPECT_EQ(kmx_volt_to_mV(1023), 1228);
    g_chip_type = 0;
    g_miner_subtype = 0;
}

TEST(SensorMath, SummariesNeedMoreThanHalfValid) {
    g_chip_num = 72;
    int t[168];
    for (int i = 0; i < 72; i++) t[i] = i < 36 ? 50 + i : 300;
    c_temp s;
    kmx_stat_chain_temp(t, &s);
    EXPECT_EQ(s.tmp_hi, 9999);
    t[36] = -39;
    kmx_stat_chain_temp(t, &s);
    EXPECT_EQ(s.tmp_hi, 85);
    EXPECT_EQ(s.tmp_lo, -39);  // the lowest of all
    // Readings count from -39 to 159 degrees.
    t[37] = 159;
    kmx_stat_chain_temp(t, &s);
    EXPECT_EQ(s.tmp_hi, 159);
    t[37] = 160;
    t[38] = -40;
    kmx_stat_chain_temp(t, &s);
    EXPECT_EQ(s.tmp_hi, 85);
    int v[168] = {};
    for (int i = 0; i < 6; i++) v[i] = 400;
    c_volt cv;
    kmx_stat_chain_volt(v, &cv);
    EXPECT_EQ(cv.vol_hi, 9999);
    v[6] = 410;
    kmx_stat_chain_volt(v, &cv);
    EXPECT_EQ(cv.vol_hi, 410);
    EXPECT_EQ(cv.vol_lo, 0);
}

// Status codes at their boundaries, read from the emulated chips.
TEST_F(Sensors, StatusCodesAtBoundaries) {
    const struct { int hi, lo; int want; } cases[] = {
        {94, 29, 1}, {94, 30, 0}, {95, 29, 5}, {99, 60, 5}, {100, 60, 2},
        {104, 60, 2}, {105, 60, 3}, {114, 60, 3}};
    for (const auto &k : cases) {
        kmx_tempctrl_init(nullptr);
        set_chips(0, "temp 0 " + std::to_string(k.lo) + "\ntemp 1 " + std::to_string(k.hi) + "\n");
        EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(0)), k.want) << k.hi << "/" << k.lo;
    }
    // A lying sensor on most chips: implausible, and the fifth in a row shuts down.
    kmx_tempctrl_init(nullptr);
    set_chips(2, "raw 0 0\n");
    for (int i = 0; i < 5; i++) EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(2)), -1);
    EXPECT_EQ(g_chain_alive[2], 0);
    EXPECT_EQ(g_chain_tmp_fails[2], 0);
}

TEST_F(Sensors, OverheatShutsDownAndReportsToWatchdog) {
    // The queue key comes from the watchdog program's path.
    std::string wd;
    if (!kos::read_file("/bin/watchdog", wd)) kos::write_file_atomic("/bin/watchdog", "");
    kmx_wd_client_init();
    const int q = msgget(kmx_wd_get_msq_key(), 0777);
    ASSERT_GE(q, 0);
    wd_msg m;
    while (msgrcv(q, &m, sizeof m.data, 0, IPC_NOWAIT) >= 0) {
    }
    set_chips(0, "temp 0 80\ntemp 7 115\n");
    // As the mining process: a power-down is reported to the watchdog too.
    g_cgminer_pid = getpid();
    EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(0)), 4);
    EXPECT_TRUE(g_overheat);
    EXPECT_EQ(g_chain_alive[0], 0);
    std::string code;
    ASSERT_TRUE(kos::read_file("/tmp/errcode", code));
    EXPECT_NE(code.find("32"), std::string::npos);
    ASSERT_GE(msgrcv(q, &m, sizeof m.data, WD_MSG_CHAIN_TEMP, IPC_NOWAIT), 0);
    EXPECT_EQ(m.data.tmp_hi, 115);
    ASSERT_GE(msgrcv(q, &m, sizeof m.data, WD_MSG_CHAIN_DOWN, IPC_NOWAIT), 0);
    EXPECT_EQ(m.data.chain_id, 0);
    EXPECT_EQ(m.data.tmp_hi, 0);
    // The shutdown reason file belongs to the watchdog program, not to us.
    std::string state;
    EXPECT_FALSE(kos::read_file("/tmp/watchdog", state));
    // Another chain, still cool, is shut down as well: the overheat is latched.
    EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(2)), 4);
    EXPECT_EQ(g_chain_alive[2], 0);
    set_chips(0, "temp 0 60\n");
    EXPECT_EQ(int(kmx_tempctrl_update_chain_temp(0)), 4);  // sticky
    g_cgminer_pid = 0;
}

// The fan setters go through the PWM table: the platform's tables first.
class FanMath : public ::testing::Test {
protected:
    static void SetUpTestSuite() { use_fpga_hub_tables(); }
};

TEST_F(FanMath, QuantisePiAndInversion) {
    kmx_fanctrl_init(nullptr);
    for (auto [in, out] : {std::pair{57, 55}, {3, 10}, {104, 100}, {105, 100}, {9, 10}, {-5, 10}}) {
        kmx_fanctrl_set_fan_speed(in);
        EXPECT_EQ(g_fan_cfg.fan_speed, out) << in;
    }
    g_vid_type = 15;
    g_chip_type = 0;
    kmx_fan_speed_set(0, 150);  // full speed even on inverted fans
    EXPECT_EQ(Xil_Peripheral_In32(0x44), 0u);
    g_vid_type = 0;
}

uint64_t s_fan_now_us = 0;
uint64_t fan_now() { return s_fan_now_us; }

// A chain whose summary has not advanced for more than 30 s forces full
// speed, once; 30 s exactly is not yet stale. On the test's own clock.
TEST_F(Sensors, StaleSummaryForcesFullSpeedAfterThirtySeconds) {
    log_capture_clear();
    g_chain_num = 1;
    g_chain_id[0] = 0;
    s_fan_now_us = 7'000'000'000ull;
    kos::set_mono_clock(fan_now);
    set_chips(0, "temp 0 60\n");
    kmx_tempctrl_update_chain_temp(0);
    kmx_fanctrl_set_fan_speed(40);
    s_fan_now_us += 30'000'000;
    fanctrl_step();
    const bool stale_at_30s = g_chain_temp_not_update[0];
    kmx_fanctrl_set_fan_speed(40);
    s_fan_now_us += 1'000;
    fanctrl_step();
    kos::set_mono_clock(nullptr);
    EXPECT_FALSE(stale_at_30s);
    EXPECT_TRUE(g_chain_temp_not_update[0]);
    EXPECT_EQ(g_fan_cfg.fan_speed, 100);
    EXPECT_TRUE(log_contains("chain0: temperature not updated for more than 30s force fan speed to 100"));
}

// No chain with a usable summary: the third such cycle in a row forces full
// speed.
TEST_F(Sensors, ThirdCycleWithoutATemperatureForcesFullSpeed) {
    log_capture_clear();
    g_chain_num = 1;
    g_chain_id[0] = 0;
    set_chips(0, "temp 0 60\n");
    kmx_tempctrl_update_chain_temp(0);
    fanctrl_step();  // a usable summary: the count starts again
    kmx_tempctrl_init(nullptr);
    kmx_fanctrl_set_fan_speed(40);
    fanctrl_step();
    fanctrl_step();
    EXPECT_EQ(g_fan_cfg.fan_speed, 40);
    EXPECT_FALSE(log_contains("WARNING: unable to read temperature, force fan speed to 100"));
    fanctrl_step();
    EXPECT_EQ(g_fan_cfg.fan_speed, 100);
    EXPECT_TRUE(log_contains("WARNING: unable to read temperature, force fan speed to 100"));
}

// The thermal model's hottest chain settles at the target with the duty
// within 10..100; then a sensor that stops answering forces full speed.
TEST_F(Sensors, PiLoopSettlesAndFailsSafe) {
    for (uint8_t c : {0, 2, 5}) set_chips(c, "");
    g_chain_num = 1;
    g_chain_id[0] = 0;
    // "heat" is not in the shared description: use chip temperatures that
    // follow the duty through the model's own equation instead. Each cycle
    // is 2 s of machine time however long the host takes.
    kos::TestClock clock;
    float t = 90;
    for (int cycle = 0; cycle < 400; cycle++) {
        kos::sleep_s(2);
        const int duty = g_fan_cfg.fan_speed > 100 ? 0 : g_fan_cfg.fan_speed;
        const float ss = 25.0f + 120.0f / (1.0f + duty / 25.0f);
        t += (ss - t) * 0.1f;
        set_chips(0, "temp 0 " + std::to_string(int(t + 0.5f)) + "\n");
        kmx_tempctrl_update_chain_temp(0);
        fanctrl_step();
        ASSERT_GE(g_fan_cfg.fan_speed, 10);
    }
    EXPECT_NEAR(g_chain_tmp[0].tmp_avg, 70.0f, 2.0f);
    EXPECT_LE(g_fan_cfg.fan_speed, 100);
    set_chips(0, "silent 0\n");
    for (int i = 0; i < 20; i++) {
        kos::sleep_s(2);
        kmx_tempctrl_update_chain_temp(0);
        if (!g_chain_alive[0]) g_chain_alive[0] = 1;  // keep the chain in the loop
        fanctrl_step();
    }
    EXPECT_TRUE(g_chain_temp_not_update[0]);
}

}  // namespace
