// A chain brought up end to end: the chain probe runs inside an emulated
// machine whose board in slot 0 is healthy, short, dead or corrupting.
#include <gtest/gtest.h>

#include <string>

#include "support/machine_runner.h"

namespace {

MachineRun probe(const std::string &board_keys, int chips = 72) {
    const std::string desc = "{\"platform\":4,\"boards\":[{\"slot\":0,\"chip_type\":5,\"chips\":" +
                             std::to_string(chips) + board_keys + "}]}";
    return run_machine(desc, {build_path("kmx-chain-probe"), "4", "1", "72", "0"});
}

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

TEST(ChainProbe, HealthyChainAnswersItsChipCount) {
    MachineRun r = probe("");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: reset ok, chip type 5\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: BIST chip count 72\n")) << r.out;
    EXPECT_TRUE(has(r.out, "round trip same\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: chip 72 register read ok\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: job written, result read\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: auto nonce read\n")) << r.out;
}

TEST(ChainProbe, SilentChipShortensTheChain) {
    MachineRun r = probe(",\"silent_chip\":41");
    EXPECT_TRUE(has(r.out, "chain 0: BIST chip count 40\n")) << r.out;
    EXPECT_TRUE(has(r.out, "round trip same\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: chip 72 register read failed\n")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "chain0: ERROR - spi recv data invalid: 0A|00")) << r.syslog();
}

// A board with fewer chips than expected: the chips there answer, BIST
// counts only them, and the missing last chip's read fails on its echo.
TEST(ChainProbe, ShortChainCountsTheChipsThatAreThere) {
    MachineRun r = probe("", 60);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: BIST chip count 60\n")) << r.out;
    EXPECT_TRUE(has(r.out, "round trip same\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: job written, result read\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: chip 72 register read failed\n")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "chain0: ERROR - spi recv data invalid: 0A|00")) << r.syslog();
}

TEST(ChainProbe, CrcErrorsAreRefused) {
    MachineRun r = probe(",\"crc_error\":true");
    EXPECT_TRUE(has(r.out, "register write ok, read failed")) << r.out;
    EXPECT_TRUE(has(r.out, "result none")) << r.out;
    EXPECT_TRUE(has(r.out, "auto nonce none")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "hub_cmd_read_register spi crc error !")) << log;
    EXPECT_TRUE(has(log, "[chain0] hub_cmd_read_result spi crc error !")) << log;
    EXPECT_TRUE(has(log, "spi_rx len:8 ! crc: 0x")) << log;
    EXPECT_TRUE(has(log, "hub_cmd_read_nonce spi crc error !")) << log;
}

TEST(ChainProbe, DeadChainFails) {
    MachineRun r = probe(",\"dead\":true");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "chain 0: reset failed")) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: BIST chip count -1\n")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "chain0: ERROR - spi recv data invalid: 04|00")) << r.syslog();
}

}  // namespace
