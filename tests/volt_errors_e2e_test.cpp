// The voltage errors of chain bring-up end to end through the stand-in
// miner: 26 (the core voltage cannot be set or calibrated) and 28 (the chain
// voltage cannot be read), as the error files show them to their readers.
// The emulated chips' core voltage follows the VID their regulator took
// (420 mV at VID 0, 3 mV lower per VID); a board with "min_mv" browns out
// below it: its chips stop answering.
//
// Each machine runs two chain positions with one board: slot 1 is missing,
// so error 21 is the machine's current code when bring-up starts. An error
// raised without the overwrite flag leaves /tmp/errcode at 21; one raised
// with it takes the machine's code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/machine_runner.h"
#include "support/text_search.h"

namespace {

std::string machine(const std::string &board) {
    return R"({"platform":4,"uboot":{"image_flag":"0","standby":"0"},)"
           R"("files":{"/etc/hwrevision":"zynq n5.b\n"},"boards":[)" +
           board + "]}";
}

MachineRun detect(const std::string &board, std::vector<std::string> extra) {
    std::vector<std::string> cmd = {build_path("kmx-miner"), "--detect-only", "--chains", "2", "--chips", "12"};
    cmd.insert(cmd.end(), extra.begin(), extra.end());
    return run_machine(machine(board), cmd);
}

const std::string kStill21 = "21\nNOT_PLUGGED.chain(2).chip().msg()\n";

// Work VID 10 (390 mV), then the calibration to 360 mV jumps to VID 20
// (360 mV): the board browns out below 380 mV and the search's read fails.
// Error 26 for the chain, no chip list, no overwrite; no second attempt.
TEST(VoltErrors, CalibrationReadFailingAfterBringUpRaises26) {
    MachineRun r = detect(R"({"slot":0,"chips":12,"min_mv":380})", {"--vid", "10", "--vol", "360"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 0 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain0 find_chain_vid: start_vid = 10, target_volt = 360.0")) << log;
    EXPECT_TRUE(has(log, "Chain 0 VID 10 voltage 390.0")) << log;
    EXPECT_FALSE(has(log, "Chain 0 VID 20 voltage")) << log;
    EXPECT_EQ(count(log, "chain0: voltage calibration"), 1) << log;
    EXPECT_TRUE(has(log, "chain0: detect failed")) << log;
    EXPECT_EQ(r.file("/tmp/errcode"), kStill21);
    EXPECT_TRUE(has(r.file("/tmp/errchain"), "1/26/SETVOL_FAIL.chain(1).chip().msg()\n")) << r.file("/tmp/errchain");
    EXPECT_TRUE(has(r.file("/tmp/errlog"), "/1/26/SETVOL_FAIL.chain(1).chip().msg()\n")) << r.file("/tmp/errlog");
    EXPECT_FALSE(has(r.file("/tmp/errlog"), "/28/")) << r.file("/tmp/errlog");

    // The same board at a target it can run at comes up at the VID found.
    MachineRun ok = detect(R"({"slot":0,"chips":12,"min_mv":380})", {"--vid", "10", "--vol", "381"});
    EXPECT_TRUE(has(ok.out, "bring-up chain0: up chips 12 pll 600MHz vid 13 voltage 381mV")) << ok.out;
    EXPECT_FALSE(has(ok.file("/tmp/errlog"), "/26/")) << ok.file("/tmp/errlog");
}

// The voltage ramp (no work VID given) calibrates from V1 = 10 after BIST:
// the same brown-out fails it with error 26 and its chip dump. The chain is
// tried five times, each time by voltage again: the failed search's -1 is
// not taken for a work VID.
TEST(VoltErrors, VoltRampCalibrationFailureRaises26AtEachAttempt) {
    MachineRun r = detect(R"({"slot":0,"chips":12,"min_mv":380})", {"--vid", "0", "--vol", "360"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 0 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "chain0: set core voltage to 360mV"), 5) << log;
    EXPECT_EQ(count(log, "chain0: failed to do volage calibration"), 5) << log;
    EXPECT_EQ(count(log, "chain0: failed in kmx_chain_set_pll_volt()"), 5) << log;
    EXPECT_EQ(count(log, "[chain0 volt]"), 5) << log;
    EXPECT_TRUE(has(log, "chain0: failed to startup for 5 times, SHUTDOWN")) << log;
    EXPECT_FALSE(has(log, "start_vid = -1")) << log;
    EXPECT_FALSE(has(log, "set vid 10 -> -1")) << log;
    EXPECT_EQ(r.file("/tmp/errcode"), kStill21);
    EXPECT_TRUE(has(r.file("/tmp/errchain"), "1/26/SETVOL_FAIL.chain(1).chip().msg()\n")) << r.file("/tmp/errchain");
}

// A board described with its chips only comes up under the mining program
// at the voltage of its work VID whichever road carries it: the hub's pulse
// waveform (the VID itself) or the UART (subtype 48), whose frame carries
// the code of the miner's map for VID 13, 104 (0x68): 381 mV either way.
TEST(VoltErrors, WorkVidGivesTheSameVoltageOnTheWaveformAndTheUart) {
    for (const char *subtype : {"0", "48"}) {
        MachineRun r = detect(R"({"slot":0,"chips":12})", {"--subtype", subtype, "--vid", "13"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(has(r.out, "bring-up chain0: up chips 12 pll 600MHz vid 13 voltage 381mV")) << subtype << r.out;
        const std::string uart = r.file("/run/sim/uart.log");
        EXPECT_EQ(has(uart, "/dev/ttyPS1 AA 02 01 68 95\n"), std::string(subtype) == "48") << subtype << uart;
    }
}

// A work VID past the end of the regulator's map (32 codes): the step to
// VID 32 fails three times, 500 ms apart; error 26 with the overwrite flag
// becomes the machine's code and is written out at once.
TEST(VoltErrors, VidStepFailingThreeTimesRaises26WithOverwrite) {
    // Subtype 48 sets its VIDs by UART frames through the map.
    MachineRun r = detect(R"({"slot":0,"chips":12})", {"--subtype", "48", "--vid", "70"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 0 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "chain0: failed to set VID 32, retry(1)"), 5) << log;
    EXPECT_EQ(count(log, "chain0: failed to set VID 32, retry(2)"), 5) << log;
    EXPECT_FALSE(has(log, "retry(3)")) << log;
    EXPECT_EQ(count(log, "chain0: failed to set VID 32 for 3 times"), 5) << log;
    EXPECT_EQ(count(log, "chain0: failed to set VID\n"), 5) << log;
    EXPECT_EQ(r.file("/tmp/errcode"), "26\nSETVOL_FAIL.chain(1).chip().msg()\n");
    EXPECT_TRUE(has(r.file("/tmp/errlog"), "/1/26/SETVOL_FAIL.chain(1).chip().msg()\n")) << r.file("/tmp/errlog");
    // Each attempt took the regulator to the map's last VID (31: code 0xFF)
    // and sent nothing past it.
    EXPECT_EQ(count(r.file("/run/sim/uart.log"), "/dev/ttyPS1 AA 02 01 FF FE\n"), 5) << r.file("/run/sim/uart.log");
}

// Subtypes of the grouped ramp reach the SPI switch and mid frequencies at
// one level: the first read at SPI speed 2 is the start-up voltage's. A
// board whose link holds only up to speed 1 fails it: error 28 with the
// failing chip and the overwrite flag, at each of the five attempts.
TEST(VoltErrors, StartupVoltageUnreadableAtSpeedTwoRaises28WithOverwrite) {
    MachineRun r = detect(R"({"slot":0,"chips":12,"max_spi_speed":1})", {"--subtype", "64"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 0 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "chain0: failed to read startup voltage"), 5) << log;
    EXPECT_EQ(count(log, "chain0: failed in kmx_chain_set_pll_vid()"), 5) << log;
    EXPECT_EQ(r.file("/tmp/errcode"), "28\nSPI_FAIL.chain(1).chip(1).msg()\n");
    EXPECT_TRUE(has(r.file("/tmp/errchain"), "1/28/SPI_FAIL.chain(1).chip(1).msg()\n")) << r.file("/tmp/errchain");

    // At speed 2 it holds, and comes up.
    MachineRun ok = detect(R"({"slot":0,"chips":12,"max_spi_speed":2})", {"--subtype", "64"});
    EXPECT_TRUE(has(ok.out, "bring-up chain0: up chips 12")) << ok.out;
    EXPECT_FALSE(has(ok.file("/tmp/errlog"), "/28/")) << ok.file("/tmp/errlog");
}

// The first VID step (0 -> 10, 420 -> 390 mV) browns out a board that needs
// 395 mV: the read after it fails with error 28, the failing chip, no
// overwrite; at 390 mV it holds.
TEST(VoltErrors, VoltageUnreadableAfterTheVidStepRaises28) {
    MachineRun r = detect(R"({"slot":0,"chips":12,"min_mv":395})", {});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 0 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "chain0: set vid 0 -> 10, g_chip_type:0"), 5) << log;
    EXPECT_EQ(count(log, "chain0: failed to read voltage"), 5) << log;
    EXPECT_FALSE(has(log, "failed to read startup voltage")) << log;
    EXPECT_EQ(r.file("/tmp/errcode"), kStill21);
    EXPECT_TRUE(has(r.file("/tmp/errchain"), "1/28/SPI_FAIL.chain(1).chip(1).msg()\n")) << r.file("/tmp/errchain");

    MachineRun ok = detect(R"({"slot":0,"chips":12,"min_mv":390})", {});
    EXPECT_TRUE(has(ok.out, "bring-up chain0: up chips 12")) << ok.out;
    EXPECT_FALSE(has(ok.file("/tmp/errlog"), "/28/")) << ok.file("/tmp/errlog");
}

// Calibration to 389 mV from VID 10 (390 mV) tries VID 11 (387 mV), finds
// the shortfall larger and steps back to 10, waiting 500 ms. In that wait
// `control` goes to the chips' control file (appended, or with `write` ">"
// in its place); the machine's clock runs at
// the board's pace so the wait is a real 500 ms. The miner's output follows
// the script's.
MachineRun calibrate_then(const std::string &control, const char *write = ">>") {
    const std::string script =
        "KMX_TIME_SCALE=1 " + build_path("kmx-miner") +
        " --detect-only --chains 2 --chips 12 --vid 10 --vol 389 > /tmp/miner.out 2>&1 &\n"
        "m=$!\n"
        // Each wait ends with the miner, should the state never come.
        "until grep -q 'Chain 0 VID 11 voltage' /run/sim/syslog.log || ! kill -0 $m 2>/dev/null; do sleep 0.01; done\n"
        // The step back: the regulator holds VID 10 again.
        "until grep -qx 'vid 10' /run/sim/regulator0 || ! kill -0 $m 2>/dev/null; do sleep 0.01; done\n"
        "echo '" + control + "' " + write + " /run/sim/chips0\n"
        "wait; cat /tmp/miner.out\n";
    return run_machine(machine(R"({"slot":0,"chips":12})"), {"bash", "-c", script});
}

// Chip 3 falls silent in the wait: the read after the calibration fails
// with error 28 naming chip 3, no overwrite, and the chain is lost for good.
TEST(VoltErrors, VoltageUnreadableAfterCalibrationRaises28) {
    MachineRun r = calibrate_then("silent 3");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 0 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Chain 0 VID 10 voltage 390.0")) << log;
    EXPECT_TRUE(has(log, "Chain 0 VID 11 voltage 387.0")) << log;
    EXPECT_TRUE(has(log, "failed to read voltage for chain0 chip3")) << log;
    EXPECT_EQ(count(log, "chain0: failed to read voltage"), 1) << log;
    EXPECT_EQ(count(log, "chain0: voltage calibration"), 1) << log;
    EXPECT_TRUE(has(log, "chain0: detect failed")) << log;
    EXPECT_EQ(r.file("/tmp/errcode"), kStill21);
    EXPECT_TRUE(has(r.file("/tmp/errchain"), "1/28/SPI_FAIL.chain(1).chip(3).msg()\n")) << r.file("/tmp/errchain");
    EXPECT_FALSE(has(r.file("/tmp/errlog"), "/26/")) << r.file("/tmp/errlog");
}

// In the wait the chips start refusing register writes: the switch of their
// sensors to voltage mode fails, so the read after the calibration fails
// with error 28 for the whole chain (chip 0: the refused write went to
// every chip), instead of taking the temperature codes the chips still
// answer for a voltage and bringing the chain up.
TEST(VoltErrors, RefusedSensorSwitchAfterCalibrationRaises28) {
    MachineRun r = calibrate_then("fail 09");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 0 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Chain 0 VID 11 voltage 387.0")) << log;
    EXPECT_TRUE(has(log, "chain0: failed to switch the sensors to voltage mode")) << log;
    EXPECT_EQ(count(log, "chain0: failed to read voltage"), 1) << log;
    EXPECT_FALSE(has(log, "chain0: detect finished")) << log;
    EXPECT_EQ(r.file("/tmp/errcode"), kStill21);
    EXPECT_TRUE(has(r.file("/tmp/errchain"), "1/28/SPI_FAIL.chain(1).chip(0).msg()\n")) << r.file("/tmp/errchain");
}

// The regulator keeps its setting apart from the chips' controls: a test
// that rewrites the controls file in the wait leaves the core voltage at
// VID 10's, and the chain comes up.
TEST(VoltErrors, ControlsRewrittenInTheWaitKeepTheVoltage) {
    MachineRun r = calibrate_then("temp 0 60", ">");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "bring-up chain0: up chips 12")) << r.out;
    EXPECT_TRUE(has(r.out, "vid 10 voltage 390mV")) << r.out;
    EXPECT_EQ(r.file("/run/sim/regulator0"), "vid 10\n");
}

}  // namespace
