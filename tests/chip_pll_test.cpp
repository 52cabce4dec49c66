// The emulated chips' PLL: the lock bit after the configured delay, and a
// chip that cannot run from a given frequency on (machine pll_board.json:
// 4 chips, lock after 600 s of machine time, chip 3 fails from 1200 MHz).
#include <gtest/gtest.h>

#include <cstring>

#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/hub_tables.h"

namespace {

class ChipPll : public ::testing::Test {
protected:
    static void SetUpTestSuite() { use_fpga_hub_tables(); }
    void SetUp() override {
        g_chip_num = 4;
        hub_set_power_en(0, 1);
        hub_set_reset(0, 1);
        hub_spi_init(0, 4);
    }
    static uint8_t byte0(uint8_t chip) {
        uint8_t r[12] = {};
        EXPECT_TRUE(kmx_cmd_read_register(0, chip, r, 12));
        return r[0];
    }
    // Machine time moves only with the test's sleeps (and the protocol's own
    // pauses): the delay is checked on both sides of its end.
    kos::TestClock clock_;
};

TEST_F(ChipPll, LockBitSetsAfterTheDelay) {
    uint8_t img[12] = {0x80, 0x03, 0x84, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // 900 MHz
    ASSERT_TRUE(kmx_cmd_write_register(0, 0, img, 12));
    EXPECT_EQ(byte0(2) & 0x40, 0);
    kos::sleep_s(599);
    EXPECT_EQ(byte0(2) & 0x40, 0);
    kos::sleep_s(1);
    EXPECT_EQ(byte0(2) & 0x40, 0x40);
    // Images that are not PLL settings read back as written.
    uint8_t plain[12] = {0x11, 0x22};
    ASSERT_TRUE(kmx_cmd_write_register(0, 1, plain, 12));
    EXPECT_EQ(byte0(1), 0x11);
}

TEST_F(ChipPll, ChipFailsFromItsLevelOn) {
    uint8_t ok[12] = {0x80, 0x04, 0xAF};    // 1199 MHz
    uint8_t bad[12] = {0x80, 0x04, 0xB0};   // 1200 MHz
    ASSERT_TRUE(kmx_cmd_write_register(0, 0, ok, 12));
    EXPECT_FALSE(kmx_cmd_write_register(0, 0, bad, 12));  // no reply
    EXPECT_FALSE(kmx_cmd_write_register(0, 3, bad, 12));
    EXPECT_TRUE(kmx_cmd_write_register(0, 4, bad, 12));
    uint8_t r[12] = {};
    ASSERT_TRUE(kmx_cmd_read_register(0, 3, r, 12));
    EXPECT_EQ(r[2], 0xAF);  // chip 3 kept the level it can run
    ASSERT_TRUE(kmx_cmd_read_register(0, 2, r, 12));
    EXPECT_EQ(r[2], 0xB0);  // the others took the broadcast
}

}  // namespace
