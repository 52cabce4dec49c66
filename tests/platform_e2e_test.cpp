// Start-up end to end: the C probe program runs inside an emulated machine
// with boards in given slots, and the test reads what the machine shows:
// the probe's output, the machine's syslog, the error files and the
// registers the hub ends with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/machine_runner.h"

namespace {

std::string desc_with_boards(const std::vector<int> &slots) {
    std::string boards;
    for (int s : slots) {
        if (!boards.empty()) boards += ",";
        boards += "{\"slot\":" + std::to_string(s) + ",\"chip_type\":0,\"chips\":80}";
    }
    return "{\"platform\":4,\"boards\":[" + boards + "]}";
}

MachineRun probe(const std::vector<int> &slots, const std::vector<std::string> &args) {
    std::vector<std::string> cmd{build_path("kmx-platform-probe")};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return run_machine(desc_with_boards(slots), cmd);
}

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

TEST(PlatformStartup, AllEightBoards) {
    MachineRun r = probe({0, 1, 2, 3, 4, 5, 6, 7}, {"4", "0", "8", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chains 8: 0 1 2 3 4 5 6 7\n")) << r.out;
    EXPECT_EQ(r.file("/tmp/errcode"), "");
    EXPECT_TRUE(has(r.syslog(), "kmx_lib local0.notice total chains: 8")) << r.syslog();
}

TEST(PlatformStartup, SurplusBoardIsMisplugged) {
    MachineRun r = probe({0, 2, 5, 7}, {"4", "0", "3", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chains 3: 0 2 5\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain1: the plat is not inserted")) << log;
    EXPECT_TRUE(has(log, "chain7: the plat is inserted")) << log;
    // Set but not saved at start-up; the history has the entry.
    EXPECT_EQ(r.file("/tmp/errcode"), "");
    EXPECT_TRUE(has(r.file("/tmp/errlog"), "/8/34/MISPLUGGED.chain(8).chip().msg(chain7 )\n")) << r.file("/tmp/errlog");
}

TEST(PlatformStartup, MissingBoardsBelowTheCount) {
    MachineRun r = probe({1, 3}, {"4", "0", "4", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chains 2: 1 3\n")) << r.out;
    EXPECT_EQ(r.file("/tmp/errcode"), "");
    const std::string hist = r.file("/tmp/errlog");
    EXPECT_TRUE(has(hist, "/1/21/NOT_PLUGGED.chain(1).chip().msg()\n")) << hist;
    EXPECT_TRUE(has(hist, "/3/21/NOT_PLUGGED.chain(3).chip().msg()\n")) << hist;
}

TEST(PlatformStartup, NoBoardSavesTheErrorAtOnce) {
    MachineRun r = probe({}, {"4", "0", "4", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chains 0:\n")) << r.out;
    EXPECT_EQ(r.file("/tmp/errcode"), "21\nNOT_PLUGGED.chain(ff).chip().msg()\n");
    EXPECT_EQ(r.file("/tmp/errchain"), "1/0/\n2/0/\n3/0/\n4/0/\n");
}

TEST(PlatformStartup, DaemonCallScansNothing) {
    MachineRun r = probe({0, 2}, {"4", "0", "0", "0"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chains 0:\n")) << r.out;
    EXPECT_FALSE(has(r.syslog(), "the plat is")) << r.syslog();
    EXPECT_TRUE(has(r.syslog(), "vid type detected: 15, is Vin sync? 0, vendor: unknown")) << r.syslog();
    EXPECT_EQ(r.file("/tmp/errlog"), "");
}

TEST(PlatformStartup, FatalArgumentsEndWithStatusZero) {
    struct Case {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"5", "0", "9", "169"}, "the platform is undefined !!! \n"},
        {{"4", "0", "9", "169"}, "the chain_num is error !!! \n"},
        {{"4", "0", "-1", "80"}, "the chain_num is error !!! \n"},
        {{"4", "0", "8", "169"}, "the chip_num is error !!! \n"},
    };
    for (const Case &c : cases) {
        MachineRun r = probe({0}, c.args);
        EXPECT_EQ(r.status, 0) << c.line;
        EXPECT_FALSE(has(r.out, "chains")) << r.out;
        // The receiver drops the line's final newline.
        const std::string logged = c.line.substr(0, c.line.size() - 1) + "\n";
        EXPECT_TRUE(has(r.syslog(), "kmx_lib local0.err " + logged)) << r.syslog();
    }
}

TEST(PlatformStartup, ExitRunsOnceAndLeavesFansAndChainsDown) {
    MachineRun r = probe({0, 2, 5}, {"4", "0", "3", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "exit done\n")) << r.out;
    const std::string log = r.syslog();
    size_t first = log.find("fan ctrl BYPASS mode enabled");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("fan ctrl BYPASS mode enabled", first + 1), std::string::npos) << "exit ran twice";
    EXPECT_TRUE(has(log, "all chains power down")) << log;
}

TEST(Logging, LinesReachSyslogWithFacilityPrefixAndFilter) {
    MachineRun all = run_machine("{}", {build_path("log_emitter"), "0"});
    ASSERT_EQ(all.status, 0);
    const std::string a = all.syslog();
    EXPECT_TRUE(has(a, "kmx_lib local0.debug debug line\n")) << a;
    EXPECT_TRUE(has(a, "kmx_lib local0.err error 100% plain\n")) << a;
    EXPECT_TRUE(has(a, "kmx_lib local0.info info 2\n")) << a;
    // Tag and local time stamp "[NIMP:YYYY-MM-DD hh:mm:ss.mmm] ".
    size_t at = a.find("kmx_lib local0.warning [NIMP:");
    ASSERT_NE(at, std::string::npos) << a;
    const std::string stamp = a.substr(at + 29, 25);
    EXPECT_EQ(stamp.size(), 25u);
    EXPECT_EQ(stamp[4], '-');
    EXPECT_EQ(stamp[10], ' ');
    EXPECT_EQ(stamp[19], '.');
    EXPECT_EQ(stamp.substr(23), "] ");
    EXPECT_TRUE(has(a, "] warning with prefix\n")) << a;

    MachineRun filtered = run_machine("{}", {build_path("log_emitter"), "4"});
    const std::string f = filtered.syslog();
    EXPECT_FALSE(has(f, "debug line")) << f;
    EXPECT_FALSE(has(f, "info 2")) << f;
    EXPECT_TRUE(has(f, "warning with prefix")) << f;
    EXPECT_TRUE(has(f, "error 100% plain")) << f;
}

}  // namespace
