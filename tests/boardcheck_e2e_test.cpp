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
// A sound board: its chips warm up and read 0.400 V whatever the supply
// code (the emulated regulator takes the code sent over the UART as a VID).
const std::string kBoard = R"("chip_type": 0, "chips": 68, "volt_mv": 400, "mv_per_vid": 0, "heat": 20)";
const std::string kOneBoard = desc(R"({"slot": 1, )" + kBoard + "}");
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
    // State 5 runs twice: before power-on and after the PLL step.
    EXPECT_EQ(count(log, "chain1: set spi speed 0"), 2u) << log;
    EXPECT_TRUE(has(log, "chain1 power off")) << log;
    EXPECT_TRUE(has(log, "Test Passed!")) << log;
    EXPECT_TRUE(has(log, "TEST OVER!!!")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"2\": \"Pass\"\n}");
}

TEST(BoardcheckRun, OnlyFirstChainIsTestedAndEveryPluggedChainReported) {
    // Chip type 0 with 80 chips is no known machine type: the first chain
    // fails on the chip count; the others were not tested and pass. The
    // chain already in the result file is kept.
    MachineRun r = run_machine(desc(R"({"slot": 0, "chip_type": 0, "chips": 80}, {"slot": 2, "chip_type": 0, "chips": 80})",
                                    R"("/tmp/mtest": "{\"8\": \"Pass\"}")"),
                               {"boardcheck", "-a"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Chain numbers: 2")) << log;
    EXPECT_TRUE(has(log, "chain0: detect 80 chips")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:chain0: Cannot get machine type!")) << log;
    EXPECT_FALSE(has(log, "chain2: detect")) << log;
    EXPECT_EQ(count(log, "Error ID description"), 1u) << log;
    EXPECT_TRUE(has(log, "[ERROR]:\r\\nCHIP NUM ERROR !!! \n")) << log;
    EXPECT_TRUE(has(log, "E9: 0")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"8\": \"Pass\",\n    \"1\": \"E9: 0\",\n    \"3\": \"Pass\"\n}");
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

}  // namespace
