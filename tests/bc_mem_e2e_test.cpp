// The board test on memory boards and on the later chip models, end to end:
// boardcheck runs in an emulated machine, its verdicts are read from the
// system log and /tmp/mtest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_order.h"
#include "support/machine_runner.h"

namespace {

std::string desc(const std::string &board) {
    return R"({"platform": 4, "straps": {"board_code": 15}, "boards": [)" + board + "]}";
}
// A memory board: reset code 0xA4, eight chips (the machine type's count),
// warm and at its regulator's 0.726 V of VID 18 (its chips' minimum is 0.6 V).
std::string memory_board(const std::string &faults = "") {
    std::string b = R"({"slot": 0, "chip_type": 10, "chips": 8, "heat": 20)";
    if (!faults.empty()) b += R"(, "mem_faults": [)" + faults + "]";
    return desc(b + "}");
}

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }
size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

const std::string kInfo = "boardcheck local0.info ";

TEST(MemoryBoard, HealthyBoardRunsCoreBistTrainingCacheAndDag) {
    MachineRun r = run_machine(memory_board(), {"boardcheck", "-a"});
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    std::vector<std::string> order = {
        kInfo + "chain0: detect chip type: 13\n",
        kInfo + "chain0: detect 8 chips, machine type: T13-8\n",
        kInfo + "chain0: BISTSTART\n",
        kInfo + "chain0: set PHY pll 187.5M\n",
        kInfo + "CTRLLOR_NUM = 8\n",
        kInfo + "chain0: Core bist init\n",
    };
    for (int chip = 1; chip <= 8; chip++)
        order.push_back(kInfo + "Chip" + std::to_string(chip) + ": Good Sub-Core: 400, BIST Error Rate: 0.000\n");
    for (const char *l : {"chain0: BISTCOLLECT\n", "chain0: BISTFIX\n", "chain0: enable BISTMASK\n",
                          "chain0: Waiting for ddr init done\n", "\r\\nchain0: Waiting for gen dag done\n",
                          "\\nchain0: CFG high speed\n", "chain0 power off\n"})
        order.push_back(kInfo + l);
    order.push_back("Test Passed!");
    expect_in_order(log, order);
    EXPECT_FALSE(has(log, "local0.err")) << log;
    EXPECT_FALSE(has(log, "has been disabled")) << log;
    EXPECT_FALSE(has(log, "Gen dag timeout")) << log;
    EXPECT_FALSE(has(log, "Gen cache timeout")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"1\": \"Pass\"\n}");
}

TEST(MemoryBoard, BadCoreBlocksGiveE14WithThatChip) {
    // Blocks 7 and 6 of chip 3 fail: DAG hub 0 is left with block 0 only,
    // which never counts.
    MachineRun r = run_machine(memory_board(R"("membad 3 7", "membad 3 6")"), {"boardcheck", "-a"});
    const std::string log = r.syslog();
    expect_in_order(log, {kInfo + "Chip2: Good Sub-Core: 400, BIST Error Rate: 0.000\n",
                          "[ERROR]:Can not wr to hub 0 !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n",
                          "[ERROR]:chain0: Core Bist failed!\n",
                          "[ERROR]:chain0: failed in kmx_chain_init(), SHUTDOWN\n", kInfo + "chain0 power off\n"});
    EXPECT_FALSE(has(log, "Chip3: Good Sub-Core")) << log;
    EXPECT_FALSE(has(log, "Waiting for ddr init done")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"1\": \"E14: 3\"\n}");
}

TEST(MemoryBoard, ChipWhoseTrainingFailsIsDisabledBeforeHighSpeed) {
    MachineRun r = run_machine(memory_board(R"("memtrain 2")"), {"boardcheck", "-a"});
    const std::string log = r.syslog();
    const std::string disabled = "local0.warning [WARNING]:chain:0,chip:2 has been disabled\n";
    // Skipped by the cache step, then by the high-speed step.
    expect_in_order(log, {"[WARNING]:chain0: chip2 DDR AB Side Write training fail!\n", disabled,
                          kInfo + "\\nchain0: CFG high speed\n", disabled, "Test Failed!"});
    EXPECT_FALSE(has(log, "chip:1 has been disabled")) << log;
    EXPECT_FALSE(has(log, "chip1 DDR AB Side Write training fail")) << log;
    // A chip whose memory failed cannot mine: the soft BIST fails it.
    EXPECT_TRUE(has(log, "[ERROR]:Chip    2 memory failure word 0x00000100\n")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"1\": \"E3:   2 \"\n}");
}

TEST(MemoryBoard, DagThatNeverFinishesEndsWithinItsBoundedWait) {
    MachineRun r = run_machine(memory_board(R"("memdag 5")"), {"boardcheck", "-a"});
    const std::string log = r.syslog();
    expect_in_order(log, {kInfo + "\r\\nchain0: Waiting for gen dag done\n",
                          "[ERROR]:chain0: chip5 ERROR   Gen dag timeout!!!!!!!!!!!!!!!!!!!!!!!!!\n",
                          "[WARNING]:chain:0,chip:5 has been disabled\n", "Test Failed!"});
    // 71 polls 2 s apart (a dot each), then the chip is given up.
    const size_t from = log.find("Waiting for gen dag done"), to = log.find("Gen dag timeout");
    ASSERT_LT(from, to);
    EXPECT_EQ(count(log.substr(from, to - from), kInfo + ".\n"), 71u) << log;
    EXPECT_EQ(count(log, "Gen dag timeout"), 1u) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"1\": \"E3:   5 \"\n}");
}

TEST(MemoryBoard, WrongLastCacheWordDisablesTheChip) {
    MachineRun r = run_machine(memory_board(R"("memcache 4 41004")"), {"boardcheck", "-a"});
    const std::string log = r.syslog();
    expect_in_order(log, {"[WARNING]:chain0: chip4 dag valid num wrong! a02c",
                          "[WARNING]:chain:0,chip:4 has been disabled\n", "Test Failed!"});
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"1\": \"E3:   4 \"\n}");
}

// The memory board with `controls` in its chips' control file from the start.
MachineRun run_memory_faulty(const std::string &controls) {
    return run_machine(memory_board(), {"sh", "-c", "printf '" + controls + "' >/run/sim/chips0 && boardcheck -a"});
}

TEST(MemorySoftBist, ChipWithWrongNoncesFailsWithE3) {
    MachineRun r = run_memory_faulty("corrupt 3\n");
    const std::string log = r.syslog();
    expect_in_order(log, {kInfo + "Chip 02:    -\t  0.0\n", kInfo + "Chip 03:  400\t100.0\n",
                          "[ERROR]:Chip    3 soft bist error rate 100.000%!!!\n", kInfo + "Chip 04:    -\t  0.0\n",
                          "Test Failed!"});
    EXPECT_EQ(count(log, "soft bist error rate"), 1u) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"1\": \"E3:   3 \"\n}");
}

TEST(MemorySoftBist, NoNonceAtAllFailsEveryChip) {
    MachineRun r = run_memory_faulty("drop 0\n");
    const std::string log = r.syslog();
    for (int chip = 1; chip <= 8; chip++)
        EXPECT_TRUE(has(log, "[ERROR]:Chip    " + std::to_string(chip) + " soft bist error rate 100.000%!!!\n")) << log;
    EXPECT_TRUE(has(log, "Test Failed!")) << log;
    EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"1\": \"E3:   1   2   3   4   5   6   7   8 \"\n}");
}

TEST(LaterModels, VersionAndIdentityGiveTypes14And15) {
    struct Case {
        const char *board;
        const char *type_line;
        const char *count_line;
    };
    for (const Case &c : {
             Case{R"({"slot": 0, "chip_type": 5, "chip_model": 15, "chips": 70, "heat": 20})", "chain0: detect chip type: 15\n",
                  "chain0: detect 70 chips, machine type: T15-70\n"},
             Case{R"({"slot": 0, "chip_type": 5, "chip_model": 14, "chips": 148, "heat": 20})", "chain0: detect chip type: 14\n",
                  "chain0: detect 148 chips, machine type: T14-148\n"},
         }) {
        MachineRun r = run_machine(desc(c.board), {"boardcheck", "-a"});
        const std::string log = r.syslog();
        EXPECT_TRUE(has(log, kInfo + c.type_line)) << log;
        EXPECT_TRUE(has(log, kInfo + c.count_line)) << log;
        EXPECT_EQ(r.file("/tmp/mtest"), "{\n    \"1\": \"Pass\"\n}");
    }
}

TEST(LaterModels, PlainType10StaysType10) {
    // Reset code 0x54 with a register that does not decode to 120 MHz.
    MachineRun r = run_machine(desc(R"({"slot": 0, "chip_type": 5, "chips": 99})"), {"boardcheck", "-a"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, kInfo + "chain0: detect chip type: 10\n")) << log;
    EXPECT_TRUE(has(log, kInfo + "chain0: detect 99 chips, machine type: T10-99\n")) << log;
}

}  // namespace
