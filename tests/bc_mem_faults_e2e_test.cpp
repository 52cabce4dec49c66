// The board test's memory bring-up on a memory board whose emulated chips
// fail where the bring-up draws its lines: check-cycle totals at and beside
// their thresholds, retries at high speed, core blocks at the sub-core limit,
// a late DAG hub, wrong valid counts. Each run is read from the system log,
// /tmp/mtest and the chips' register write logs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/log_order.h"
#include "support/machine_runner.h"
#include "support/text_search.h"

namespace {

const std::string kInfo = "boardcheck local0.info ";
const std::string kWarn = "boardcheck local0.warning [WARNING]:";
const std::string kErr = "boardcheck local0.err [ERROR]:";

// Eight memory chips (the machine type's count), warm, on the memory
// board's own regulator.
MachineRun run_board(const std::string &faults = "") {
    std::string b = R"({"slot": 0, "chip_type": 10, "chips": 8, "heat": 20)";
    if (!faults.empty()) b += R"(, "mem_faults": [)" + faults + "]";
    return run_machine(R"({"platform": 4, "straps": {"board_code": 15}, "boards": [)" + b + "}]}", {"boardcheck", "-a"});
}

std::string verdict(const MachineRun &r) { return r.file("/tmp/mtest"); }
std::string result(const std::string &text) { return "{\n    \"1\": \"" + text + "\"\n}"; }

struct Write {
    uint32_t addr, value;
};

// Chip k's register writes, in order.
std::vector<Write> writes(const MachineRun &r, int k) {
    std::vector<Write> out;
    std::istringstream in(r.file("/run/sim/mem0/writes" + std::to_string(k)));
    std::string order, a, v;
    while (in >> order >> a >> v) out.push_back({uint32_t(strtoul(a.c_str(), nullptr, 16)), uint32_t(strtoul(v.c_str(), nullptr, 16))});
    return out;
}

// Chip k's mode-register commands on one channel, in order.
std::vector<uint32_t> mode_words(const MachineRun &r, int k, const std::string &side) {
    std::vector<uint32_t> out;
    std::istringstream in(r.file("/run/sim/mem0/mr" + std::to_string(k)));
    std::string order, ch, w;
    while (in >> order >> ch >> w)
        if (ch == side) out.push_back(uint32_t(strtoul(w.c_str(), nullptr, 16)));
    return out;
}

int writes_of(const std::vector<Write> &log, uint32_t addr, uint32_t value) {
    int n = 0;
    for (const Write &w : log) n += w.addr == addr && w.value == value;
    return n;
}

TEST(MemoryFaults, BoardDescribedByItsChipsOnlyPasses) {
    // No voltage, heat or fault keys: the memory board's own regulator and
    // sensors must carry it through every memory step and the soft BIST.
    MachineRun r = run_machine(R"({"platform": 4, "straps": {"board_code": 15},
                                   "boards": [{"slot": 0, "chip_type": 10, "chips": 8}]})",
                               {"boardcheck", "-a"});
    EXPECT_TRUE(has(r.syslog(), "Test Passed!")) << r.syslog();
    EXPECT_EQ(verdict(r), result("Pass"));
}

TEST(MemoryFaults, WriteCheckTotalOf30KeepsTheChip) {
    // 15 + 15 failed write-check cycles: one short of the threshold.
    MachineRun r = run_board(R"("memwrite 3 AB 15 3", "memwrite 3 CD 15 3")");
    const std::string log = r.syslog();
    EXPECT_FALSE(has(log, "has been disabled")) << log;
    EXPECT_FALSE(has(log, "Write training fail")) << log;
    EXPECT_TRUE(has(log, "Test Passed!")) << log;
    EXPECT_EQ(verdict(r), result("Pass"));
}

TEST(MemoryFaults, WriteCheckTotalOf31DisablesTheChip) {
    // 15 + 16: the total reaches 31 without any channel failing all cycles.
    MachineRun r = run_board(R"("memwrite 3 AB 15 3", "memwrite 3 CD 16 3")");
    const std::string log = r.syslog();
    EXPECT_FALSE(has(log, "Write training fail")) << log;
    expect_in_order(log, {kWarn + "chain:0,chip:3 has been disabled\n", kInfo + "\\nchain0: CFG high speed\n",
                          kWarn + "chain:0,chip:3 has been disabled\n", kErr + "Chip    3 memory failure word 0x00000100\n",
                          "Test Failed!"});
    EXPECT_FALSE(has(log, "chip:2 has been disabled")) << log;
    // Without a DAG the chip finds no nonce.
    EXPECT_TRUE(has(log, kWarn + "cmd08 no return: 3 \n")) << log;
    // Left out of the cache and DAG: no cache start ever reaches it.
    EXPECT_EQ(writes_of(writes(r, 3), 0x8F001, 2), 0);
    EXPECT_EQ(writes_of(writes(r, 2), 0x8F001, 2), 1);
    EXPECT_EQ(verdict(r), result("E3:   3 "));
}

TEST(MemoryFaults, HighSpeedReadTotalOf30IsAccepted) {
    MachineRun r = run_board(R"("memread 5 EF 15 10", "memread 5 GH 15 10")");
    const std::string log = r.syslog();
    EXPECT_FALSE(has(log, "recfg_retry_proi")) << log;
    EXPECT_FALSE(has(log, "has been disabled")) << log;
    EXPECT_EQ(writes_of(writes(r, 5), 0x8F001, 2), 1);
    EXPECT_EQ(verdict(r), result("Pass"));
}

TEST(MemoryFaults, HighSpeedReadTotalOf31IsRetriedWithFreshCacheAndDag) {
    // Only the first high-speed read check fails 15 + 16 cycles; the retry
    // trains again at low speed, prepares cache and DAG of this chip again
    // and passes.
    MachineRun r = run_board(R"("memread 5 EF 15 10 1", "memread 5 GH 16 10 1")");
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "recfg_retry_proi"), 1) << log;
    EXPECT_TRUE(has(log, kWarn + "chain 0, chip 5 recfg_retry_proi cnt 1\n")) << log;
    EXPECT_FALSE(has(log, "has been disabled")) << log;
    const std::vector<Write> w5 = writes(r, 5);
    EXPECT_EQ(writes_of(w5, 0x8F001, 2), 2);  // cache started twice
    EXPECT_EQ(writes_of(w5, 0x86001, 1), 2);  // the chain's DAG start and its own
    EXPECT_EQ(writes_of(writes(r, 4), 0x86001, 1), 1);
    EXPECT_EQ(verdict(r), result("Pass"));
}

TEST(MemoryFaults, ThreeRetryRequestsEndInRecfgFailed) {
    MachineRun r = run_board(R"("memread 5 EF 15 10", "memread 5 GH 16 10")");
    const std::string log = r.syslog();
    expect_in_order(log, {kWarn + "chain 0, chip 5 recfg_retry_proi cnt 1\n", kWarn + "chain 0, chip 5 recfg_retry_proi cnt 2\n",
                          kWarn + "chain 0, chip 5 recfg_retry_proi cnt 3\n",
                          kErr + "Chip    5 memory failure word 0x00010000\n", "Test Failed!"});
    EXPECT_FALSE(has(log, "cnt 4")) << log;
    // Channel GH failed most of its read cycles: the chip's DAG does not
    // read back and it finds no nonce.
    EXPECT_TRUE(has(log, kWarn + "cmd08 no return: 5 \n")) << log;
    // The first attempt and two retries, each retry with its own cache.
    EXPECT_EQ(writes_of(writes(r, 5), 0x8F001, 2), 3);
    EXPECT_EQ(verdict(r), result("E3:   5 "));
}

TEST(MemoryFaults, BlockWith21FailingSubCoresServesItsHub) {
    // Block 7 is hub 0's first choice; its alternative block 6 is dead.
    MachineRun r = run_board(R"("membits 2 7 1FFFFF", "membad 2 6")");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, kInfo + "Chip2: Good Sub-Core: 347, BIST Error Rate: 13.250\n")) << log;
    // Hub 0 on block 7 with its first four good sub-cores, 21 to 24.
    const std::vector<Write> w2 = writes(r, 2);
    EXPECT_EQ(writes_of(w2, 0x8E714, 16), 1);
    EXPECT_EQ(writes_of(w2, 0x8E717, 0x1615), 1);
    EXPECT_EQ(writes_of(w2, 0x8E718, 0x1817), 1);
    EXPECT_EQ(verdict(r), result("Pass"));
}

TEST(MemoryFaults, BlockWith22FailingSubCoresIsNotValid) {
    MachineRun r = run_board(R"("membits 2 7 3FFFFF", "membad 2 6")");
    const std::string log = r.syslog();
    expect_in_order(log, {kInfo + "Chip1: Good Sub-Core: 400, BIST Error Rate: 0.000\n",
                          kErr + "Can not wr to hub 0 !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n", kErr + "chain0: Core Bist failed!\n"});
    EXPECT_FALSE(has(log, "Chip2: Good Sub-Core")) << log;
    EXPECT_EQ(verdict(r), result("E14: 2"));
}

// Progress dots of the DAG wait: from its start to `until`.
int dag_dots(const std::string &log, const std::string &until) {
    const size_t from = log.find("Waiting for gen dag done"), to = log.find(until, from);
    if (from == std::string::npos || to == std::string::npos) return -1;
    return count(log.substr(from, to - from), kInfo + ".\n");
}

TEST(MemoryFaults, DagHubDoneAfter70WaitsIsInTime) {
    MachineRun r = run_board(R"("memdag 8 3 70")");
    const std::string log = r.syslog();
    EXPECT_FALSE(has(log, "Gen dag timeout")) << log;
    EXPECT_EQ(dag_dots(log, "CFG high speed"), 70) << log;
    EXPECT_EQ(verdict(r), result("Pass"));
}

TEST(MemoryFaults, DagHubDoneAfter71WaitsTimesOut) {
    MachineRun r = run_board(R"("memdag 8 3 71")");
    const std::string log = r.syslog();
    expect_in_order(log, {kErr + "chain0: chip8 ERROR   Gen dag timeout!!!!!!!!!!!!!!!!!!!!!!!!!\n",
                          kWarn + "chain:0,chip:8 has been disabled\n", kErr + "Chip    8 memory failure word 0x01000000\n"});
    EXPECT_EQ(dag_dots(log, "Gen dag timeout"), 71) << log;
    EXPECT_TRUE(has(log, kWarn + "cmd08 no return: 8 \n")) << log;
    EXPECT_EQ(verdict(r), result("E3:   8 "));
}

TEST(MemoryFaults, WrongValidCountsDisableTheChips) {
    MachineRun r = run_board(R"("memcount 4 cache A3FFE", "memcount 6 dag 147FFF4")");
    const std::string log = r.syslog();
    expect_in_order(log, {kWarn + "chain0: chip6 dag valid num wrong! a02d \n", kWarn + "chain0: chip4 dag valid num wrong! a02d \n",
                          kWarn + "chain:0,chip:6 has been disabled\n"});
    EXPECT_FALSE(has(log, "chip5 dag valid num wrong")) << log;
    EXPECT_TRUE(has(log, kWarn + "cmd08 no return: 4 6 \n")) << log;
    EXPECT_EQ(verdict(r), result("E3:   4   6 "));
}

TEST(MemoryFaults, PhyPllOfOneChannelUnlockedAtHighSpeed) {
    // Channel CD of chip 7 locks at 3 GHz, never at 10: every high-speed
    // attempt loses its trainings on CD and chip 7 finds no nonce. The
    // failure handler's clock check then finds the lock register at 0, but
    // the verdict stays the soft BIST's, the step that failed first.
    MachineRun r = run_board(R"("memphy 7 CD 10")");
    const std::string log = r.syslog();
    EXPECT_FALSE(has(log, "ddr pll unlock")) << log;
    std::vector<std::string> order;
    for (int n = 1; n <= 3; n++)
        for (const std::string &l : {kWarn + "chain0: chip7 DDR CD Side wck2ck training fail! \n",
                                     kWarn + "chain0: chip7 [GDDRN]:LDFF training timeout.\n",
                                     kWarn + "chain0: chip7 [GDDRN]:Read Train timeout.\n",
                                     kWarn + "chain0: chip7 DDR CD Side Read training fail!\n",
                                     kWarn + "chain 0, chip 7 recfg_retry_proi cnt " + std::to_string(n) + "\n"})
            order.push_back(l);
    order.push_back(kWarn + "cmd08 no return: 7 \n");
    expect_in_order(log, order);
    EXPECT_FALSE(has(log, "chip6 DDR")) << log;
    EXPECT_EQ(verdict(r), result("E3:   7 "));
}

TEST(MemoryFaults, HealthyBoardWritesTheRegisterSeries) {
    MachineRun r = run_board();
    EXPECT_EQ(verdict(r), result("Pass"));
    // Every chip found every nonce: each has its DAG in memory.
    const std::string log = r.syslog();
    for (int k = 1; k <= 8; k++) EXPECT_TRUE(has(log, kInfo + "Chip 0" + std::to_string(k) + ":    -\t  0.0\n")) << log;
    // Mode registers of one channel: low-speed init and vref, the timing
    // set 3 words of the high-speed switch, its restart, then vref again.
    const std::vector<uint32_t> want = {0x140C, 0x67B3, 0x6FB3, 0x9787, 0x9F87, 0x67B3, 0x6FB3, 0x6582, 0x6D82,
                                        0x140C, 0x0075, 0x41C5, 0x861A, 0x2400, 0x0075, 0x41C5, 0x861A, 0x6501,
                                        0x6D01, 0x67B3, 0x6FB3, 0x6582, 0x6D82};
    for (int k : {1, 8})
        for (const char *side : {"AB", "GH"}) EXPECT_EQ(mode_words(r, k, side), want) << "chip " << k << " " << side;
    const std::vector<Write> w8 = writes(r, 8);
    // The controller restart: for each channel k the registers 0x8C001 and
    // 0x8C101 + 0x200 k go to bit 8 clear, then set.
    std::vector<std::pair<uint32_t, uint32_t>> restart, want_restart;
    for (const Write &w : w8)
        if ((w.addr & 0xFF8FF) == 0x8C001) restart.push_back({w.addr, w.value & 0x100});
    for (uint32_t k = 0; k < 4; k++)
        for (uint32_t v : {0u, 0x100u})
            for (uint32_t a : {0x8C001u, 0x8C101u}) want_restart.push_back({a + 0x200 * k, v});
    EXPECT_EQ(restart, want_restart);
    // The static set-up of channel AB's data lanes (0x531..0x537), first pass.
    std::vector<uint32_t> lanes;
    for (const Write &w : w8)
        if (w.addr >= 0xD8531 && w.addr <= 0xD8537 && lanes.size() < 16) lanes.push_back(w.addr & 0xFFF);
    const std::vector<uint32_t> want_lanes = {0x537, 0x532, 0x533, 0x535, 0x536, 0x537, 0x532, 0x533,
                                              0x535, 0x536, 0x537, 0x537, 0x531, 0x531, 0x534, 0x534};
    EXPECT_EQ(lanes, want_lanes);
}

TEST(MemoryBoardMining, MiningProgramBringsTheBoardUpAndFindsNonces) {
    // The mining program does no memory bring-up: its own jobs reach the
    // memory chips' cores as on any board.
    MachineRun r = run_machine(R"({"platform": 4, "boards": [{"slot": 0, "chip_type": 10, "chips": 8, "heat": 20}]})",
                               {build_path("kmx-miner"), "--chains", "1", "--chips", "8", "--chip-type", "10", "--quick",
                                "--rounds", "3"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "bring-up chain0: up chips 8 ")) << r.out;
    EXPECT_TRUE(has(r.out, "hash round 3 chain0: nonces 24 hw errors 0 missed 0 ")) << r.out;
}

}  // namespace
