// The fans against the emulated chips' thermal model, and the legacy fan
// curve over the hub's raw temperature statistics.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "drv/hub.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "misc/kmx_misc.h"
#include "module/kmx_fan_internal.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tempctrl_internal.h"
#include "module/kmx_tvsensor.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/hub_tables.h"
#include "support/log_capture.h"

namespace {

class Fans : public ::testing::Test {
protected:
    static void SetUpTestSuite() { use_fpga_hub_tables(); }
    void SetUp() override {
        use_one_powered_chain();
        g_vid_type = 0;
        g_chain_alive[0] = 1;
        kmx_tempctrl_init(nullptr);
        kmx_fanctrl_init(nullptr);
    }
    void TearDown() override { kos::set_mono_clock(nullptr); }
};

// Chip temperatures come from the model (heat 120: 145 C still air, 70 C
// at about 42 % duty); the loop must find that duty by itself.
TEST_F(Fans, PiLoopHoldsTheModelAtTarget) {
    // Start from full air so the model's first reading is cool.
    kmx_fanctrl_set_fan_speed(100);
    int lo = 100, hi = 0;
    float mean = 0;
    // The loop's two-second cycle on a clock of the test's own: the model
    // sees exactly the cycle however long a reading takes on a busy host.
    static uint64_t now_us;
    now_us = kos::mono_us();
    kos::set_mono_clock([] { return now_us; });
    for (int cycle = 0; cycle < 300; cycle++) {
        now_us += 2000000;
        kmx_tempctrl_update_chain_temp(0);
        fanctrl_step();
        ASSERT_TRUE(g_chain_alive[0]) << "cycle " << cycle;
        if (cycle >= 250) {
            lo = std::min<int>(lo, g_fan_cfg.fan_speed);
            hi = std::max<int>(hi, g_fan_cfg.fan_speed);
            mean += g_chain_tmp[0].tmp_avg / 50;
        }
    }
    // The loop holds the target without riding either end of the duty range.
    EXPECT_NEAR(mean, 70.0f, 3.0f);
    EXPECT_GT(lo, 10);
    EXPECT_LT(hi, 100);
}

// The fan loop copies the chain's summary while the sensor thread stores
// new ones. Each copy is one whole summary; the thread-sanitizer run of
// this case checks that the two never meet unguarded.
TEST_F(Fans, SummaryCopiesStayWholeWhileTheSensorThreadWrites) {
    g_tmp_cfg.tmp_exp_time = 0;  // every call reads the sensors again
    kmx_fanctrl_set_fan_speed(100);
    std::atomic<bool> stop{false};
    std::atomic<int> stored{0};
    std::thread sensors([&] {
        while (!stop.load()) {
            kmx_tempctrl_update_chain_temp(0);
            stored++;
        }
    });
    int whole = 0;
    for (int i = 0; i < 20000 && stored.load() < 20; i++) {
        fanctrl_step();
        const c_temp t = kmx_chain_tmp_snapshot(0);
        if (t.tmp_avg < 9999) {  // else no reading yet
            EXPECT_LE(t.tmp_lo, t.tmp_avg) << i;
            EXPECT_GE(t.tmp_hi, t.tmp_avg) << i;
            EXPECT_GT(t.last_update, 0u) << i;
            whole++;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    stop = true;
    sensors.join();
    EXPECT_GE(stored.load(), 20);
    EXPECT_GT(whole, 0);
    // The loop saw the readings: the duty left full speed for the model's
    // cool start.
    EXPECT_GT(kmx_get_tmp(), 0.0f);
    g_tmp_cfg.tmp_exp_time = 2000;
}

kmx_temp_config_s curve() { return kmx_temp_config_s{100, 600, 500, 150, 300, 50}; }

struct Hub {
    kmx_temp_s t[8] = {};
    kmx_fan_temp_s ft = {};
    Hub() { ft.kmx_temp = t; }
    void chain(int c, int hi0, int hi1, int hi2, int avg, int lo0, int lo1, int lo2) {
        t[c] = kmx_temp_s{avg, 0, 0, {hi0, hi1, hi2}, {lo0, lo1, lo2}};
    }
};

uint32_t lines() { return Xil_Peripheral_In32(HUB_CHAIN_LINES); }

TEST_F(Fans, LegacyCurveFollowsTheHottestPlausibleChain) {
    kmx_fan_temp_init(0, curve());
    EXPECT_TRUE(log_contains("hi 100,lo 600,st 500,da 150, wk 300\n"));
    EXPECT_TRUE(log_contains("fan down thrd:35.\n"));
    g_chain_num = 2;
    Hub h;
    // Raw codes: lower is hotter. Chain 0 at 250 is hotter than the work
    // point 300: the fans speed up by one step.
    h.chain(0, 250, 260, 0, 280, 320, 330, 0);
    h.chain(1, 400, 0, 0, 420, 430, 440, 450);  // one lone "highest": implausible
    kmx_fan_speed_update_hub(&h.ft);
    EXPECT_TRUE(log_contains("Notice!!! Error temperature for chain 1,h:0,a:420,l:450\n"));
    EXPECT_TRUE(log_contains("Hi temp 250,delt_temp 50,delt_speed 250\n"));
    EXPECT_EQ(h.t[0].final_temp_hi, 250);
    EXPECT_EQ(h.t[0].final_temp_lo, 330);
    EXPECT_EQ(h.ft.speed, 55);
    EXPECT_EQ(h.ft.last_fan_speed, 55);
    EXPECT_EQ(h.ft.last_fan_temp, 250);
    // The same reading again is a hold (three at most), then a step.
    for (int i = 0; i < 3; i++) {
        kmx_fan_speed_update_hub(&h.ft);
        EXPECT_EQ(h.ft.speed, 55) << i;
    }
    kmx_fan_speed_update_hub(&h.ft);
    EXPECT_EQ(h.ft.speed, 60);
}

TEST_F(Fans, LegacyCurveClampsAndFailsSafe) {
    kmx_fan_temp_init(0, curve());
    g_chain_num = 1;
    Hub h;
    h.ft.speed = 12;
    h.chain(0, 500, 520, 0, 540, 560, 570, 0);  // cool: slow down, floor 10
    kmx_fan_speed_update_hub(&h.ft);
    EXPECT_EQ(h.ft.speed, 10);
    h.ft.speed = 96;
    h.chain(0, 200, 210, 0, 220, 230, 240, 0);  // hot: speed up, ceiling 100
    kmx_fan_speed_update_hub(&h.ft);
    EXPECT_EQ(h.ft.speed, 100);
    // Nothing plausible left: full speed, speed bookkeeping untouched.
    h.chain(0, 0, 0, 0, 0, 0, 0, 0);
    h.ft.speed = 40;
    kmx_fan_speed_update_hub(&h.ft);
    EXPECT_EQ(h.ft.speed, 40);
    EXPECT_TRUE(log_contains("Notice!!! Error temperature for chain 0,h:0,a:0,l:0\n"));
}

TEST_F(Fans, LegacyCurveSwitchesADangerousChainOff) {
    kmx_fan_temp_init(0, curve());
    g_chain_num = 2;
    hub_set_power_en(1, 1);
    hub_set_start_en(1, 1);
    Hub h;
    h.chain(0, 290, 295, 0, 300, 310, 320, 0);
    h.chain(1, 120, 130, 0, 200, 300, 310, 0);  // past the danger code
    kmx_fan_speed_update_hub(&h.ft);
    EXPECT_FALSE(lines() & (1u << (18 + 1)));  // chain 1 power off
    EXPECT_FALSE(lines() & (1u << 1));         // start off
    EXPECT_TRUE(lines() & (1u << 18));         // chain 0 untouched
}

}  // namespace
