// The parallel bring-up's poller: it looks every 2 s (feeding the supply's
// watchdog on I2C-supply machines), yet returns as soon as the last chain's
// thread has ended. Every chain here is unplugged, so its thread ends at
// once; on a test clock the machine's time stands still meanwhile, so a look
// that came due shows as 2 s gone.
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

constexpr uint64_t kLookUs = 2000000;

class DetectPoll : public testing::Test {
protected:
    static void SetUpTestSuite() { use_fpga_hub_tables(); }
    void SetUp() override {
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
    kos::TestClock clock;
    const uint64_t t0 = clock.now_us();
    EXPECT_EQ(kmx_chain_detect_all(0x7, params, true, false), 0);
    EXPECT_LT(clock.now_us() - t0, kLookUs) << "the poller slept out its 2 s look";
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
    EXPECT_EQ(g_poller_waits.front(), kLookUs);
}

TEST_F(DetectPoll, EndsWithOneFeedOfTheSupplyWatchdog) {
    set_psu("{}");
    g_vid_type = 7;  // supply on I2C
    g_vin_sync = 1;  // one output for all chains: no SPI wiring test first
    hub_set_power_en_i2c(0, 1);
    g_chain_id[0] = 0, g_chain_id[1] = 1, g_chain_id[2] = 2;  // the I2C supply's chains
    for (int i = 0; i < 3; i++) params[i].chain_id = g_chain_id[i];
    const size_t before = voltage_reads();
    kos::TestClock clock;
    EXPECT_EQ(kmx_chain_detect_all(0x7, params, true, false), 0);
    EXPECT_EQ(voltage_reads(), before + 1) << "no look came due, so one closing feed";
}

TEST(Wakeup, TimesOutInMachineTimeUnlessSignalled) {
    kos::Wakeup w;
    // On the real clock a wait never ends early: 50 ms of machine time is
    // 50 ms / scale of the host's.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(w.wait_us(50000));
    EXPECT_GE(elapsed_ms(t0), 50.0 / kos::time_scale());

    // On a test clock, a waiting thread against the clock the test moves.
    kos::TestClock clock;
    const uint64_t start = clock.now_us();
    // A signal given before the wait is kept for it, and used up by it.
    w.signal();
    EXPECT_TRUE(w.wait_us(5000000));
    EXPECT_EQ(clock.now_us(), start);
    bool first = true, second = false, third = true;
    uint64_t first_end = 0;
    std::thread waiter([&] {
        first = w.wait_us(50000);
        first_end = kos::mono_us();
        second = w.wait_us(5000000);
        third = w.wait_us(1000);
    });
    ASSERT_TRUE(clock.wait_sleepers(1));
    clock.advance_us(49999);
    clock.advance_us(1);  // the first wait times out; the second begins
    ASSERT_TRUE(clock.wait_sleepers(1));
    w.signal();  // ends the second wait
    ASSERT_TRUE(clock.wait_sleepers(1));
    clock.advance_us(1000);  // the signal was used up: the third times out
    waiter.join();
    EXPECT_FALSE(first);
    EXPECT_EQ(first_end, start + 50000);
    EXPECT_TRUE(second);
    EXPECT_FALSE(third);
    EXPECT_EQ(clock.now_us(), start + 51000);
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
    // At scale 1, so that a spin of a few microseconds shows on the clock.
    const double scale = kos::time_scale();
    kos::set_time_scale(1);
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
    kos::set_time_scale(scale);
    EXPECT_EQ(g_seen, (std::vector<uint64_t>{3, 2000, 0, 700}));
    EXPECT_FALSE(g_took_less);
}

}  // namespace
