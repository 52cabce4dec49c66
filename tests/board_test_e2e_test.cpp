// The control board's self-test end to end: the probe runs the library's
// entry point inside an emulated SoC machine whose eight slots hold the
// test fixture's loop-back boards, and the test reads the result file, the
// U-Boot calls and the error file the machine kept.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/machine_runner.h"

namespace {

// Fixture boards in slots 0-7; `extra` adds keys to a slot's object, `top`
// keys to the machine.
std::string desc(std::map<int, std::string> extra = {}, const std::string &top = "") {
    std::string boards;
    for (int s = 0; s < 8; s++) {
        std::string b = R"({"slot":)" + std::to_string(s) + R"(,"fixture":true)";
        if (s == 0 && extra[0].find("work_mode") == std::string::npos) b += R"(,"work_mode":143)";
        if (!extra[s].empty()) b += "," + extra[s];
        boards += (s ? "," : "") + b + "}";
    }
    return R"({"platform":16,"button_pressed":true,"boards":[)" + boards +
           R"(],"uboot":{"watchdog":"on"},"files":{"/config/network/25-wired.network":"[Match]\nName=eth0\n[Network]\nDHCP=yes\n"})" +
           (top.empty() ? "" : "," + top) + "}";
}

// Fan tachometers at the speed the 60 % duty should give.
std::string tach(int t0 = 12000, int t1 = 12000, int t2 = 12000) {
    const std::string sim = build_path("kmx-sim");
    return sim + " poke 0x602F0058 " + std::to_string(t0) + " && " + sim + " poke 0x602F005C " + std::to_string(t1) +
           " && " + sim + " poke 0x602F0060 " + std::to_string(t2) + " && ";
}

MachineRun prepare(const std::string &d, const std::string &before = tach()) {
    // The network file lives outside what the machine keeps: shown on stdout.
    return run_machine(d, {"sh", "-c",
                           before + build_path("kmx-board-test-probe") +
                               " prepare 16; s=$?; echo '--net--'; cat /config/network/25-wired.network; exit $s"});
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

const char *const kPassLog =
    "GET_WORK_MODE=1\nSPI_HUB=1\nWRITE_JOB=1\nNETWORK_INTERFACE=1\nPWM=1\nSPI_PLUG=1\nSPI_PLUSE=1\nSPI_PROTOCOL=1\n"
    "I2C_POWER=1\nERRCODE=0x5AA5A55A\n";

TEST(BoardSelfTest, PassesOnTheFixture) {
    MachineRun r = prepare(desc());
    ASSERT_EQ(r.status, 0) << r.out << r.syslog();
    EXPECT_EQ(r.file("/tmp/boardtestlog"), kPassLog);
    EXPECT_EQ(r.file("/tmp/errcode").substr(0, 3), "46\n");
    // The VID type was read from the board, as a normal start-up does.
    EXPECT_TRUE(has(r.syslog(), "board test vid type: 15")) << r.syslog();
    const std::string calls = r.file("/run/sim/calls.log");
    const size_t stop = calls.find("systemctl stop zel-monitor\n");
    EXPECT_NE(stop, std::string::npos) << calls;
    EXPECT_GT(calls.find("systemctl disable zel-monitor\n"), stop) << calls;
    EXPECT_TRUE(has(calls, "fw_setenv board_tested 1\n")) << calls;
    EXPECT_FALSE(has(calls, "board_tested 2")) << calls;
    // The static test address was used for the ping, then DHCP again.
    EXPECT_TRUE(has(calls, "ping -c 1 192.168.1.88\n"));
    EXPECT_TRUE(has(r.out, "--net--\n[Match]\nName=eth0\n[Network]\nDHCP=yes\n[DHCP]\nClientIdentifier=mac\n")) << r.out;
    EXPECT_TRUE(has(r.file("/run/sim/wdt.log"), "open\nenable\ntimeout 90\nkeepalive +")) << r.file("/run/sim/wdt.log");
}

TEST(BoardSelfTest, EightChainReplyOfThreeTestsThreeChains) {
    MachineRun r = prepare(desc({{0, R"("work_mode":63)"}, {3, R"("pulse_stuck":true)"}}));
    // Slot 3 never releases its plug line, but only chains 0-2 are tested.
    ASSERT_EQ(r.status, 0) << r.out << r.syslog();
    EXPECT_EQ(r.file("/tmp/boardtestlog"), kPassLog);
}

TEST(BoardSelfTest, NotTestedWhenTheVariableSaysSo) {
    MachineRun r = prepare(R"({"platform":16,"boards":[{"slot":0,"fixture":true,"work_mode":143}],"uboot":{"no_board_test":"1"}})");
    ASSERT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(has(r.out, "not tested platform 0 chain_num 0 chip_num 0 mapped 0")) << r.out;
    EXPECT_EQ(r.file("/tmp/boardtestlog"), "");
    EXPECT_TRUE(has(r.syslog(), "board_detection_prepare:no_board_test:1"));
}

TEST(BoardSelfTest, ChainZeroRepliesThatAskForNoTest) {
    struct Case {
        const char *mode;
        const char *log;
    };
    const Case cases[] = {
        {R"("work_mode":79)", "GET_WORK_MODE=0\nERRCODE=0x5AA50000\nMSG=chain_link_err\n"},
        {R"("work_mode":53)", "GET_WORK_MODE=0\nERRCODE=0x5AA50300\nMSG=spi_err\n"},
        {R"("work_mode":-1)", "GET_WORK_MODE=0\nERRCODE=0x5AA50300\nMSG=spi_err\n"},
    };
    for (const Case &c : cases) {
        MachineRun r = prepare(desc({{0, c.mode}}));
        ASSERT_EQ(r.status, 2) << c.mode << r.out;
        EXPECT_EQ(r.file("/tmp/boardtestlog"), c.log) << c.mode;
        // The mining process's globals and mappings are as they were.
        EXPECT_TRUE(has(r.out, "not tested platform 0 chain_num 0 chip_num 0 mapped 0")) << r.out;
        EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "systemctl")) << c.mode;
        EXPECT_TRUE(has(r.syslog(), "get_work_mode error !!!"));
    }
}

TEST(BoardSelfTest, NotTestedAfterStartUpLeavesItsSetUp) {
    MachineRun r = run_machine(desc({{0, R"("work_mode":79)"}}), {build_path("kmx-board-test-probe"), "prepare-mapped"});
    ASSERT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(has(r.out, "not tested platform 16 chain_num 2 chip_num 10 chip_type 5 ids 1 3 mapped 1")) << r.out;
    // The hub windows were mapped once, by the set-up before the call.
    const std::string log = r.syslog();
    size_t maps = 0;
    for (size_t p = log.find("mmap spi:"); p != std::string::npos; p = log.find("mmap spi:", p + 1)) maps++;
    EXPECT_EQ(maps, 1u) << log;
}

// Each check fails the test at its own stage: its record, board_tested 2
// once, and no later stage.
TEST(BoardSelfTest, EachCheckFailsAtItsStage) {
    struct Case {
        const char *what;
        std::string desc;
        std::string before;
        std::string tail;  // what the result file ends with
    };
    const std::string pre = "GET_WORK_MODE=1\n";
    const Case cases[] = {
        {"stuck hub register", desc({}, R"("hub_stuck":["0x0460 3 1"])"), tach(), "SPI_HUB=0\nERRCODE=0x5AA50003\nMSG=0x0460\n"},
        {"job echo", desc({{1, R"("echo_fault":"data")"}}), tach(), "SPI_HUB=1\nWRITE_JOB=0\nERRCODE=0x5AA50007\nMSG=2\n"},
        {"job crc", desc({{4, R"("echo_fault":"crc")"}}), tach(), "SPI_HUB=1\nWRITE_JOB=0\nERRCODE=0x5AA50007\nMSG=5\n"},
        {"no echo", desc({{7, R"("echo_fault":"none")"}}), tach(), "SPI_HUB=1\nWRITE_JOB=0\nERRCODE=0x5AA50007\nMSG=8\n"},
        {"network", desc(), tach() + "echo 6 >/run/sim/ping_fails && ",
         "WRITE_JOB=1\nNETWORK_INTERFACE=0\nERRCODE=0x5AA50001\n"},
        {"fan", desc(), tach(12000, 12600, 12000), "NETWORK_INTERFACE=1\nPWM=0\nERRCODE=0x5AA51000\nMSG=12000:12000:12600:12000\n"},
        {"plug", desc(), tach() + build_path("kmx-sim") + " plug 3 1 && ", "PWM=1\nSPI_PLUG=0\nERRCODE=0x5AA50010\nMSG=4\n"},
        {"pulse", desc({{2, R"("pulse_stuck":true)"}}), tach(), "SPI_PLUG=1\nSPI_PLUSE=0\nERRCODE=0x5AA50030\n"},
        {"bist", desc({{5, R"("chips":9)"}}), tach(), "SPI_PLUSE=1\nSPI_PROTOCOL=0\nERRCODE=0x5AA50070\n"},
        {"supply", desc({}, R"("psu":{"fail_always":true})"), tach(), "SPI_PROTOCOL=1\nI2C_POWER=0\nERRCODE=0x5AA50100\n"},
    };
    for (const Case &c : cases) {
        MachineRun r = prepare(c.desc, c.before);
        EXPECT_EQ(r.status, 3) << c.what << r.out;
        const std::string log = r.file("/tmp/boardtestlog");
        EXPECT_EQ(log.substr(0, pre.size()), pre) << c.what;
        ASSERT_GE(log.size(), c.tail.size()) << c.what << log;
        EXPECT_EQ(log.substr(log.size() - c.tail.size()), c.tail) << c.what << "\n" << log;
        const std::string calls = r.file("/run/sim/calls.log");
        const size_t first = calls.find("fw_setenv board_tested 2\n");
        EXPECT_NE(first, std::string::npos) << c.what;
        EXPECT_EQ(calls.find("fw_setenv board_tested 2\n", first + 1), std::string::npos) << c.what;
        EXPECT_FALSE(has(calls, "board_tested 1")) << c.what;
    }
}

TEST(BoardSelfTest, NetworkPassesOnTheThirdPing) {
    MachineRun r = prepare(desc(), tach() + "echo 2 >/run/sim/ping_fails && ");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string calls = r.file("/run/sim/calls.log");
    size_t n = 0;
    for (size_t p = calls.find("ping -c 1"); p != std::string::npos; p = calls.find("ping -c 1", p + 1)) n++;
    EXPECT_EQ(n, 3u);
}

// The Zynq board: no register or fan stage, and eight chains tested as
// seven (slot 7's stuck line is never looked at).
TEST(BoardSelfTest, ZynqSequence) {
    auto zynq = [](std::map<int, std::string> extra) {
        std::string d = desc(std::move(extra));
        d.replace(d.find(R"("platform":16)"), 13, R"("platform":4)");
        return d;
    };
    MachineRun r = run_machine(zynq({{7, R"("pulse_stuck":true)"}}), {build_path("kmx-board-test-probe"), "prepare", "4"});
    EXPECT_EQ(r.status, 0) << r.out << r.syslog();
    EXPECT_EQ(r.file("/tmp/boardtestlog"),
              "GET_WORK_MODE=1\nWRITE_JOB=1\nNETWORK_INTERFACE=1\nSPI_PLUG=1\nSPI_PLUSE=1\nSPI_PROTOCOL=1\nI2C_POWER=1\n"
              "ERRCODE=0x5AA5A55A\n");
    EXPECT_TRUE(has(r.syslog(), "chain_num[7]")) << r.syslog();
    EXPECT_TRUE(has(r.file("/run/sim/calls.log"), "fw_setenv board_tested 1\n"));

    r = run_machine(zynq({{6, R"("pulse_stuck":true)"}}), {build_path("kmx-board-test-probe"), "prepare", "4"});
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_EQ(r.file("/tmp/boardtestlog"),
              "GET_WORK_MODE=1\nWRITE_JOB=1\nNETWORK_INTERFACE=1\nSPI_PLUG=1\nSPI_PLUSE=0\nERRCODE=0x5AA50030\n");
    EXPECT_TRUE(has(r.file("/run/sim/calls.log"), "fw_setenv board_tested 2\n"));
}

TEST(BoardSelfTest, WatchdogFeederFollowsTheVariable) {
    MachineRun r = run_machine(R"({"platform":16,"uboot":{"watchdog":"on"}})", {build_path("kmx-board-test-probe"), "watchdog"});
    ASSERT_EQ(r.status, 0) << r.out;
    // While another holder keeps the card nothing is set up; the open is
    // retried. Enabled once with its time-out, disabled once while "off" (no
    // feeds then), enabled again once back "on". The same card the daemon's
    // feeder uses.
    EXPECT_EQ(r.out,
              "busy_open 0 ok 1\n"
              "open\ndisable\nclose\nopen\nenable\ntimeout 90\nkeepalive*\ndisable\nenable\ntimeout 90\n"
              "keepalive*\n");
    EXPECT_TRUE(has(r.syslog(), "open /dev/watchdog failed: Device or resource busy")) << r.syslog();
}

TEST(HubRegisterTest, StuckBitsAndMasks) {
    struct Case {
        const char *stuck;  // "" none
        int result;
        const char *msg;   // null: pass
        const char *errcode;
    };
    const Case cases[] = {
        {"", 0, nullptr, nullptr},
        // Offset 20 is checked under 0xFFFFEFFC: bits 0 and 12 may differ.
        {"0x0014 0 1", 0, nullptr, nullptr},
        {"0x0014 12 1", 0, nullptr, nullptr},
        {"0x0014 2 0", 1, "0x0014", "50\nERRCODE_SPI_HUB.chain(1).chip().msg(0x0014)\n"},
        {"0x0460 3 1", 1, "0x0460", "50\nERRCODE_SPI_HUB.chain(3).chip().msg(0x0460)\n"},
        {"0x2004 0 0", 1, "0x10002004", "50\nERRCODE_SPI_HUB.chain(ff).chip().msg(0x10002004)\n"},
        {"0x1200 7 1", 1, "0x1200", "50\nERRCODE_SPI_HUB.chain(ff).chip().msg(0x1200)\n"},
    };
    for (const Case &c : cases) {
        const std::string d = std::string(R"({"platform":16,"boards":[{"slot":0,"fixture":true}])") +
                              (c.stuck[0] ? std::string(R"(,"hub_stuck":[")") + c.stuck + "\"]" : "") + "}";
        MachineRun r = run_machine(d, {build_path("kmx-board-test-probe"), "regs"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out, "result " + std::to_string(c.result) + "\n") << c.stuck;
        const std::string log = r.file("/tmp/boardtestlog");
        if (!c.msg) {
            EXPECT_EQ(log, "SPI_HUB=1\n") << c.stuck;
            continue;
        }
        EXPECT_EQ(log, std::string("SPI_HUB=0\nERRCODE=0x5AA50003\nMSG=") + c.msg + "\n") << c.stuck;
        EXPECT_EQ(r.file("/tmp/errcode"), c.errcode) << c.stuck;
    }
}

}  // namespace
