// The board test end to end: options, argument files, plug detection, one
// chain through the test and the report with its result file, each run in
// an emulated machine of its own.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

#include "support/machine_runner.h"

namespace {

std::string desc(const std::string &boards, const std::string &files = "") {
    std::string d = R"({"platform": 4, "straps": {"board_code": 15}, "boards": [)" + boards + "]";
    if (!files.empty()) d += R"(, "files": {)" + files + "}";
    return d + "}";
}
// A sound board: its chips warm up; its regulator gives them 0.345 V at the
// code of the working VID 25 (201).
const std::string kBoard = R"("chip_type": 0, "chips": 68, "heat": 20)";
const std::string kOneBoard = desc(R"({"slot": 1, )" + kBoard + "}");
const std::string kNoBoard = desc("");

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }
size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

const char *kBanner = "boardcheck local0.info Name           : Qx SW Pre-Fin Test\n";
// The whole banner of a pre-fin test run, as the syslog holds it.
const char *kWholeBanner = "boardcheck local0.info ******************************************\n"
                           "boardcheck local0.info Name           : Qx SW Pre-Fin Test\n"
                           "boardcheck local0.info SVN Version    : $Rev: 708 $ \n"
                           "boardcheck local0.info Compile time   : Sep 18 2020 16:20:17\n"
                           "boardcheck local0.info Release Version: V2.15.8 \n"
                           "boardcheck local0.info Version Func   : Normal \n"
                           "boardcheck local0.info ******************************************\n";

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
    EXPECT_TRUE(has(log, kWholeBanner)) << log;
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
    // The checks ran: four chip passes (silent and printing after the
    // scan, then after the BIST and after the soft BIST), every chip read.
    EXPECT_EQ(count(log, "chain1: check t v\n"), 4u) << log;
    EXPECT_TRUE(has(log, "chain1: V Max: 0.344\tMin: 0.344\tAVG: 0.344\tDELTA: 0mv\n")) << log;
    // The chips' own count in register byte 11: 32 each.
    EXPECT_TRUE(has(log, "chain1: total good core is 2176\n")) << log;
    EXPECT_TRUE(has(log, "chain1: do job bist\n")) << log;
    for (int id = 1; id <= 5; id++) EXPECT_TRUE(has(log, "job_id:" + std::to_string(id) + " job_num:32\n")) << log;
    EXPECT_TRUE(has(log, "Chip 68:    -\t   -\t   -\t   -\t   -\t  0.0\n")) << log;
    EXPECT_TRUE(has(log, "Total Soft BIST Good Chips: 68, Error Rate:   0.000%\n")) << log;
    EXPECT_FALSE(has(log, "no return")) << log;
}

// tests/machines/boardcheck_one_board.json describes its board by chip
// type and count only: the regulator's 0.344 V at the working VID and the
// chips at 25 degrees pass the board test, and the mining program brings
// the board up at its VID 10 (390 mV).
TEST(BoardcheckRun, BoardDescribedByItsChipsOnlyPassesAndMines) {
    std::ifstream in(std::string(KMX_SOURCE_DIR) + "/tests/machines/boardcheck_one_board.json");
    std::stringstream text;
    text << in.rdbuf();
    ASSERT_FALSE(text.str().empty());
    MachineRun r = run_machine(text.str(), {"boardcheck", "-a"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: V Max: 0.344\tMin: 0.344\tAVG: 0.344\tDELTA: 0mv\n")) << log;
    EXPECT_TRUE(has(log, "chain1: T Max:  27.5\tMin:  24.8\t")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"2\": \"Pass\"\n}") << log;
    MachineRun m = run_machine(text.str(), {"cgminer", "--detect-only", "--chains", "2", "--chips", "68"});
    EXPECT_TRUE(has(m.out, "bring-up chain1: up chips 68 pll 600MHz vid 10 voltage 390mV")) << m.out;
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
    // The handler reads up to 170 chips: chip 81 is the first that is not there.
    EXPECT_TRUE(has(log, "[ERROR]:chain0: chip81 CMD 0A fail! \n")) << log;
    EXPECT_TRUE(has(log, "E9: 81")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"8\": \"Pass\",\n    \"1\": \"E9: 81\"\n}");
}

TEST(BoardcheckRun, SelectedConnectorIsTheOneTestedAndReported) {
    const std::string two = desc(R"({"slot": 1, )" + kBoard + R"(}, {"slot": 5, "chip_type": 0, "chips": 80, "heat": 20})");
    // -s 6 picks connector 5 although it is beyond the chain count (2).
    MachineRun r = run_machine(two, {"boardcheck", "-s", "6"});
    std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Input test chain:5!")) << log;
    EXPECT_TRUE(has(log, "chain5: detect 80 chips")) << log;
    EXPECT_FALSE(has(log, "chain1: detect")) << log;
    EXPECT_TRUE(has(log, "================ Chain5 Result")) << log;
    EXPECT_FALSE(has(log, "================ Chain1 Result")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"6\": \"E9: 81\"\n}");
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
    // Nothing answers the sensor switch: chip 1 is the failing chip.
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"4\": \"E0: 1\"\n}");
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
    // A sound board whose chips do not take 600 MHz or more: the ramp of
    // three rows a step (120, 124.5 ... 597) fails at 612 MHz after five
    // tries.
    MachineRun r = run_machine(desc(R"({"slot": 1, )" + kBoard + R"(, "pll_fail_mhz": 600})"),
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

// ---- the checks and the soft BIST against faulty chips ------------------------------

// One board in slot 1 with `controls` in its chips' control file from the start.
MachineRun run_faulty(const std::string &controls, const std::string &board = kBoard) {
    return run_machine(desc(R"({"slot": 1, )" + board + "}"),
                       {"sh", "-c", "printf '" + controls + "' >/run/sim/chips1 && boardcheck -a"});
}
std::string result(const MachineRun &r) { return r.file("/tmp/mtest"); }

TEST(BoardcheckChecks, HotChipsEndTheTemperaturePassWithE5) {
    MachineRun r = run_faulty("temp 0 130\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Test Failed!")) << log;
    // The pass ends at the first chip out of range: only chip 1 holds a
    // reading (9999, left out of the statistics), the others none yet.
    EXPECT_TRUE(has(log, "chain1: T Max:   0.0\tMin:   0.0\t")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E5:   1 \"\n}");
}

TEST(BoardcheckChecks, ColdChipFailsLikeAHotOne) {
    MachineRun r = run_faulty("temp 3 -45\n");
    EXPECT_EQ(result(r), "{\n    \"2\": \"E5:   3 \"\n}") << r.syslog();
}

// A regulator that gives 1.000 V at code 0 puts 0.925 V (read so) on the
// chips at the working VID's code: above the 0.9 V limit.
TEST(BoardcheckChecks, VoltageAboveTheLimitGivesE6) {
    MachineRun r = run_faulty("", R"("chip_type": 0, "chips": 68, "volt_mv": 1000, "heat": 20)");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "[ERROR]:Chip  68 Volt error (0.925)")) << log;
    EXPECT_TRUE(has(result(r), "\"E6:   1   2   3   4 ")) << result(r);
}

// The working VID moves the chips' voltage: a regulator of 390 mV at code
// 0 gives 0.351 V at VID 13 (code 104), the working VID of a 99-chip board,
// which passes, and 0.315 V (read 0.314) at VID 25 (code 201), that of a
// 68-chip board: below the 0.32 V minimum, E6 on every chip.
TEST(BoardcheckChecks, WorkingVidTooHighForTheRegulatorGivesE6) {
    MachineRun low = run_faulty("", R"("chip_type": 0, "chips": 99, "volt_mv": 390, "heat": 20)");
    EXPECT_TRUE(has(low.syslog(), "chain1: set vid to 13\n")) << low.syslog();
    EXPECT_TRUE(has(low.file("/run/sim/uart.log"), "/dev/ttyPS1 AA 02 01 68 95\n")) << low.file("/run/sim/uart.log");
    EXPECT_TRUE(has(low.syslog(), "chain1: V Max: 0.351\tMin: 0.351\t")) << low.syslog();
    EXPECT_EQ(result(low), "{\n    \"2\": \"Pass\"\n}") << low.syslog();

    MachineRun high = run_faulty("", R"("chip_type": 0, "chips": 68, "volt_mv": 390, "heat": 20)");
    const std::string log = high.syslog();
    EXPECT_TRUE(has(log, "chain1: set vid to 25\n")) << log;
    EXPECT_TRUE(has(high.file("/run/sim/uart.log"), "/dev/ttyPS1 AA 02 01 C9 34\n")) << high.file("/run/sim/uart.log");
    EXPECT_TRUE(has(log, "[ERROR]:Chip   1 Volt error (0.314)")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:Chip  68 Volt error (0.314)")) << log;
    EXPECT_TRUE(has(result(high), "\"E6:   1   2   3   4 ")) << result(high);
}

TEST(BoardcheckChecks, UnlockedPllGivesE4WithThatChip) {
    MachineRun r = run_faulty("unlocked 4\n");
    EXPECT_EQ(result(r), "{\n    \"2\": \"E4:   4 \"\n}") << r.syslog();
}

TEST(BoardcheckChecks, UnansweredReadsNameTheChip) {
    MachineRun r = run_faulty("silent 3\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "[ERROR]:chain1: chip3 CMD 0A fail! \n")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E10: 3\"\n}") << log;
    // Every 0A read unanswered: not even the sensor switch gets through.
    r = run_faulty("fail 0a\n");
    EXPECT_EQ(result(r), "{\n    \"2\": \"E10: 1\"\n}") << r.syslog();
}

TEST(BoardcheckChecks, ChipWithFewCoresGivesE1OnAType1Board) {
    // Type 1 (9 cores): a chip needs 2 good cores; the wide types never
    // count cores per chip. The images the test writes to every chip (chip
    // 1's by the sensor switch, the last chip's by the PLL step) leave each
    // chip's own count.
    MachineRun r = run_faulty("cores 1 1\ncores 5 1\ncores 72 0\n", R"("chip_type": 6, "chips": 72, "heat": 20)");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "[ERROR]:Chip   5 Core error (   1)")) << log;
    EXPECT_TRUE(has(log, "chain1: total good core is 623\n")) << log;
    EXPECT_EQ(count(log, "Core error"), 3u) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E1:   1   5  72 \"\n}") << log;
    r = run_faulty("cores 0 0\n");
    EXPECT_TRUE(has(r.syslog(), "chain1: total good core is 0\n")) << r.syslog();
    EXPECT_EQ(result(r), "{\n    \"2\": \"Pass\"\n}") << r.syslog();
}

TEST(BoardcheckSoftBist, DroppedAndWrongNoncesGiveE3WithThoseChips) {
    MachineRun r = run_faulty("drop 5\ncorrupt 7\nwrongjob 11\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Chip 05:  128\t 128\t 128\t 128\t 128\t100.0\n")) << log;
    EXPECT_TRUE(has(log, "Chip 07:  128\t 128\t 128\t 128\t 128\t100.0\n")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:Chip    5 soft bist error rate 100.000%!!!\n")) << log;
    EXPECT_TRUE(has(log, "[WARNING]:cmd08 no return: 5 11 \n")) << log;
    EXPECT_TRUE(has(log, "[WARNING]:Nonce ERROR : Round 0 Chip 7 nonce = ")) << log;
    EXPECT_TRUE(has(log, "Total Soft BIST Good Chips: 65, Error Rate:   4.412%\n")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E3:   5   7  11 \"\n}");
}

TEST(BoardcheckSoftBist, HalfTheCoreGroupsMissingGivesE8) {
    // Two of four groups find each nonce: 2 errors a round, 320 of 640 =
    // 50 %, below the chip limit (99) and at the board limit (50).
    MachineRun r = run_faulty("groups 0 3\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Chip 01:   64\t  64\t  64\t  64\t  64\t 50.0\n")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:Board soft bist error rate  50.000%!!!\n")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E8\"\n}") << log;
}

// ---- healthy boards of the other chip types ----------------------------------------

// A board of reset code `code` (its chip type) with `chips` chips, warm, on
// its default regulator.
std::string board_of(int code, int chips) {
    return R"("chip_type": )" + std::to_string(code) + R"(, "chips": )" + std::to_string(chips) +
           R"(, "heat": 20)";
}

// Types 6 and 7 (28 and 63 cores a chip) count every core their chips
// report.
TEST(BoardcheckHealthy, Type1And6And7And10BoardsPass) {
    for (const auto &[code, chips, type, cores] : {std::tuple{6, 72, 1, 9}, std::tuple{7, 51, 6, 28},
                                                   std::tuple{12, 45, 7, 63}, std::tuple{5, 99, 10, 32}}) {
        MachineRun r = run_faulty("", board_of(code, chips));
        const std::string log = r.syslog();
        EXPECT_TRUE(has(log, "chain1: detect chip type: " + std::to_string(type) + "\n")) << log;
        EXPECT_TRUE(has(log, "chain1: total good core is " + std::to_string(chips * cores) + "\n")) << log;
        EXPECT_TRUE(has(log, "Total Soft BIST Good Chips: " + std::to_string(chips) + ", Error Rate:   0.000%\n")) << log;
        EXPECT_EQ(result(r), "{\n    \"2\": \"Pass\"\n}") << log;
    }
}

// ---- chip type 12: several results per job, read from the result queue ---------------

TEST(BoardcheckType12, EveryChipReturnsEachCandidateAndTheBoardPasses) {
    MachineRun r = run_faulty("", board_of(9, 12));
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: detect 12 chips, machine type: T12-12\n")) << log;
    // One job, round 0 only.
    EXPECT_EQ(count(log, "job_id:"), 1u) << log;
    EXPECT_TRUE(has(log, "job_id:1 job_num:32\n")) << log;
    for (int chip = 1; chip <= 12; chip++)
        EXPECT_TRUE(has(log, "correct : chip " + std::to_string(chip) + " : 19\n")) << log;
    EXPECT_FALSE(has(log, "nonce compare fail")) << log;
    EXPECT_FALSE(has(log, "has no nonce return")) << log;
    EXPECT_TRUE(has(log, "Chip 12:    -\t  0.0\n")) << log;
    EXPECT_TRUE(has(log, "Total Soft BIST Good Chips: 12, Error Rate:   0.000%\n")) << log;
    EXPECT_TRUE(has(log, "Test Passed!")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"Pass\"\n}") << log;
}

TEST(BoardcheckType12, WrongAndMissingResultsGiveE3WithThoseChips) {
    MachineRun r = run_faulty("corrupt 3\ndrop 12\n", board_of(9, 12));
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: detect 12 chips, machine type: T12-12\n")) << log;
    EXPECT_EQ(count(log, "[WARNING]:nonce compare fail"), 19u) << log;
    EXPECT_TRUE(has(log, "[WARNING]:total_err_nonce[3]=19\n")) << log;
    EXPECT_TRUE(has(log, "[WARNING]:Nonce error for chip 3 \n")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:ERROR chip 3 has no nonce return\n")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:ERROR chip 12 has no nonce return\n")) << log;
    EXPECT_EQ(count(log, "has no nonce return"), 2u) << log;
    EXPECT_TRUE(has(log, "[WARNING]:ERROR : chip 12 : 19\n")) << log;
    EXPECT_TRUE(has(log, "correct : chip 11 : 19\n")) << log;
    EXPECT_TRUE(has(log, "Chip 03:   19\t100.0\n")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:Chip    3 soft bist error rate 100.000%!!!\n")) << log;
    EXPECT_TRUE(has(log, "Total Soft BIST Good Chips: 10, Error Rate:  16.667%\n")) << log;
    EXPECT_TRUE(has(log, "Test Failed!")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E3:   3  12 \"\n}") << log;
}

}  // namespace
