// Chain detection and the stand-in miner end to end: kmx-miner runs inside
// an emulated machine and brings up its chains through the library.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

int count(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

std::vector<std::string> lines_with(const std::string &text, const std::string &prefix) {
    std::vector<std::string> v;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (l.rfind(prefix, 0) == 0) v.push_back(l);
    return v;
}

// Eight boards of 168 chips: slot 2 never answers, slot 4 holds 120 chips.
// The thermal model keeps every chip's temperature plausible for the ramps.
const std::string kEight =
    R"({"platform":4,"boards":[{"slot":0,"chips":168,"heat":30},{"slot":1,"chips":168,"heat":30},)"
    R"({"slot":2,"chips":168,"dead":true},{"slot":3,"chips":168,"heat":30},{"slot":4,"chips":120,"heat":30},)"
    R"({"slot":5,"chips":168,"heat":30},{"slot":6,"chips":168,"heat":30},{"slot":7,"chips":168,"heat":30}],)"
    R"("uboot":{"image_flag":"0","standby":"0"},"files":{"/etc/hwrevision":"zynq n5.b\n"}})";

MachineRun detect(const std::string &desc, std::vector<std::string> extra) {
    std::vector<std::string> cmd = {build_path("kmx-miner"), "--detect-only"};
    cmd.insert(cmd.end(), extra.begin(), extra.end());
    return run_machine(desc, cmd);
}

void expect_eight_chain_outcome(const MachineRun &r) {
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "detected 6 chains\n")) << r.out;
    for (int c : {0, 1, 3, 5, 6, 7}) EXPECT_TRUE(has(r.out, "bring-up chain" + std::to_string(c) + ": up chips 168")) << r.out;
    EXPECT_TRUE(has(r.out, "bring-up chain2: down chips 0")) << r.out;
    EXPECT_TRUE(has(r.out, "bring-up chain4: down")) << r.out;
    const std::string errs = r.file("/tmp/errchain");
    // The dead chain fails its power-up; the short chain passes it but its
    // sensor reads run to the configured chip count and fail at chip 121:
    // the ramp's temperature checks shut it down and its next PLL write fails.
    EXPECT_TRUE(has(errs, "3/24/ENCORE_FAIL.chain(3).chip(")) << errs;
    EXPECT_TRUE(has(errs, "5/25/SETPLL_FAIL.chain(5).chip(")) << errs;
    for (int slot : {1, 2, 4, 6, 7, 8}) EXPECT_TRUE(has(errs, std::to_string(slot) + "/0/")) << errs;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain detect finished. 6 chains detected.")) << log;
    EXPECT_TRUE(has(log, "chain2: failed in kmx_chain_preinit(), SHUTDOWN")) << log;
    EXPECT_TRUE(has(log, "failed to read temperature for chain4 chip121")) << log;
    EXPECT_TRUE(has(log, "chain4: failed to read temperature for 5 times, SHUTDOWN")) << log;
    EXPECT_TRUE(has(log, "chain4: detect failed")) << log;
    // Twelve power-up attempts, 0, 3 and 6 s apart within each mode; the
    // thread ends after the power-up (no five bring-up attempts).
    EXPECT_EQ(count(log, "chain2: RESET failed"), 12) << log;
    EXPECT_EQ(count(log, "chain2: sleep(6)"), 4) << log;
    EXPECT_EQ(count(log, "chain2: detect failed"), 1) << log;
    EXPECT_EQ(count(log, "chain0: detect finished"), 1) << log;
}

TEST(ChainDetect, ParallelBringsUpTheLiveChainsWithErrorsForDeadAndShort) {
    MachineRun r = detect(kEight, {"--chains", "8", "--chips", "168", "--quick"});
    expect_eight_chain_outcome(r);
}

TEST(ChainDetect, SerialAndParallelLeaveTheSameChainStates) {
    MachineRun par = detect(kEight, {"--chains", "8", "--chips", "168", "--quick"});
    MachineRun ser = detect(kEight, {"--chains", "8", "--chips", "168"});
    expect_eight_chain_outcome(ser);
    EXPECT_EQ(lines_with(ser.out, "bring-up"), lines_with(par.out, "bring-up"));
    EXPECT_EQ(ser.file("/tmp/errchain"), par.file("/tmp/errchain"));
}

// A second detection over fewer chains: the flag left set by the chain no
// longer asked for must not end the wait before the asked-for chains are done.
TEST(ChainDetect, SecondDetectionWaitsForEveryAskedForChain) {
    const std::string desc =
        R"({"platform":4,"boards":[{"slot":0,"chips":40},{"slot":2,"chips":40},{"slot":5,"chips":40}],)"
        R"("uboot":{"image_flag":"0","standby":"0"},"files":{"/etc/hwrevision":"zynq n5.b\n"}})";
    MachineRun r = detect(desc, {"--chains", "4", "--chips", "40", "--quick", "--again", "3"});
    EXPECT_TRUE(has(r.out, "detected 3 chains\ndetected again 3 chains\n")) << r.out;
    const std::string log = r.syslog();
    const size_t first_end = log.find("chain detect finished.");
    ASSERT_NE(first_end, std::string::npos) << log;
    const size_t second_end = log.find("chain detect finished.", first_end + 1);
    ASSERT_NE(second_end, std::string::npos) << log;
    const std::string second = log.substr(first_end, second_end - first_end);
    EXPECT_TRUE(has(second, "chain0: detect finished")) << second;
    EXPECT_TRUE(has(second, "chain2: detect finished")) << second;
    EXPECT_FALSE(has(second, "chain5: power down")) << second;
}

// Parallel mode asks the watchdog state: a chain it shut down gets no thread.
TEST(ChainDetect, ChainShutDownByTheWatchdogIsNotStarted) {
    const std::string desc =
        R"({"platform":4,"boards":[{"slot":0,"chips":20},{"slot":1,"chips":20},{"slot":2,"chips":20}],)"
        R"("uboot":{"image_flag":"0","standby":"0"},"files":{"/etc/hwrevision":"zynq n5.b\n",)"
        R"("/tmp/watchdog":"0 2 7 0 0 0 0 0\n"}})";
    MachineRun r = detect(desc, {"--chains", "3", "--chips", "20", "--quick"});
    EXPECT_TRUE(has(r.out, "detected 1 chains\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: shutdown by watchdog process(2), abort")) << log;
    EXPECT_TRUE(has(log, "chain2: invalid watchdog state 7")) << log;
    EXPECT_FALSE(has(log, "chain1: set spi speed")) << log;
    EXPECT_FALSE(has(log, "chain2: set spi speed")) << log;
    const std::string errs = r.file("/tmp/errchain");
    EXPECT_TRUE(has(errs, "2/47/")) << errs;
    EXPECT_TRUE(has(errs, "msg(overheat)")) << errs;
    EXPECT_TRUE(has(errs, "3/0/")) << errs;
}

const std::string kI2cHead =
    R"({"platform":4,"psu":{"vendor":"GP","fwver":[1,65],"errorcode":0,"sync_output":0},)"
    R"("uboot":{"image_flag":"0","standby":"0"},"files":{"/etc/hwrevision":"zynq n5.b\n"},"boards":)";

// The board of slot 0 is cabled to signal port 1 and the other way round.
TEST(ChainDetect, SpiTestFindsCrossedCables) {
    MachineRun r = detect(kI2cHead + R"([{"slot":0,"chips":20,"power_from":1},{"slot":1,"chips":20,"power_from":0}]})",
                          {"--chains", "2", "--chips", "20", "--subtype", "1"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "testing SPI connection for miners with I2C PSU")) << log;
    EXPECT_TRUE(has(log, "SPI misplugged: SPI0 connected with chain1")) << log;
    EXPECT_TRUE(has(log, "testing SPI finished with error!")) << log;
    // Both ends, each naming the other (the history keeps them; later
    // errors of the same slots replace them in /tmp/errchain).
    const std::string errs = r.file("/tmp/errlog");
    EXPECT_TRUE(has(errs, "/1/34/MISPLUGGED.chain(1).chip().msg(chain1)")) << errs;
    EXPECT_TRUE(has(errs, "/2/34/MISPLUGGED.chain(2).chip().msg(chain0)")) << errs;
    EXPECT_TRUE(has(log, "chain detect finished.")) << log;
}

TEST(ChainDetect, SpiTestPassesStraightCablesAndRefusesPortsAboveTwo) {
    MachineRun ok = detect(kI2cHead + R"([{"slot":0,"chips":20},{"slot":1,"chips":20}]})",
                           {"--chains", "2", "--chips", "20", "--subtype", "1"});
    EXPECT_TRUE(has(ok.syslog(), "testing SPI finished!")) << ok.syslog();
    EXPECT_FALSE(has(ok.file("/tmp/errlog"), "/34/")) << ok.file("/tmp/errlog");

    MachineRun r = detect(kI2cHead + R"([{"slot":0,"chips":20},{"slot":3,"chips":20}]})",
                          {"--chains", "4", "--chips", "20", "--subtype", "1"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "SPI misplugged: invalid chain ID 3 for I2C PSU")) << log;
    EXPECT_TRUE(has(r.file("/tmp/errlog"), "/4/34/")) << r.file("/tmp/errlog");
    // Detection goes on after the wiring error.
    EXPECT_TRUE(has(r.out, "bring-up chain0: up chips 20")) << r.out;
}

// Plug present, no power: nothing answers and the supply reads 0 V at
// start-up (error 41 at each attempt, then the power-up failure 24).
TEST(ChainDetect, BoardWithoutPowerFailsItsPowerUp) {
    MachineRun r = detect(kI2cHead + R"([{"slot":0,"chips":20},{"slot":1,"chips":20,"no_power":true}]})",
                          {"--chains", "2", "--chips", "20", "--subtype", "1"});
    EXPECT_TRUE(has(r.out, "bring-up chain0: up chips 20")) << r.out;
    EXPECT_TRUE(has(r.out, "bring-up chain1: down")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: low startup voltage 0.00V")) << log;
    EXPECT_TRUE(has(log, "chain1: failed in kmx_chain_preinit(), SHUTDOWN")) << log;
    EXPECT_TRUE(has(r.file("/tmp/errlog"), "/2/24/")) << r.file("/tmp/errlog");
}

// One supply voltage for all chains: the live chains power down and retry in
// step with the dead one; once it has used up its attempts it leaves the
// barrier and the others come up.
TEST(ChainDetect, VinSyncChainsRetryTogetherAndPassWhenTheDeadOneGivesUp) {
    const std::string desc =
        R"({"platform":4,"psu":{"vendor":"GP","fwver":[1,65],"errorcode":0,"sync_output":1},)"
        R"("uboot":{"image_flag":"0","standby":"0"},"files":{"/etc/hwrevision":"zynq n5.b\n"},"boards":)"
        R"([{"slot":0,"chips":20},{"slot":1,"chips":20,"dead":true},{"slot":2,"chips":20}]})";
    MachineRun r = detect(desc, {"--chains", "3", "--chips", "20", "--subtype", "1"});
    EXPECT_TRUE(has(r.out, "detected 2 chains\n")) << r.out;
    EXPECT_TRUE(has(r.out, "bring-up chain0: up chips 20")) << r.out;
    EXPECT_TRUE(has(r.out, "bring-up chain2: up chips 20")) << r.out;
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "all chains: set vid 0\n"), 1) << log;
    EXPECT_EQ(count(log, "chain0: chip type detected"), 12) << log;
    EXPECT_EQ(count(log, "chain2: chip type detected"), 12) << log;
    EXPECT_EQ(count(log, "chain0: detected 20 chips"), 1) << log;
    EXPECT_TRUE(has(log, "chain1: failed in kmx_chain_preinit(), SHUTDOWN")) << log;
    EXPECT_TRUE(has(log, "g_vsync_total_chains:2 line:940")) << log;
    EXPECT_FALSE(has(log, "vin-sync: chains did not")) << log;
}

// A chip that never answers cuts the chain short before it: BIST counts the
// chips in front of it, the sensor reads then fail at that chip until the
// temperature policy shuts the chain down in the middle of its ramp.
TEST(ChainDetect, FailingChipIsNamedInTheError) {
    MachineRun r = detect(
        R"({"platform":4,"boards":[{"slot":0,"chips":30,"silent_chip":17}],"uboot":{"image_flag":"0","standby":"0"}})",
        {"--chains", "1", "--chips", "30", "--quick"});
    EXPECT_TRUE(has(r.out, "detected 0 chains")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "chain0: detected 16 chips")) << r.syslog();
    EXPECT_TRUE(has(r.syslog(), "failed to read temperature for chain0 chip17")) << r.syslog();
    EXPECT_TRUE(has(r.syslog(), "chain0: failed to read temperature for 5 times, SHUTDOWN")) << r.syslog();
    EXPECT_TRUE(has(r.file("/tmp/errchain"), "1/25/SETPLL_FAIL.chain(1)")) << r.file("/tmp/errchain");
}

// Chips at 40 degrees and 390 mV read so through the library on each process: reset
// code 0 (technology 0), reset code 3 (chip type 3, technology 1) and
// model 15 on a machine of subtype 64 (technology 2).
TEST(ChainDetect, ChipTemperaturesReadAsMeasuredOnEachProcess) {
    for (const auto &[board, args] :
         {std::pair{R"("chip_type":0)", "--chip-type 0"}, std::pair{R"("chip_type":3)", "--chip-type 3"},
          std::pair{R"("chip_type":5,"chip_model":15)", "--chip-type 5 --subtype 64"}}) {
        MachineRun r = run_machine(std::string(R"({"platform":4,"boards":[{"slot":0,"chips":40,)") + board +
                                       R"(}],"uboot":{"image_flag":"0","standby":"0"}})",
                                   {"sh", "-c", "printf 'temp 0 40\\n' >/run/sim/chips0 && " + build_path("kmx-miner") +
                                                    " --detect-only --chains 1 --chips 40 " + args});
        EXPECT_TRUE(has(r.out, "bring-up chain0: up chips 40 ")) << board << "\n" << r.out;
        EXPECT_TRUE(has(r.out, " temp 40.0C\n")) << board << "\n" << r.out;
        // The regulator's 390 mV (VID 10) reads 390 through each process's factor.
        EXPECT_TRUE(has(r.out, " vid 10 voltage 390mV ")) << board << "\n" << r.out;
    }
}

// ---- the stand-in miner ----

const std::string kThree =
    R"({"platform":4,"boards":[{"slot":0,"chips":10},{"slot":2,"chips":10},{"slot":5,"chips":10,"stop_after_jobs":25}],)"
    R"("uboot":{"image_flag":"0","standby":"0"},"files":{"/etc/hwrevision":"zynq n5.b\n",)"
    R"("/etc/cgminer.conf":"{\"pools\":[{\"url\":\"stratum+tcp://pool.example:3333\",\"user\":\"w1\"}]}"}})";

TEST(Miner, CountsNoncesPerChainAndDropsAChainThatStops) {
    MachineRun r = run_machine(kThree, {build_path("kmx-miner"), "--chains", "4", "--chips", "10", "--quick",
                                        "--rounds", "5", "--report-every", "5"});
    EXPECT_TRUE(has(r.out, "detected 3 chains")) << r.out;
    EXPECT_TRUE(has(r.out, "hash round 5 chain0: nonces 50 hw errors 0 missed 0")) << r.out;
    EXPECT_TRUE(has(r.out, "hash round 5 chain2: nonces 50 hw errors 0")) << r.out;
    // Two rounds of ten chips and five jobs of the third, then silence.
    EXPECT_TRUE(has(r.out, "chain5: stopped answering, powered down")) << r.out;
    EXPECT_TRUE(has(r.out, "hash round 5 chain5: nonces 25 ")) << r.out;
}

TEST(Miner, ApiAnswersParseAsTheDaemonReadsThem) {
    const std::string script = build_path("kmx-miner") +
                               " --chains 4 --chips 10 --quick --vid 12 > /tmp/miner.out 2>&1 & "
                               "for i in $(seq 2400); do " + build_path("miner-api-client") +
                               " > /tmp/api.out 2>&1 && grep -q 'accepted [1-9]' /tmp/api.out && "
                               "grep -qx fan_ctrl /proc/$!/task/*/comm && grep -qx files_check /proc/$!/task/*/comm && "
                               "break; sleep 0.05; done; "
                               "cat /tmp/api.out; printf 'threads: '; cat /proc/$!/task/*/comm | sort -u | tr '\\n' ' '; "
                               "echo; kill %1";
    MachineRun r = run_machine(kThree, {"bash", "-c", script});
    // The library's background threads carry their names in /proc (ps -L,
    // top -H): the file check sys_init starts and the fan-control loop the
    // program starts through the library's entry. Each names itself as it
    // starts: the listing waits for both names.
    const size_t at = r.out.find("threads: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string threads = " " + r.out.substr(at + 9, r.out.find('\n', at) - at - 9);
    EXPECT_TRUE(has(threads, " fan_ctrl ")) << r.out;
    EXPECT_TRUE(has(threads, " files_check ")) << r.out;
    EXPECT_TRUE(has(r.out, "stats chain 0: fan ")) << r.out;
    EXPECT_TRUE(has(r.out, "pll 600 vid 12 power 0")) << r.out;
    EXPECT_TRUE(has(r.out, "stats chain 2: ")) << r.out;
    EXPECT_TRUE(has(r.out, "stats chain 5: ")) << r.out;
    EXPECT_TRUE(has(r.out, "devs 0: asc 0 hash positive accepted ")) << r.out;
    EXPECT_TRUE(has(r.out, "rejected 0 hw 0 vendor")) << r.out;
    EXPECT_TRUE(has(r.out, "pools: active 0 url stratum+tcp://pool.example:3333")) << r.out;
}

// `systemctl restart cgminer` inside the machine restarts the stand-in.
TEST(Miner, SystemctlRestartsTheMiningProgram) {
    std::string desc = kThree;
    desc.insert(desc.find("\"/etc/cgminer.conf\""),
                R"("/etc/systemd/system/cgminer.service":"[Service]\nExecStart=/usr/bin/cgminer --chains 4 --chips 10 --quick\n",)");
    const std::string api = build_path("miner-api-client");
    const std::string wait_api = "for i in $(seq 600); do " + api + " >/dev/null 2>&1 && break; sleep 0.05; done; ";
    const std::string script = "systemctl start cgminer; " + wait_api +
                               "p1=$(cat /run/sim/cgminer.pid); systemctl restart cgminer; " + wait_api +
                               "p2=$(cat /run/sim/cgminer.pid); " + api + " | head -n 1; "
                               "[ \"$p1\" != \"$p2\" ] && echo restarted; "
                               "systemctl is-active cgminer; systemctl stop cgminer; systemctl is-active cgminer; "
                               "kill -0 $p2 2>/dev/null || echo gone";
    MachineRun r = run_machine(desc, {"bash", "-c", script});
    EXPECT_TRUE(has(r.out, "stats chain 0: ")) << r.out;
    EXPECT_TRUE(has(r.out, "restarted\nactive\ninactive\ngone\n")) << r.out;
    const std::string log = r.file("/run/sim/cgminer.log");
    EXPECT_EQ(count(log, "detected 3 chains"), 2) << log;
}

// The SoC board: the miner's start-up starts the running record and its
// thread, which then records and flushes while the fan loop, the mining
// rounds and their temperature reads and work-mode changes go on beside it.
const std::string kSoc =
    R"({"platform":16,"boards":[{"slot":0,"chips":10,"heat":30},{"slot":1,"chips":10,"heat":30}],)"
    R"("mtd":{"9":10485760},"uboot":{"image_flag":"0","standby":"0"},)"
    R"("files":{"/etc/hwrevision":"soc n5.b\n","/etc/fwrevision":"V1.2.3-abcdefghij\n",)"
    R"("/etc/rootfs_backup_md5sum":""}})";

TEST(Miner, SocRunKeepsTheRunningRecordBesideTheMining) {
    MachineRun r = run_machine(kSoc, {build_path("kmx-miner"), "--platform", "16", "--chains", "2", "--chips", "10",
                                      "--quick", "--rounds", "400", "--report-every", "400", "--temps", "20"});
    EXPECT_TRUE(has(r.out, "detected 2 chains")) << r.out;
    EXPECT_TRUE(has(r.out, "hash round 400 chain0: nonces 4000 hw errors 0 missed 0")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "thread_running_log create success !")) << log;
    EXPECT_TRUE(has(log, "run_mode has changed !")) << log;
    // The work-mode changes sent the records to flash: a whole head, and
    // the record file emptied behind it.
    const std::string img = r.file("/run/sim/mtd9.img");
    ASSERT_GE(img.size(), 512u);
    EXPECT_EQ(img.substr(0, 8), "LOG#0106");
}

// A record area that cannot be read from the start on: the flash is left
// alone and the records go on into the record file in RAM.
TEST(Miner, SocRunOverAnUnreadableRecordAreaKeepsRecordingInRam) {
    MachineRun r = run_machine(
        kSoc, {"sh", "-c",
               "echo dead >/run/sim/mtd.faults; " + build_path("kmx-miner") +
                   " --platform 16 --chains 2 --chips 10 --quick --rounds 400 --report-every 400 --temps 20; "
                   "echo \"miner $?\"; ls -l /tmp/running_record"});
    EXPECT_TRUE(has(r.out, "hash round 400 chain0: nonces 4000 hw errors 0 missed 0")) << r.out;
    EXPECT_TRUE(has(r.out, "miner 0")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "log area unreadable, records stay in /tmp/running_record !")) << log;
    EXPECT_FALSE(has(log, "log area erased")) << log;
    EXPECT_EQ(r.file("/run/sim/mtd.log"), "");
    // The first record at once, for an event (the firmware check's: the
    // key of an unread area holds no version; or the miner's mode).
    const std::string ram = r.file("/tmp/running_record");
    ASSERT_GE(ram.size(), 256u);
    EXPECT_EQ(ram.size() % 256, 0u);
    EXPECT_NE(ram[35], 0) << "event_type";
}
}  // namespace
