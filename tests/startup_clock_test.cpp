// The SoC start-up's clock wait: a clock is plausible only after
// 1545000000 s; until then one line and a 2 s wait per round.
#include <gtest/gtest.h>

#include <string>

#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/log_capture.h"

namespace {

time_t g_wall = 0;
struct timeval fake_wall() { return {g_wall, 0}; }

int lines_with(const std::string &part) {
    int n = 0;
    for (const LogLine &l : log_captured()) n += l.text.find(part) != std::string::npos;
    return n;
}

class ClockWait : public testing::Test {
protected:
    void SetUp() override {
        kos::set_wall_clock(fake_wall);
        log_capture_clear();
    }
    void TearDown() override { kos::set_wall_clock(nullptr); }
    kos::TestClock clock_;  // the waits move it by what they ask, at once
};

TEST_F(ClockWait, ImplausibleClockWaitsTwoSecondsPerRoundThenGivesUp) {
    g_wall = 1545000000;  // not yet past the bound
    const uint64_t t0 = kos::mono_ms();
    kmx_sync_time_with_net(3);
    const uint64_t waited = kos::mono_ms() - t0;
    EXPECT_TRUE(log_contains("sync time faile 0"));
    EXPECT_TRUE(log_contains("sync time faile 1"));
    EXPECT_TRUE(log_contains("sync time faile 2"));
    EXPECT_EQ(lines_with("sync time faile"), 3);
    EXPECT_EQ(lines_with("sync time success"), 0);
    EXPECT_EQ(waited, 6000u);
}

TEST_F(ClockWait, PlausibleClockEndsTheWaitAtOnce) {
    g_wall = 1545000001;
    const uint64_t t0 = kos::mono_ms();
    kmx_sync_time_with_net(240);
    EXPECT_EQ(kos::mono_ms() - t0, 0u);
    EXPECT_TRUE(log_contains("sync time success"));
    EXPECT_EQ(lines_with("sync time faile"), 0);
}

}  // namespace
