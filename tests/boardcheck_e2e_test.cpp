// The board test end to end: options, argument files, plug detection, one
// chain through the test and the report with its result file, each run in
// an emulated machine of its own.
#include <gtest/gtest.h>

#include <string>

#include "support/machine_runner.h"

namespace {

std::string desc(const std::string &boards, const std::string &files = "") {
    std::string d = R"({"platform": 4, "straps": {"board_code": 15}, "boards": [)" + boards + "]";
    if (!files.empty()) d += R"(, "files": {)" + files + "}";
    return d + "}";
}
const std::string kOneBoard = desc(R"({"slot": 1, "chip_type": 0, "chips": 68})");
const std::string kNoBoard = desc("");

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }
size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

const char *kBanner = "boardcheck local0.info Name           : Qx SW Pre-Fin Test\n";

TEST(BoardcheckOptions, NoArgumentsEndsBeforeTheBanner) {
    MachineRun r = run_machine(kOneBoard, {"boardcheck"});
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "boardcheck local0.info \\nEnter main... [Sep 18 2020 16:20:17]\n")) << log;
    EXPECT_TRUE(has(log, "boardcheck local0.err [ERROR]:Parameter is NULL!\n")) << log;
    EXPECT_FALSE(has(log, kBanner));
    EXPECT_EQ(r.file("/tmp/mtest"), "");
}

TEST(BoardcheckOptions, ChainOutsideOneToEightIsRefusedWithItsZeroBasedValue) {
    for (const auto &[arg, shown] : {std::pair{"9", "8"}, std::pair{"0", "-1"}}) {
        MachineRun r = run_machine(kOneBoard, {"boardcheck", "-s", arg});
        EXPECT_EQ(r.status, 0);
        const std::string log = r.syslog();
        EXPECT_TRUE(has(log, std::string("[ERROR]:Input test chain is invalid:") + shown + "!")) << log;
        EXPECT_FALSE(has(log, kBanner)) << log;
        EXPECT_FALSE(has(log, "mmap spi")) << "hardware touched:\n" << log;
    }
}

TEST(BoardcheckOptions, FixedFrequencyAndVidNeedBothNonZero) {
    MachineRun r = run_machine(kOneBoard, {"boardcheck", "-s", "2", "900", "30"});
    std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Input test chain:1!")) << log;
    EXPECT_TRUE(has(log, "nums_arg:5")) << log;
    EXPECT_TRUE(has(log, "Input pll:900 vid:30!")) << log;
    EXPECT_TRUE(has(log, kBanner));

    r = run_machine(kOneBoard, {"boardcheck", "-s", "2", "900", "0"});
    log = r.syslog();
    EXPECT_TRUE(has(log, "Input test chain:1!")) << log;
    EXPECT_FALSE(has(log, "Input pll:")) << log;
}

TEST(BoardcheckOptions, ArgumentFileBehavesLikeTheCommandLine) {
    MachineRun r = run_machine(desc(R"({"slot": 0, "chip_type": 0, "chips": 68})",
                                    R"("/tmp/args": "-s 1 850 28\n")"),
                               {"boardcheck", "-c", "/tmp/args"});
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "conf parameter:-s 1 850 28\n")) << log;
    EXPECT_TRUE(has(log, "args[0]: \n")) << log;
    EXPECT_TRUE(has(log, "args[1]:-s\n")) << log;
    EXPECT_TRUE(has(log, "Input test chain:0!")) << log;
    EXPECT_TRUE(has(log, "Input pll:850 vid:28!")) << log;
    EXPECT_TRUE(has(log, kBanner));
}

TEST(BoardcheckOptions, ArgumentFileTakesSevenTokensAndLongTokensStayEmpty) {
    MachineRun r = run_machine(kNoBoard, {"sh", "-c",
                                          "printf -- '-a 1 2 3 4 abcdefghijk 6 7 8\\n' >/tmp/args && boardcheck -c /tmp/args"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "local0.warning [WARNING]:conf arg num >= MAX_ARG_ITEM_LEN(8)")) << log;
    EXPECT_TRUE(has(log, "args[6]:\n")) << log;  // the 11-character token
    EXPECT_TRUE(has(log, "args[7]:6\n")) << log;
    EXPECT_FALSE(has(log, "args[8]")) << log;
    EXPECT_TRUE(has(log, "Test All chains!")) << log;
}

TEST(BoardcheckOptions, UnreadableArgumentFile) {
    MachineRun r = run_machine(kOneBoard, {"boardcheck", "-c", "/tmp/none"});
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "[ERROR]:read conf failed!")) << log;
    EXPECT_FALSE(has(log, kBanner));
}

TEST(BoardcheckDetect, NoBoardEndsWithoutReport) {
    MachineRun r = run_machine(kNoBoard, {"boardcheck", "-a"});
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Chain numbers: 0")) << log;
    EXPECT_TRUE(has(log, "local0.warning [WARNING]:No chain is plugged!")) << log;
    EXPECT_FALSE(has(log, "TEST OVER")) << log;
    EXPECT_FALSE(has(log, "Error ID description")) << log;
}

TEST(BoardcheckRun, PassingBoardIsReportedAndStored) {
    MachineRun r = run_machine(kOneBoard, {"boardcheck", "-a"});
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "GPIO value: f, Ctrl board/vid type: 0")) << log;
    EXPECT_TRUE(has(log, "final vid type: 5")) << log;
    EXPECT_TRUE(has(log, "Chain numbers: 1")) << log;
    EXPECT_TRUE(has(log, "chain1: detect chip type: 0")) << log;
    EXPECT_TRUE(has(log, "chain1: detect 68 chips, machine type: ")) << log;
    // State 5 runs twice: before power-on, and after the PLL step at the
    // speed the 900 MHz target asks for.
    EXPECT_EQ(count(log, "chain1: set spi speed 0"), 1u) << log;
    EXPECT_EQ(count(log, "chain1: set spi speed 3"), 1u) << log;
    EXPECT_TRUE(has(log, "chain1 power off")) << log;
    EXPECT_TRUE(has(log, "Test Passed!")) << log;
    EXPECT_TRUE(has(log, "TEST OVER!!!")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"2\": \"Pass\"\n}");
}

TEST(BoardcheckRun, OnlyTheTestedChainIsReported) {
    // Chip type 0 with 80 chips is no known machine type: the first chain
    // fails on the chip count. The other board was not tested: it gets no
    // report and no result. The chain already in the result file is kept.
    MachineRun r = run_machine(desc(R"({"slot": 0, "chip_type": 0, "chips": 80}, {"slot": 2, "chip_type": 0, "chips": 80})",
                                    R"("/tmp/mtest": "{\"8\": \"Pass\"}")"),
                               {"boardcheck", "-a"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Chain numbers: 2")) << log;
    EXPECT_TRUE(has(log, "chain0: detect 80 chips")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:chain0: Cannot get machine type!")) << log;
    EXPECT_FALSE(has(log, "chain2: detect")) << log;
    EXPECT_EQ(count(log, "Error ID description"), 1u) << log;
    EXPECT_EQ(count(log, "Result Summary"), 1u) << log;
    EXPECT_TRUE(has(log, "[ERROR]:\r\\nCHIP NUM ERROR !!! \n")) << log;
    EXPECT_TRUE(has(log, "E9: 0")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"8\": \"Pass\",\n    \"1\": \"E9: 0\"\n}");
}

TEST(BoardcheckRun, SelectedConnectorIsTheOneTestedAndReported) {
    const std::string two = desc(R"({"slot": 1, "chip_type": 0, "chips": 68}, {"slot": 5, "chip_type": 0, "chips": 80})");
    // -s 6 picks connector 5 although it is beyond the chain count (2).
    MachineRun r = run_machine(two, {"boardcheck", "-s", "6"});
    std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Input test chain:5!")) << log;
    EXPECT_TRUE(has(log, "chain5: detect 80 chips")) << log;
    EXPECT_FALSE(has(log, "chain1: detect")) << log;
    EXPECT_TRUE(has(log, "================ Chain5 Result")) << log;
    EXPECT_FALSE(has(log, "================ Chain1 Result")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"6\": \"E9: 0\"\n}");
    // -a tests the first board only; the untested one gets no "Pass".
    r = run_machine(two, {"boardcheck", "-a"});
    log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: detect 68 chips")) << log;
    EXPECT_FALSE(has(log, "chain5: detect")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"2\": \"Pass\"\n}");
}

TEST(BoardcheckRun, DeadBoardReportsChipTypeNotFound) {
    MachineRun r = run_machine(desc(R"({"slot": 3, "chip_type": 0, "chips": 68, "dead": true})",
                                    R"("/tmp/mtest": "not json")"),
                               {"boardcheck", "-s", "4"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "local0.warning [WARNING]:chain3: RESET failed 1 times")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:chain3: RESET failed 2 times")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:chain3: cann't find right chip type!!!")) << log;
    EXPECT_FALSE(has(log, "BISTSTART")) << log;
    EXPECT_TRUE(has(log, "chain3 power off")) << log;
    EXPECT_TRUE(has(log, "Test Failed!")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"4\": \"E0: 0\"\n}");
}

TEST(BoardcheckRun, LegendKeepsItsPercentSigns) {
    MachineRun r = run_machine(kOneBoard, {"boardcheck", "-a"});
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "local0.info E"), 20u) << log;
    EXPECT_TRUE(has(log, "E1: Chip good cores < 20% \n")) << log;
    EXPECT_TRUE(has(log, "E8: Board soft bist job results total error > 10% (N5 : > 20%)\n")) << log;
}

// ---- frequency and voltage ---------------------------------------------------------

TEST(BoardcheckFreq, FixedPairRampsThePllAndSetsTheVid) {
    MachineRun r = run_machine(kOneBoard, {"boardcheck", "-s", "2", "900", "30"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "local0.info working PLL frequency: 900MHz\n")) << log;
    EXPECT_TRUE(has(log, "local0.info Working VID :30\n")) << log;
    EXPECT_TRUE(has(log, "chain1: set vid to 30\n")) << log;
    EXPECT_TRUE(has(log, "chain1: set pll  900.00\n")) << log;
    EXPECT_TRUE(has(log, "chain1: set spi speed 3\n")) << log;
    EXPECT_TRUE(has(log, "Test Passed!")) << log;
    // VID 30 is code 246 on the UART regulator: AA 02 01 F6 07.
    EXPECT_TRUE(has(r.file("/run/sim/uart.log"), "/dev/ttyPS1 AA 02 01 F6 07")) << r.file("/run/sim/uart.log");
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"2\": \"Pass\"\n}");
}

TEST(BoardcheckFreq, PairOutOfRangeWarnsAndRunsWithTheDefaults) {
    MachineRun r = run_machine(kOneBoard, {"boardcheck", "-s", "2", "99999", "77"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "local0.warning [WARNING]:Invalid frequency : 99999MHz Use default: 900MHz\n")) << log;
    EXPECT_TRUE(has(log, "local0.warning [WARNING]:Invalid VID: 77! Use default: 25\n")) << log;
    EXPECT_TRUE(has(log, "chain1: set vid to 25\n")) << log;
    EXPECT_TRUE(has(log, "chain1: set pll  900.00\n")) << log;
    EXPECT_TRUE(has(r.file("/run/sim/uart.log"), "/dev/ttyPS1 AA 02 01 C9 34")) << r.file("/run/sim/uart.log");
}

TEST(BoardcheckFreq, ChipsRefusingThePllGiveE7WithTheLastFrequency) {
    // The chips do not take 600 MHz or more: the ramp of three rows a step
    // (120, 124.5 ... 597) fails at 612 MHz after five tries.
    MachineRun r = run_machine(desc(R"({"slot": 1, "chip_type": 0, "chips": 68, "pll_fail_mhz": 600})"),
                               {"boardcheck", "-s", "2"});
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "[WARNING]:Retry: Configure PLL retry "), 4u) << log;
    EXPECT_TRUE(has(log, "Retry: Configure PLL retry 4 times!")) << log;
    EXPECT_FALSE(has(log, "Retry: Configure PLL retry 5 times!")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:Failed: Configure PLL Failed!!!")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:\r\\nThe last freq is 612.0MHz \n")) << log;
    EXPECT_TRUE(has(log, "chain1 power off")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"2\": \"E7: 0\"\n}");
}

// ---- debug menu ------------------------------------------------------------------------

TEST(BoardcheckDebug, MenuOnTheConsoleWithMinusD) {
    // Choice 12 is no command; then command 04 on chain 1 until the IPset
    // button (held down here) ends it. No test runs and no result is kept.
    MachineRun r = run_machine(R"({"platform": 4, "straps": {"board_code": 15}, "button_pressed": true,
                                   "boards": [{"slot": 1, "chip_type": 0, "chips": 68}]})",
                               {"sh", "-c", "printf '12\\nN\\n4\\nN\\n1\\n\\n' | boardcheck -d"});
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Name           : Qx SW DEBUG Test\n")) << log;
    EXPECT_TRUE(has(log, "Debug command Error!!!")) << log;
    EXPECT_EQ(count(log, "START DEBUG MODE"), 3u) << log;  // again after the error and after the command
    EXPECT_TRUE(has(log, "Debug Cmd04 ")) << log;
    EXPECT_TRUE(has(log, "chain_id = 1 \n")) << log;
    EXPECT_TRUE(has(log, "chain1: set vid to 18\n")) << log;
    EXPECT_FALSE(has(log, "Result Summary")) << log;
    EXPECT_TRUE(has(log, "TEST OVER")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "");
}

}  // namespace
