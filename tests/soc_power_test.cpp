// On the SoC hub a chain's chips answer only while the slot's power-enable
// and reset pads are driven high; dropping either loses the chips' state.
#include <gtest/gtest.h>

#include "drv/hub.h"
#include "drv/hub_cmd.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

namespace {

class SocPower : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_platform = SOC;
        soc_hub_init();
        init_kmx_gpio();
    }
    static bool reset_and_count(uint8_t c, int want) {
        uint8_t in[2] = {0, 0}, out[4];
        return hub_cmd_reset(c, 0, in, out) && hub_cmd_bist_start(c, 0) == want;
    }
};

TEST_F(SocPower, ChainsAnswerOnlyWithPowerAndResetReleased) {
    for (uint8_t c : {0, 3}) hub_spi_init(c, 80);
    // Nothing driven yet: no chain answers.
    EXPECT_FALSE(reset_and_count(0, 80));
    soc_hub_set_power_en(0, 1);
    EXPECT_FALSE(reset_and_count(0, 80));  // still held in reset
    soc_hub_set_reset(0, 1);
    EXPECT_TRUE(reset_and_count(0, 80));
    // Each slot has its own pads: slot 3 is still off.
    EXPECT_FALSE(reset_and_count(3, 80));
    soc_hub_set_power_en(3, 1);
    soc_hub_set_reset(3, 1);
    EXPECT_TRUE(reset_and_count(3, 80));
    // Reset asserted: the chips forget their ids and do not answer.
    soc_hub_set_reset(0, 0);
    EXPECT_FALSE(reset_and_count(0, 80));
    soc_hub_set_reset(0, 1);
    EXPECT_TRUE(reset_and_count(0, 80));
    soc_hub_set_power_en(3, 0);
    EXPECT_FALSE(reset_and_count(3, 80));
}

}  // namespace
