// The supply keep-alive on a clock the test moves: at most one read per
// 5000 ms, and after a failed read the next call reads again at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hub/kmx_i2c.h"
#include "hub/kmx_vid.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/sim_files.h"

namespace {

uint64_t g_now_us = 0;
uint64_t fake_mono() { return g_now_us; }
void advance_ms(uint64_t ms) { g_now_us += ms * 1000u; }

// Voltage reads (command 0x02) the supply has answered ("R") or whose
// transfer failed ("X") so far.
size_t voltage_reads() {
    size_t n = 0;
    for (const std::string &l : sim_lines("psu.log"))
        if (l.rfind("R 00 AB 00 02 ", 0) == 0 || l.rfind("X 00 AB 00 02 ", 0) == 0) n++;
    return n;
}

class KeepAlive : public testing::Test {
protected:
    void SetUp() override {
        set_psu("{}");
        g_vid_type = 7;
        hub_set_power_en_i2c(0, 1);
        g_now_us = uint64_t(1) << 40;
        kos::set_mono_clock(fake_mono);
    }
    void TearDown() override { kos::set_mono_clock(nullptr); }
};

TEST_F(KeepAlive, OneReadPer5000Milliseconds) {
    ASSERT_TRUE(kmx_i2c_feed_watchdog(true));
    const size_t first = voltage_reads();
    ASSERT_GE(first, 1u);
    advance_ms(4999);
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false));
    EXPECT_EQ(voltage_reads(), first) << "4999 ms after the last feed";
    advance_ms(1);
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false));
    EXPECT_EQ(voltage_reads(), first + 1) << "5000 ms after the last feed";
    // The window restarts at the read just made, not at the first one.
    advance_ms(4999);
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false));
    EXPECT_EQ(voltage_reads(), first + 1);
    // A forced feed reads whatever the time.
    EXPECT_TRUE(kmx_i2c_feed_watchdog(true));
    EXPECT_EQ(voltage_reads(), first + 2);
    advance_ms(1);
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false));
    EXPECT_EQ(voltage_reads(), first + 2) << "the forced read restarted the window";
}

TEST_F(KeepAlive, FailedReadIsRetriedAtTheNextCall) {
    ASSERT_TRUE(kmx_i2c_feed_watchdog(true));
    advance_ms(5000);
    set_psu(R"({"fail_always":true})");
    // No time passes between these calls: each one reads again.
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false));
    EXPECT_EQ(voltage_reads(), 1u);
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false));
    EXPECT_EQ(voltage_reads(), 2u);
    EXPECT_FALSE(kmx_i2c_feed_watchdog(false)) << "third failure in a row";
    EXPECT_EQ(voltage_reads(), 3u);
    set_psu("{}");
    hub_set_power_en_i2c(0, 1);
    const size_t before = voltage_reads();
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false)) << "a good read clears the count";
    EXPECT_EQ(voltage_reads(), before + 1);
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false));
    EXPECT_EQ(voltage_reads(), before + 1) << "and restarts the window";
    set_psu(R"({"fail_always":true})");
    advance_ms(5000);
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false)) << "first failure after the clear";
}

}  // namespace
