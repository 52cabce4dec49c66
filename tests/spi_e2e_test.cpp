// Direct-SPI start-up end to end: the probe starts platform 1 or 2 inside an
// emulated machine with boards in given slots and talks to every chain found
// over the emulated spidev nodes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/machine_runner.h"

namespace {

std::string desc(int platform, const std::vector<int> &slots) {
    std::string boards;
    for (int s : slots) {
        if (!boards.empty()) boards += ",";
        boards += "{\"slot\":" + std::to_string(s) + ",\"chip_type\":0,\"chips\":" + std::to_string(10 + s) + "}";
    }
    return "{\"platform\":" + std::to_string(platform) + ",\"boards\":[" + boards + "]}";
}

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

TEST(SpiStartup, TwoChainsOnPlatformOne) {
    MachineRun r = run_machine(desc(1, {1, 6}), {build_path("kmx-spi-probe"), "1", "2", "20"});
    ASSERT_EQ(r.status, 0) << r.out << r.syslog();
    EXPECT_TRUE(has(r.out, "chains 2: 1 6\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 1: reset ok 04 0B 00 00 bist 11 register ok\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 6: reset ok 04 10 00 00 bist 16 register ok\n")) << r.out;
    // The fabric clock was exported on this fresh boot and set for 1.5 MHz.
    EXPECT_EQ(r.file("/run/sim/sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate"), "24000000");
}

TEST(SpiStartup, PlatformTwoWithOneBoard) {
    MachineRun r = run_machine(desc(2, {3}), {build_path("kmx-spi-probe"), "2", "1", "20"});
    ASSERT_EQ(r.status, 0) << r.out << r.syslog();
    EXPECT_TRUE(has(r.out, "chain 3: reset ok 04 0D 00 00 bist 13 register ok\n")) << r.out;
}

TEST(SpiStartup, SingleBoardComputerIsRefused) {
    MachineRun r = run_machine(desc(32, {0}), {build_path("kmx-spi-probe"), "32", "1", "20"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(has(r.out, "chains")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "the platform is undefined !!!")) << r.syslog();
}

}  // namespace
