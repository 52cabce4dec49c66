// The board test end to end: every chip found is tested, and every chip a
// verdict names was measured. A board with more chips than its machine
// type's row fails on the count; the voltage and core lists name what the
// checks read and judged; the chips' PLL limit acts at the frequency it
// names on every chip type.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }
size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// One warm board in slot 1 (reset code `code`, `chips` chips) with
// `controls` in its chips' control file from the start.
MachineRun run_board(int code, int chips, const std::string &controls, const std::string &extra = "") {
    const std::string board = R"({"slot": 1, "chip_type": )" + std::to_string(code) + R"(, "chips": )" +
                              std::to_string(chips) + R"(, "heat": 20)" + extra + "}";
    return run_machine(R"({"platform": 4, "straps": {"board_code": 15}, "boards": [)" + board + "]}",
                       {"sh", "-c", "printf '" + controls + "' >/run/sim/chips1 && boardcheck -a"});
}
std::string result(const MachineRun &r) { return r.file("/tmp/mtest"); }

// ---- chip count above the machine type's row ------------------------------------------

TEST(ChipCount, Type12BoardWithSixtyChipsFailsOnTheThirteenth) {
    // Chip 30 is hot and answers every job wrongly; the row of a type-12
    // board holds 12 chips, so the test never reaches it: the count fails.
    MachineRun r = run_board(9, 60, "temp 30 130\\ncorrupt 30\\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: detect 60 chips, machine type: T12-12\n")) << log;
    EXPECT_TRUE(has(log, "local0.err [ERROR]:chain1: 60 chips found, machine type T12-12 has 12!\n")) << log;
    EXPECT_FALSE(has(log, "chain1: check t v")) << log;
    EXPECT_FALSE(has(log, "do job bist")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:\r\\nCHIP NUM ERROR !!! \n")) << log;
    // The machine type's count, not the 170 chips the voltage read asks for.
    EXPECT_TRUE(has(log, "[ERROR]:\r\\nError Chip num is 12!!! \n")) << log;
    EXPECT_FALSE(has(log, "Test Passed!")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E9: 13\"\n}") << log;
}

TEST(ChipCount, MemoryBoardWithNineChipsFailsOnTheNinth) {
    MachineRun r = run_board(10, 9, "corrupt 9\\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "[ERROR]:chain1: 9 chips found, machine type T13-8 has 8!\n")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:\r\\nError Chip num is 8!!! \n")) << log;
    EXPECT_FALSE(has(log, "Core bist init")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E9: 9\"\n}") << log;
}

TEST(ChipCount, Type5BoardPassesAtItsRowsCountAndFailsOneAbove) {
    // 57 chips: the row's count, a pass. 58 with the last one hot and
    // corrupt: E9 on chip 58. One fewer than the row stays a missing chip.
    MachineRun at = run_board(11, 57, "");
    EXPECT_FALSE(has(at.syslog(), "chips found")) << at.syslog();
    EXPECT_EQ(result(at), "{\n    \"2\": \"Pass\"\n}") << at.syslog();
    MachineRun above = run_board(11, 58, "temp 58 130\\ncorrupt 58\\n");
    EXPECT_TRUE(has(above.syslog(), "[ERROR]:chain1: 58 chips found, machine type T5-57 has 57!\n")) << above.syslog();
    EXPECT_EQ(result(above), "{\n    \"2\": \"E9: 58\"\n}") << above.syslog();
    MachineRun below = run_board(11, 56, "");
    EXPECT_FALSE(has(below.syslog(), "chips found")) << below.syslog();
    EXPECT_EQ(result(below), "{\n    \"2\": \"E10: 57\"\n}") << below.syslog();
}

TEST(ChipCount, BoardOfMoreChipsThanAChainHoldsNamesTheFirstChipPastThem) {
    // 200 chips answer BIST start: past the 169 a chain holds. Chip 100,
    // deaf to register reads, fails the voltage read after the failure:
    // the count's chip stays the one named.
    MachineRun r = run_board(0, 200, "silent 100\\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "[ERROR]:chain1: BIST01 failed!!! Cannot get chip number!\n")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:chain1: chip100 CMD 0A fail! \n")) << log;
    EXPECT_FALSE(has(log, "do job bist")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E9: 170\"\n}") << log;
}

// ---- type-8 chips: their sensor is in the 0D register ---------------------------------

// Reset code 3 (chip type 8), 40 chips: machine type 3 (named after chip
// type 3), on the PLL table of its own chips.
TEST(Type8, SoundBoardPassesAndEachSensorIsReadFromTheChips) {
    MachineRun r = run_board(3, 40, "");
    std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: detect chip type: 8\n")) << log;
    EXPECT_TRUE(has(log, "chain1: detect 40 chips, machine type: T3-40\n")) << log;
    EXPECT_FALSE(has(log, "Chip type wrong")) << log;
    EXPECT_TRUE(has(log, "chain1: V Max: 0.366\tMin: 0.366\t")) << log;
    // Six cores a chip, one bit each.
    EXPECT_TRUE(has(log, "chain1: total good core is 240\n")) << log;
    EXPECT_TRUE(has(log, "Total Soft BIST Good Chips: 40, Error Rate:   0.000%\n")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"Pass\"\n}") << log;

    // A hot chip 5 is that chip's temperature failure.
    r = run_board(3, 40, "temp 5 130\\n");
    EXPECT_EQ(result(r), "{\n    \"2\": \"E5:   5 \"\n}") << r.syslog();

    // Chip 7 far below the chain's voltage reads so, in the chain's
    // statistics (type 8 has no voltage limit of its own). The chips at 40
    // degrees read so (the board test's conversion takes half a degree off).
    r = run_board(3, 40, "volt 7 -300\\ntemp 0 40\\n");
    log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: V Max: 0.366\tMin: 0.066\t")) << log;
    EXPECT_TRUE(has(log, "chain1: T Max:  39.5\tMin:  39.5\tAVG:  39.5\tDELTA: 0.0\n")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"Pass\"\n}") << log;
}

// ---- a PLL limit acts at the frequency named -------------------------------------------

// A board of every chip type the test detects, at its machine type's count,
// and the frequency the test asks of it (its PLL images in the chips' own
// layout). The chips' PLL limit one MHz above that lets the board pass; at
// that frequency the ramp's last write fails five times: E7.
struct PllBoard {
    int type, code, chips, model, target;
};

void pll_limit_acts_at_the_target(const PllBoard &b) {
    const std::string model = b.model ? R"(, "chip_model": )" + std::to_string(b.model) : "";
    const std::string what = "type " + std::to_string(b.type);
    char asked[64], last[64];
    snprintf(asked, sizeof asked, "chain1: set pll %7.2f\n", double(b.target));
    snprintf(last, sizeof last, "[ERROR]:\r\\nThe last freq is %.1fMHz \n", double(b.target));
    MachineRun above =
        run_board(b.code, b.chips, "", model + R"(, "pll_fail_mhz": )" + std::to_string(b.target + 1));
    std::string log = above.syslog();
    EXPECT_TRUE(has(log, "chain1: detect chip type: " + std::to_string(b.type) + "\n")) << what << log;
    EXPECT_TRUE(has(log, asked)) << what << log;
    EXPECT_EQ(result(above), "{\n    \"2\": \"Pass\"\n}") << what << log;
    MachineRun at = run_board(b.code, b.chips, "", model + R"(, "pll_fail_mhz": )" + std::to_string(b.target));
    log = at.syslog();
    EXPECT_TRUE(has(log, last)) << what << log;
    EXPECT_EQ(result(at), "{\n    \"2\": \"E7: 0\"\n}") << what << log;
}

// The chip types of the first PLL table (12 MHz x word / divider from 120 MHz).
TEST(PllLimit, ActsAtTheAskedFrequencyOnTheTypesOfTheFirstTable) {
    for (const PllBoard &b : {PllBoard{0, 0, 68, 0, 900}, PllBoard{1, 6, 72, 0, 606}, PllBoard{8, 3, 40, 0, 996},
                              PllBoard{14, 5, 111, 14, 798}, PllBoard{15, 5, 70, 15, 996}}) {
        pll_limit_acts_at_the_target(b);
        if (testing::Test::HasFailure()) break;  // the type that failed is named
    }
}

// The chip types of the second table (the same rule from 30 MHz).
TEST(PllLimit, ActsAtTheAskedFrequencyOnTheTypesOfTheSecondTable) {
    for (const PllBoard &b : {PllBoard{5, 11, 57, 0, 1098}, PllBoard{6, 7, 51, 0, 996}, PllBoard{7, 12, 45, 0, 696},
                              PllBoard{10, 5, 99, 0, 900}, PllBoard{12, 9, 12, 0, 1248}}) {
        pll_limit_acts_at_the_target(b);
        if (testing::Test::HasFailure()) break;  // the type that failed is named
    }
}

// The memory chips (25 MHz x word, their own layout).
TEST(PllLimit, ActsAtTheAskedFrequencyOnTheMemoryChips) { pll_limit_acts_at_the_target({13, 10, 8, 0, 480}); }

// ---- chip lists from what was measured -------------------------------------------------

TEST(ChipLists, VoltageListHoldsOnlyChipsReadAndNamesTheChipThatStoppedThePass) {
    // Chip 5 reads 0.045 V; chip 10's PLL is unlocked, which ends every
    // voltage pass there: chips 11 to 68 are never read.
    MachineRun r = run_board(0, 68, "volt 5 -300\\nunlocked 10\\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "[ERROR]:Chip   5 Volt error (0.045)\n")) << log;
    EXPECT_EQ(count(log, "Volt error"), 1u) << log;
    EXPECT_TRUE(has(log, "[ERROR]:Chip  10 stopped the voltage check: E4\n")) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E6:   5 \"\n}") << log;
    // A chip that does not answer its read stops the pass with E10.
    r = run_board(0, 68, "volt 5 -300\\nsilent 10\\n");
    EXPECT_TRUE(has(r.syslog(), "[ERROR]:Chip  10 stopped the voltage check: E10\n")) << r.syslog();
    EXPECT_EQ(result(r), "{\n    \"2\": \"E6:   5 \"\n}") << r.syslog();
}

TEST(ChipLists, CoreListNamesTheChipsTheCountJudged) {
    // Only chip 5 of a memory board reads 2 cores (7 x 16 + 2), whatever
    // images the memory bring-up writes to every chip.
    MachineRun r = run_board(10, 8, "cores 5 2\\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: total good core is 114\n")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:Chip   5 Core error (   2)\n")) << log;
    EXPECT_EQ(count(log, "Core error"), 1u) << log;
    EXPECT_EQ(result(r), "{\n    \"2\": \"E1:   5 \"\n}") << log;
}

}  // namespace
