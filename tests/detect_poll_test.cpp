// The parallel bring-up's poller: it looks every 2 s (feeding the supply's
// watchdog on I2C-supply machines), yet returns as soon as the last chain's
// thread has ended. Runs at time scale 1 so that a 2 s look is 2 s of real
// time; every chain here is unplugged, so its thread ends at once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hub/kmx_i2c.h"
#include "hub/kmx_vid.h"
#include "module/kmx_chain.h"
#include "os/os.h"
#include "os/wakeup.h"
#include "platform/kmx_platform.h"
#include "support/hub_tables.h"
#include "support/sim_files.h"

namespace {

size_t voltage_reads() {
    size_t n = 0;
    for (const std::string &l : sim_lines("psu.log"))
        if (l.rfind("R 00 AB 00 02 ", 0) == 0 || l.rfind("X 00 AB 00 02 ", 0) == 0) n++;
    return n;
}

double elapsed_ms(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

class DetectPoll : public testing::Test {
protected:
    static void SetUpTestSuite() { use_fpga_hub_tables(); }
    void SetUp() override {
        ASSERT_EQ(kos::time_scale(), 1.0) << "the test entry sets KMX_TIME_SCALE=1";
        g_vin_sync = 0;
        g_chain_num = 3;
        g_chain_id[0] = 0, g_chain_id[1] = 2, g_chain_id[2] = 5;
        for (int c = 0; c < KMX_MAX_CHAIN; c++) g_chain_plug[c] = 0;
        for (int i = 0; i < 3; i++) params[i] = c_chain_param{g_chain_id[i], 2, 600, 0, 10, 300, 10, 0, false};
    }
    c_chain_param params[3];
};

TEST_F(DetectPoll, ReturnsWhenTheLastChainEndsNotAtTheNextLook) {
    g_vid_type = 10;  // regulator on the hub's UART: no supply to feed
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kmx_chain_detect_all(0x7, params, true, false), 0);
    EXPECT_LT(elapsed_ms(t0), 1000.0) << "the poller slept out its 2 s look";
    EXPECT_TRUE(g_detect_over);
    for (int c : {0, 2, 5}) EXPECT_TRUE(s_detect_done[c]);
}

// The poller's look period: the first wait it asks for, on a clock that
// stands still, is the whole 2 s.
thread_local bool t_poller = false;
std::vector<uint64_t> g_poller_waits;
void poller_wait(uint64_t us, uint64_t) {
    if (t_poller) g_poller_waits.push_back(us);
}
uint64_t still_clock() { return uint64_t(1) << 40; }

TEST_F(DetectPoll, LooksEveryTwoSeconds) {
    g_vid_type = 10;
    g_poller_waits.clear();
    t_poller = true;
    kos::set_mono_clock(still_clock);
    kos::set_sleep_observer(poller_wait);
    EXPECT_EQ(kmx_chain_detect_all(0x7, params, true, false), 0);
    kos::set_sleep_observer(nullptr);
    kos::set_mono_clock(nullptr);
    t_poller = false;
    ASSERT_FALSE(g_poller_waits.empty());
    EXPECT_EQ(g_poller_waits.front(), 2000000u);
}

TEST_F(DetectPoll, EndsWithOneFeedOfTheSupplyWatchdog) {
    set_psu("{}");
    g_vid_type = 7;  // supply on I2C
    g_vin_sync = 1;  // one output for all chains: no SPI wiring test first
    hub_set_power_en_i2c(0, 1);
    g_chain_id[0] = 0, g_chain_id[1] = 1, g_chain_id[2] = 2;  // the I2C supply's chains
    for (int i = 0; i < 3; i++) params[i].chain_id = g_chain_id[i];
    const size_t before = voltage_reads();
    EXPECT_EQ(kmx_chain_detect_all(0x7, params, true, false), 0);
    EXPECT_EQ(voltage_reads(), before + 1) << "no look came due, so one closing feed";
}

TEST(Wakeup, TimesOutInMachineTimeUnlessSignalled) {
    kos::Wakeup w;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(w.wait_us(50000));
    EXPECT_GE(elapsed_ms(t0), 50.0);
    // A signal given before the wait is kept for it, and used up by it.
    w.signal();
    t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(w.wait_us(5000000));
    EXPECT_LT(elapsed_ms(t0), 1000.0);
    EXPECT_FALSE(w.wait_us(1000));
    // A signal during the wait ends it.
    std::thread t([&w] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        w.signal();
    });
    t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(w.wait_us(5000000));
    EXPECT_LT(elapsed_ms(t0), 1000.0);
    t.join();
}

std::vector<uint64_t> g_seen;
bool g_took_less = false;
void see(uint64_t us, uint64_t taken) {
    g_seen.push_back(us);
    g_took_less = g_took_less || taken < us;
}

// The benchmarks' floor is the sum of what the clock was asked to wait, and
// each wait takes at least what was asked.
TEST(SleepObserver, SeesEveryWaitAskedInMachineMicroseconds) {
    g_took_less = false;
    g_seen.clear();
    kos::set_sleep_observer(see);
    kos::sleep_us(3);
    kos::sleep_ms(2);
    kos::sleep_s(0);
    kos::Wakeup w;
    w.wait_us(700);
    kos::set_sleep_observer(nullptr);
    kos::sleep_us(5);
    EXPECT_EQ(g_seen, (std::vector<uint64_t>{3, 2000, 0, 700}));
    EXPECT_FALSE(g_took_less);
}

}  // namespace
