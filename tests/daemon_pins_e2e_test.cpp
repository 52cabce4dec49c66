// The monitor daemon end to end: what it leaves out on the SoC board.
#include <gtest/gtest.h>

#include <string>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

std::string machine(const std::string &hwrevision) {
    return R"({"platform":4,"boards":[],"uboot":{"image_flag":"0","recovery_status":"OK","bootflag":"1"},)"
           R"("files":{"/etc/hwrevision":")" + hwrevision + R"(\n"}})";
}

// Runs the daemon until its LED server answers and then until `until` (a
// shell test) holds, however long a loaded host takes (two minutes at
// most), lets `more_s` seconds of real time pass (200 times as much of the
// machine's) and stops it.
MachineRun run_daemon_until(const std::string &desc, const std::string &until, double more_s = 0) {
    const std::string script = "mkdir -p /config/etc/ssh\n"
                               "zm_start >/run/sim/zm.out 2>&1\n" +
                               build_path("led-client") + " send '{}' >/dev/null\n"
                               "for i in $(seq 2400); do { " + until + "; } 2>/dev/null && break; sleep 0.05; done\n"
                               "sleep " + std::to_string(more_s) + "\nzm_stop\n";
    return run_daemon_machine(desc, script);
}

std::string seen(const std::string &text, const std::string &file) {
    return "grep -qF '" + text + "' /run/sim/" + file;
}

// On the SoC board (the revision names "soc") the daemon neither feeds the
// hardware watchdog, nor checks the system, nor keeps the update log; the
// rest runs as on the other boards.
TEST(DaemonBoards, SocBoardLeavesOutTheWatchdogStatusAndUpdateLog) {
    // Elsewhere the feeder asks the watchdog switch and feeds the card, and
    // the update-log keeper asks the update status.
    MachineRun zynq = run_daemon_until(machine("zynq n5.b"),
                                       seen("keepalive", "wdt.log") + " && " + seen("recovery_status", "calls.log") +
                                           " && " + seen("update_flag:", "syslog.log"));
    ASSERT_EQ(zynq.status, 0) << zynq.out << zynq.file("/run/sim/zm.out") << zynq.syslog();
    EXPECT_TRUE(has(zynq.file("/run/sim/wdt.log"), "keepalive")) << zynq.file("/run/sim/wdt.log");
    const std::string zcalls = zynq.file("/run/sim/calls.log");
    EXPECT_TRUE(has(zcalls, "fw_printenv -n watchdog\n")) << zcalls;
    EXPECT_TRUE(has(zcalls, "fw_printenv -n recovery_status\n")) << zcalls;
    EXPECT_TRUE(has(zynq.syslog(), "update_flag:")) << zynq.syslog();
    // The daemon logs from level 2 up: the hub mapping's lines are there.
    EXPECT_TRUE(has(zynq.syslog(), "total: 3 dev mmap done.")) << zynq.syslog();

    // A revision file that cannot be read: the feeder and the status checker
    // run, the keeper of the update log (it writes physical memory) does not.
    {
        MachineRun unknown = run_daemon_until(
            R"({"platform":4,"boards":[],"uboot":{"image_flag":"0","recovery_status":"OK","bootflag":"1"}})",
            seen("not started !", "syslog.log") + " && " + seen("keepalive", "wdt.log"));
        ASSERT_EQ(unknown.status, 0) << unknown.out << unknown.file("/run/sim/zm.out") << unknown.syslog();
        EXPECT_TRUE(has(unknown.syslog(), "board kind unknown, thread_record_swudate_log not started !"))
            << unknown.syslog();
        EXPECT_FALSE(has(unknown.syslog(), "update_flag:")) << unknown.syslog();
        EXPECT_TRUE(has(unknown.file("/run/sim/wdt.log"), "keepalive")) << unknown.file("/run/sim/wdt.log");
    }

    for (const char *rev : {"zynq-soc n5.b", "board soc.b"}) {
        // Once the rest runs, a second more for what must not come.
        MachineRun soc = run_daemon_until(machine(rev), seen("flagutils read", "calls.log"), 1.0);
        ASSERT_EQ(soc.status, 0) << soc.out << soc.file("/run/sim/zm.out") << soc.syslog();
        EXPECT_EQ(soc.file("/run/sim/wdt.log"), "") << rev;
        const std::string calls = soc.file("/run/sim/calls.log");
        EXPECT_FALSE(has(calls, "fw_printenv -n watchdog\n")) << rev << "\n" << calls;
        EXPECT_FALSE(has(calls, "fw_printenv -n recovery_status\n")) << rev << "\n" << calls;
        EXPECT_FALSE(has(soc.syslog(), "update_flag:")) << rev;
        // The rest is started: the LED server answered, the key sampler and
        // the report sender ask for the lock flag.
        EXPECT_TRUE(has(calls, "flagutils read")) << rev << "\n" << calls;
    }
}

}  // namespace
