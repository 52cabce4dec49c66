// The emulated machine refuses what it does not know, end to end: a
// misspelt or malformed control in the description or in a control file
// fails the machine's run (status 125, the refused lines in
// /run/sim/refused); kmx-sim refuses a bad slot, verb or value; a board
// pulled from its slot stops answering, mid-test too. (The regulator's
// setting surviving a rewrite of the chips' controls: volt_errors_e2e_test.)
#include <gtest/gtest.h>

#include <string>

#include "support/machine_runner.h"
#include "support/text_search.h"

namespace {

constexpr int kRefused = 125;

std::string machine(const std::string &boards, const std::string &more = "") {
    return R"({"platform":4,"files":{"/etc/hwrevision":"zynq n5.b\n"},)" + more + R"("boards":[)" + boards + "]}";
}
const std::string kChain = R"({"slot":0,"chip_type":5,"chips":72})";

// The chain probe on slot 0 after `before` (a shell line) ran in the machine.
MachineRun probe_after(const std::string &before, const std::string &desc = machine(kChain)) {
    return run_machine(desc, {"sh", "-c", before + " && " + build_path("kmx-chain-probe") + " 4 1 72 0"});
}

TEST(Refusal, MisspeltOrMalformedChipControlsFailTheRun) {
    // A misspelt key, a value that is no number, a code that is not hex, a
    // value out of range, a count too many, a memory fault on a board of
    // hashing chips, and a regulator setting (the device's own state).
    MachineRun r = probe_after(
        "printf 'setle 3 130 2\\ntemp 3 hot\\nfail 0x\\nraw 1 1024\\nsilent 3 4\\nmemtrain 2\\nvid 10\\ntemp 73 130\\n' "
        ">/run/sim/chips0");
    EXPECT_EQ(r.status, kRefused) << r.out;
    // What the chips did with none of it: every one answered.
    EXPECT_TRUE(has(r.out, "chain 0: BIST chip count 72\n")) << r.out;
    EXPECT_EQ(r.file("/run/sim/refused"),
              "chips0: unknown control \"setle 3 130 2\"\n"
              "chips0: bad value in \"temp 3 hot\"\n"
              "chips0: bad value in \"fail 0x\"\n"
              "chips0: bad value in \"raw 1 1024\"\n"
              "chips0: bad value in \"silent 3 4\"\n"
              "chips0: a memory fault on a board without memory chips: \"memtrain 2\"\n"
              "chips0: unknown control \"vid 10\"\n"
              "chips0: no chip 73 on a board of 72 chips: \"temp 73 130\"\n");

    // The same file with what the chips know runs, and its controls act;
    // so does a PLL fault of the last chip, and of every chip.
    r = probe_after("printf 'temp 72 90\\nfail 0b 5\\nraw 1 1023\\nsilent 1\\n' >/run/sim/chips0",
                    machine(R"({"slot":0,"chip_type":5,"chips":72,"pll_fail_mhz":2000,"pll_fail_chip":72},)"
                            R"({"slot":1,"chips":8,"pll_fail_mhz":2000,"pll_fail_chip":0})"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chain 0: register write ok, read failed")) << r.out;
    EXPECT_EQ(r.file("/run/sim/refused"), "");
}

// A key no device reads, or a value of the wrong kind, and the machine does
// not start: the command never runs.
TEST(Refusal, UnknownDescriptionKeysStopTheMachine) {
    // Values no chain can honour: a type past a reset code's nibble, a count
    // past a byte, a chip model that is none, a silent chip or a chip
    // failing its PLL past the count, a PLL fault without a frequency or at
    // none, two boards in one slot.
    MachineRun r = run_machine(machine(R"({"slot":0,"chips":8,"silnet_chip":3,"dead":1,"echo_fault":"loud",)"
                                       R"("pll_fail_chip":2},)"
                                       R"({"slot":2,"chip_type":19,"chips":300,"pll_fail_mhz":0},)"
                                       R"({"slot":3,"chip_type":5,"chips":8,"chip_model":16,"silent_chip":9,)"
                                       R"("pll_fail_mhz":600,"pll_fail_chip":9},)"
                                       R"({"slot":4,"chip_type":0,"chips":8,"chip_model":15},{"slot":2,"chips":8})",
                                       R"("psu":{"voltage":1250,"absnet":true},"watchdog":{"timeout":"60"},)"),
                               {"echo", "ran"});
    EXPECT_EQ(r.status, kRefused);
    EXPECT_EQ(r.out, "");
    const std::string refused = r.file("/run/sim/refused");
    for (const char *line : {"machine description: unknown key psu.absnet",
                             "machine description: watchdog.timeout must be an integer",
                             "machine description: unknown key boards[0].silnet_chip",
                             "machine description: boards[0].dead must be true or false",
                             "machine description: boards[0].echo_fault must be \"data\", \"crc\" or \"none\"",
                             "machine description: boards[1].chips must be 0..255",
                             "machine description: boards[1].chip_type must be 0..15",
                             "machine description: boards[2].chip_model must be 14 or 15",
                             "machine description: boards[2].silent_chip must be a chip of the board (1..8)",
                             "machine description: boards[2].pll_fail_chip must be 0 (every chip) or a chip of the "
                             "board (1..8)",
                             "machine description: boards[0].pll_fail_chip without pll_fail_mhz",
                             "machine description: boards[1].pll_fail_mhz must be 1 or more",
                             "machine description: boards[3].chip_model on a board whose chips are not of reset code 5",
                             "machine description: boards[4].slot 2 already holds boards[1]"})
        EXPECT_TRUE(has(refused, line)) << line << "\n" << refused;
}

// The other devices' control files: the hub's SPI engine faults and stuck
// bits, the physical-memory device, the supply's keys and the flash.
TEST(Refusal, EveryControlFileRefusesWhatItDoesNotKnow) {
    MachineRun r = run_machine(
        machine(kChain),
        {"sh", "-c",
         "printf '0 bussy 3\\n0 busy 3\\n9 record\\n' >/run/sim/spi_faults; printf 'opne\\n' >/run/sim/mem_faults; "
         "printf '0x460 40 1\\n' >/run/sim/hub_stuck; printf 'wirte 2\\n' >/run/sim/mtd.faults; "
         "printf '{\"absnet\":true}' >/run/sim/psu.json; " +
             build_path("kmx-platform-probe") + " 4 0 1 72 >/dev/null; " + build_path("kmx-psu-probe") +
             " >/dev/null 2>&1; kmx-sim mtd-erase /dev/mtd11 0 0x20000; echo done"});
    EXPECT_EQ(r.status, kRefused) << r.out;
    EXPECT_TRUE(has(r.out, "done\n")) << r.out;
    const std::string refused = r.file("/run/sim/refused");
    for (const char *line :
         {"spi_faults: unknown control \"0 bussy 3\"\n", "spi_faults: unknown control \"9 record\"\n",
          "mem_faults: unknown control \"opne\"\n", "hub_stuck: not \"OFFSET BIT LEVEL\": \"0x460 40 1\"\n",
          "mtd.faults: unknown control \"wirte 2\"\n", "psu.json: unknown key absnet\n"})
        EXPECT_TRUE(has(refused, line)) << line << refused;
    EXPECT_FALSE(has(refused, "\"0 busy 3\"")) << refused;
}

// The flash logs every erase it is asked for, a failed one too (each wears
// the block): a worn block 1 fails its erase after the blocks before it
// are erased, alone it fails the whole try, and an armed erase fault fails
// the call's whole range.
TEST(Flash, EveryEraseTryIsLoggedTheFailedOnesMarked) {
    MachineRun r = run_machine(
        machine(kChain, R"("mtd":{"9":1048576},)"),
        {"sh", "-c",
         "printf 'bad 1\\n' >/run/sim/mtd.faults; kmx-sim mtd-erase /dev/mtd9 0 0x60000; echo \"worn $?\"; "
         "kmx-sim mtd-erase /dev/mtd9 0x20000 0x20000; echo \"alone $?\"; "
         "printf 'erase\\n' >/run/sim/mtd.faults; kmx-sim mtd-erase /dev/mtd9 0x40000 0x40000; echo \"fault $?\"; "
         "kmx-sim mtd-erase /dev/mtd9 0x40000 0x20000; echo \"sound $?\""});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "worn 1\nalone 1\nfault 1\nsound 0\n");
    EXPECT_EQ(r.file("/run/sim/mtd.log"),
              "erase /run/sim/mtd9.img 0 131072\n"
              "erase /run/sim/mtd9.img 131072 131072 failed\n"
              "erase /run/sim/mtd9.img 131072 131072 failed\n"
              "erase /run/sim/mtd9.img 262144 262144 failed\n"
              "erase /run/sim/mtd9.img 262144 131072\n");
}

TEST(KmxSim, RefusesAnUnknownSlotVerbOrValue) {
    const std::string script =
        "for a in 'plug 9 1' 'plug 1 2' 'plug x 0' 'plug 1' 'plug -1 0' 'frob' 'button squeeze' 'button hold soon' 'button through 1' "
        "'peek zz' 'poke 0x43C00028' 'peek 0x43C00028 4' 'peek 0x43C00026' 'poke 0x43C00026 5'; do\n"
        "  kmx-sim $a 2>>/tmp/err; echo \"$a -> $?\"; done\n"
        "kmx-sim peek 0x43C00028\n"
        "kmx-sim plug 1 0; echo \"pull -> $?\"; kmx-sim peek 0x43C00028\n";
    MachineRun r = run_machine(machine(R"({"slot":1,"chip_type":0,"chips":8})"), {"sh", "-c", script});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out,
              "plug 9 1 -> 2\nplug 1 2 -> 2\nplug x 0 -> 2\nplug 1 -> 2\nplug -1 0 -> 2\nfrob -> 2\n"
              "button squeeze -> 2\nbutton hold soon -> 2\nbutton through 1 -> 2\npeek zz -> 2\npoke 0x43C00028 -> 2\n"
              "peek 0x43C00028 4 -> 2\npeek 0x43C00026 -> 2\npoke 0x43C00026 5 -> 2\n"
              // Nothing changed: slot 1 plugged (bit 1 low), the rest empty, the button up.
              "0x000100fd\n"
              "pull -> 0\n0x000100ff\n");
    const std::string err = r.file("/tmp/err");
    EXPECT_TRUE(has(err, "kmx-sim: no slot \"9\" (0..7)\n")) << err;
    EXPECT_TRUE(has(err, "kmx-sim: plug takes 0 (pull) or 1 (plug), not \"2\"\n")) << err;
    EXPECT_TRUE(has(err, "kmx-sim: unknown command \"frob\"\n")) << err;
    EXPECT_TRUE(has(err, "kmx-sim: button takes press, release, tap, through or hold MS\n")) << err;
    EXPECT_TRUE(has(err, "usage: kmx-sim boot | peek ADDR")) << err;
    EXPECT_TRUE(has(err, "kmx-sim: poke takes the address of a word (a multiple of 4), not \"0x43C00026\"\n")) << err;
}

// A time scale that is no number from 1 to 1000000 fails the run it was
// given to; the machine's own (200) and a sound one run.
TEST(KmxSim, TimeScaleThatIsNoNumberInRangeFailsTheRun) {
    MachineRun r = run_machine(machine(kChain), {"sh", "-c",
                                                 "for s in abc 0 5e6 20x 20 1000000; do KMX_TIME_SCALE=$s kmx-sim peek "
                                                 "0x43C00028 >/dev/null 2>&1; done; echo ran"});
    EXPECT_EQ(r.status, kRefused) << r.out;
    EXPECT_EQ(r.out, "ran\n");
    EXPECT_EQ(r.file("/run/sim/refused"),
              "KMX_TIME_SCALE must be a number from 1 to 1000000, not \"abc\"\n"
              "KMX_TIME_SCALE must be a number from 1 to 1000000, not \"0\"\n"
              "KMX_TIME_SCALE must be a number from 1 to 1000000, not \"5e6\"\n"
              "KMX_TIME_SCALE must be a number from 1 to 1000000, not \"20x\"\n");
}

// A pulled board's chips answer nothing; plugged back, they answer again,
// without the ids they had.
TEST(PulledBoard, ChipsStopAnsweringAndComeBackBlank) {
    MachineRun r = run_machine(machine(kChain),
                               {"sh", "-c",
                                "kmx-sim plug 0 0; " + build_path("kmx-chain-probe") + " 4 1 72 0; kmx-sim plug 0 1; " +
                                    build_path("kmx-chain-probe") + " 4 1 72 0"});
    EXPECT_EQ(r.status, 0) << r.out;
    const size_t back = r.out.find("chain 0: powered on", 1);
    ASSERT_NE(back, std::string::npos) << r.out;
    const std::string pulled = r.out.substr(0, back), plugged = r.out.substr(back);
    EXPECT_TRUE(has(pulled, "chain 0: reset failed")) << pulled;
    EXPECT_TRUE(has(pulled, "chain 0: BIST chip count -1\n")) << pulled;
    EXPECT_TRUE(has(pulled, "result none\n")) << pulled;
    EXPECT_TRUE(has(plugged, "chain 0: BIST chip count 72\n")) << plugged;
    EXPECT_TRUE(has(plugged, "chain 0: auto nonce read\n")) << plugged;
}

// Pulled in the middle of the board test: the test does not pass it. The
// board goes once the chips' first temperatures are read.
TEST(PulledBoard, BoardPulledMidBoardTestFails) {
    const std::string script =
        "boardcheck -a >/dev/null 2>&1 &\n"
        "b=$!\n"
        "until grep -q 'chain1: T Max' /run/sim/syslog.log || ! kill -0 $b 2>/dev/null; do sleep 0.01; done\n"
        "kmx-sim plug 1 0\n"
        "wait $b\n";
    MachineRun r = run_machine(R"({"platform":4,"straps":{"board_code":15},"boards":[{"slot":1,"chip_type":0,)"
                               R"("chips":68,"heat":20}]})",
                               {"sh", "-c", script});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: T Max")) << log;
    EXPECT_TRUE(has(log, "Test Failed!")) << log;
    EXPECT_FALSE(has(r.file("/tmp/mtest"), "Pass")) << r.file("/tmp/mtest");
}

}  // namespace
