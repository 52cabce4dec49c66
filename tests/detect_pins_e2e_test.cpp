// Chain detection end to end through the stand-in miner: the one-shot
// detection callback, and a chain whose link fails at the work SPI speed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

int count(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

MachineRun detect(const std::string &boards, std::vector<std::string> extra) {
    const std::string desc = R"({"platform":4,"uboot":{"image_flag":"0","standby":"0"},)"
                             R"("files":{"/etc/hwrevision":"zynq n5.b\n"},"boards":)" +
                             boards + "}";
    std::vector<std::string> cmd = {build_path("kmx-miner"), "--detect-only"};
    cmd.insert(cmd.end(), extra.begin(), extra.end());
    return run_machine(desc, cmd);
}

// The callback runs once in the process's life, with the chain that first
// detected its chips and the chip type of the reset reply; neither the
// other chains nor a second detection run it again.
TEST(DetectCallback, RunsOnceWithTheFirstChainAndItsChipType) {
    for (bool quick : {false, true}) {
        std::vector<std::string> args = {"--chains", "3", "--chips", "12", "--callback", "--again", "7"};
        if (quick) args.push_back("--quick");
        MachineRun r = detect(R"([{"slot":0,"chips":12,"chip_type":11},{"slot":1,"chips":12,"chip_type":11},)"
                              R"({"slot":4,"chips":12,"chip_type":11}])",
                              args);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(count(r.out, "callback "), 1) << r.out;
        EXPECT_TRUE(has(r.out, "detected 3 chains\n")) << r.out;
        EXPECT_TRUE(has(r.out, "detected again 3 chains\n")) << r.out;
        if (!quick) {
            // Serial start: slot 0 is brought up first.
            EXPECT_TRUE(has(r.out, "callback chain0 type11\n")) << r.out;
        } else {
            EXPECT_TRUE(has(r.out, " type11\n")) << r.out;
        }
        // The callback comes after the chip count and before detection ends.
        EXPECT_LT(r.out.find("callback "), r.out.find("detected 3 chains")) << r.out;
    }
}

// Slot 1's link holds up to clock index 2 (the ramp's own speed) but not the
// work speed the miner asks for (index 3): after the switch the voltage cannot be
// read, error 51 is raised for the chain and it is powered down; the others
// come up.
TEST(DetectErrors, VoltageUnreadableAtWorkSpeedRaises51) {
    MachineRun r = detect(R"([{"slot":0,"chips":12},{"slot":1,"chips":12,"max_spi_speed":2},{"slot":2,"chips":12}])",
                          {"--chains", "3", "--chips", "12", "--spi-speed", "3"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 2 chains\n")) << r.out;
    EXPECT_TRUE(has(r.out, "bring-up chain1: down")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: set spi speed 3")) << log;
    EXPECT_TRUE(has(log, "chain1: failed to read voltage")) << log;
    EXPECT_TRUE(has(log, "chain1: detect failed")) << log;
    EXPECT_EQ(count(log, "chain1: detected 12 chips"), 1) << "no second attempt\n" << log;
    const std::string errs = r.file("/tmp/errlog");
    EXPECT_TRUE(has(errs, "/2/51/SPI_HIGHSPEED.chain(2).chip(1).msg()")) << errs;
    EXPECT_FALSE(has(errs, "/1/51/")) << errs;
    EXPECT_FALSE(has(errs, "/3/51/")) << errs;

    // The same board at a speed it holds comes up.
    MachineRun ok = detect(R"([{"slot":0,"chips":12,"max_spi_speed":3}])",
                           {"--chains", "1", "--chips", "12", "--spi-speed", "3"});
    EXPECT_TRUE(has(ok.out, "detected 1 chains\n")) << ok.out;
    EXPECT_FALSE(has(ok.file("/tmp/errlog"), "/51/")) << ok.file("/tmp/errlog");
}

// Serial start: while slot 2 is being brought up the poller keeps reading
// the temperatures of slots 0 and 1, whose sensors fall silent; both are
// shut down. Detection then counts them out and raises error 40 for the
// first chain that had finished alive and dropped out, and for it only.
TEST(DetectErrors, ChainsDroppingOutAfterBringUpRaiseOne40) {
    const std::string script =
        // A slower machine clock leaves time to silence the sensors while
        // slot 2 is still coming up.
        "KMX_TIME_SCALE=20 " + build_path("kmx-miner") + " --detect-only --chains 3 --chips 12 > /tmp/miner.out 2>&1 &\n"
        "for i in $(seq 6000); do grep -q 'chain1: detect finished' /run/sim/syslog.log && break; sleep 0.01; done\n"
        "echo 'silent 0' > /run/sim/chips0; echo 'silent 0' > /run/sim/chips1\n"
        "wait; cat /tmp/miner.out\n";
    const std::string desc = R"({"platform":4,"uboot":{"image_flag":"0","standby":"0"},)"
                             R"("files":{"/etc/hwrevision":"zynq n5.b\n"},"boards":)"
                             R"([{"slot":0,"chips":12},{"slot":1,"chips":12},{"slot":2,"chips":12}]})";
    MachineRun r = run_machine(desc, {"bash", "-c", script});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 1 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain0: failed to read temperature for 5 times, SHUTDOWN")) << log;
    EXPECT_TRUE(has(log, "chain1: failed to read temperature for 5 times, SHUTDOWN")) << log;
    EXPECT_TRUE(has(log, "chain2: detect finished")) << log;
    EXPECT_TRUE(has(log, "chain detect finished. 1 chains detected.")) << log;
    const std::string errs = r.file("/tmp/errlog");
    EXPECT_TRUE(has(errs, "/1/40/PSU_LOW_POWER.chain(1).chip().msg()")) << errs;
    EXPECT_FALSE(has(errs, "/2/40/")) << errs;
    EXPECT_FALSE(has(errs, "/3/40/")) << errs;
}

}  // namespace
