// The command register writes the hub's SPI engine receives for each chip
// command, recorded between the driver and the emulated engine, and the
// chain-LED modes on the peripheral word.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "drv/hub.h"
#include "drv/hub_cmd.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "drv/kmx_chip_frame.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

using Cmds = std::vector<uint32_t>;

// Every value written to a chain's command register, in order. `drop_send`
// loses the n-th send command (0xA5/0xB5) of chain 0 on the way, as a
// glitch on the bus would: the engine never starts that frame.
struct Recorder {
    std::mutex lock;
    Cmds cmds[8];
    int sends = 0;
    int drop_send = 0;
};
Recorder g_rec;
kos::ActiveFactory g_engine_factory = nullptr;

class RecordingEngine : public kos::ActiveWindow {
public:
    explicit RecordingEngine(kos::ActiveWindow *inner) : inner_(inner) {}
    ~RecordingEngine() override { delete inner_; }
    uint32_t read32(uint32_t off) override { return inner_->read32(off); }
    void write32(uint32_t off, uint32_t val) override {
        const uint32_t chain = off / 0x200;
        if (chain < 8 && off % 0x200 == HUB_SPI_CMD) {
            std::lock_guard<std::mutex> g(g_rec.lock);
            g_rec.cmds[chain].push_back(val);
            if (chain == 0 && (val == 0xA5 || val == 0xB5) && ++g_rec.sends == g_rec.drop_send) return;
        }
        inner_->write32(off, val);
    }

private:
    kos::ActiveWindow *inner_;
};

kos::ActiveWindow *make_recording_engine(uint32_t phys, uint32_t size) {
    kos::ActiveWindow *inner = g_engine_factory ? g_engine_factory(phys, size) : nullptr;
    return inner ? new RecordingEngine(inner) : nullptr;
}

Cmds take(int chain) {
    std::lock_guard<std::mutex> g(g_rec.lock);
    Cmds c;
    c.swap(g_rec.cmds[chain]);
    g_rec.sends = 0;
    return c;
}

int count_of(const Cmds &c, uint32_t v) {
    int n = 0;
    for (uint32_t x : c) n += x == v;
    return n;
}

class ChipCmdWire : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kos::sim_devices_ready();
        g_engine_factory = kos::active_window_factory(HUB_SPI_PHY);
        ASSERT_NE(g_engine_factory, nullptr);
        kos::register_active_window(HUB_SPI_PHY, make_recording_engine);
        g_platform = ZYNQ_HUB_B13;
        hub_init();
        init_kmx_gpio();
    }
    void SetUp() override {
        hub_set_power_en(0, 1);
        hub_set_reset(0, 1);
        hub_spi_init(0, 80);
        g_chip_type = 0;
        uint8_t in[2] = {0, 0}, out[4];
        ASSERT_TRUE(hub_cmd_reset(0, 0, in, out));
        take(0);
        g_rec.drop_send = 0;
    }
};

// Jobs go from the highest chip down: only the frame for chip 1 closes the
// batch (0xA5) and waits for the engine to go idle, which pops and clears
// the status (0x800, 0x2, 0x0); the others are queued with 0xB5 and left.
TEST_F(ChipCmdWire, OnlyTheJobForChipOneClosesTheBatch) {
    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, 3, 0x11};
    ASSERT_TRUE(hub_cmd_write_job(0, 3, job, 160));
    EXPECT_EQ(take(0), (Cmds{0xB5}));
    job[1] = 2;
    ASSERT_TRUE(hub_cmd_write_job(0, 2, job, 160));
    EXPECT_EQ(take(0), (Cmds{0xB5}));
    job[1] = 1;
    ASSERT_TRUE(hub_cmd_write_job(0, 1, job, 160));
    EXPECT_EQ(take(0), (Cmds{0xA5, 0x800, 0x2, 0x0}));
    // A broadcast job is not the last of a batch either.
    job[1] = 0;
    ASSERT_TRUE(hub_cmd_write_job(0, 0, job, 160));
    EXPECT_EQ(take(0), (Cmds{0xB5}));
}

// Register 0x06 is asked three times in a row, each one a full exchange
// (send, pop the reply, clear).
TEST_F(ChipCmdWire, Register06IsSentThreeTimes) {
    uint8_t in[6] = {1, 2, 3, 4, 5, 6}, out[16] = {};
    ASSERT_TRUE(hub_cmd_read_reg06(0, 7, in, 6, out));
    const Cmds one = {0xA5, 0x800, 0x800, 0x2, 0x0};
    Cmds three;
    for (int i = 0; i < 3; i++) three.insert(three.end(), one.begin(), one.end());
    EXPECT_EQ(take(0), three);
}

TEST_F(ChipCmdWire, Register06StopsAtTheFirstFailedSend) {
    uint8_t in[6] = {1, 2, 3, 4, 5, 6}, out[16] = {};
    g_rec.drop_send = 2;
    EXPECT_FALSE(hub_cmd_read_reg06(0, 7, in, 6, out));
    const Cmds c = take(0);
    EXPECT_EQ(count_of(c, 0xA5), 2);
    g_rec.drop_send = 1;
    EXPECT_FALSE(hub_cmd_read_reg06(0, 7, in, 6, out));
    EXPECT_EQ(count_of(take(0), 0xA5), 1);
    g_rec.drop_send = 3;
    EXPECT_FALSE(hub_cmd_read_reg06(0, 7, in, 6, out));
    EXPECT_EQ(count_of(take(0), 0xA5), 3);
}

// Chain LED modes: 1 lights (bit set), 0 darkens, any other mode leaves the
// bit as it was; the board LEDs beside it are untouched.
TEST_F(ChipCmdWire, ChainLedTakesOnlyModesZeroAndOne) {
    Xil_Peripheral_Out32(HUB_LED, 0x600);
    hub_set_led(3, 1);
    EXPECT_EQ(Xil_Peripheral_In32(HUB_LED), 0x608u);
    for (int mode : {2, 3, -1, 255}) {
        hub_set_led(3, mode);
        EXPECT_EQ(Xil_Peripheral_In32(HUB_LED), 0x608u) << mode;
    }
    hub_set_led(3, 0);
    EXPECT_EQ(Xil_Peripheral_In32(HUB_LED), 0x600u);
    for (int mode : {2, 7}) {
        hub_set_led(3, mode);
        EXPECT_EQ(Xil_Peripheral_In32(HUB_LED), 0x600u) << mode;
    }
    kmx_set_led(4, 1);
    kmx_set_led(4, 2);
    EXPECT_EQ(Xil_Peripheral_In32(HUB_LED), 0x610u);
}

}  // namespace
