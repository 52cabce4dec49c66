// The monitor daemon end to end: the real program runs in the background
// of an emulated machine; the test reads its syslog lines, the files and
// calls it left, and talks to its LED server.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

// Text between "<tag>{" and "}<tag>" in the script's output.
std::string section(const std::string &out, const std::string &tag) {
    size_t b = out.find(tag + "{");
    if (b == std::string::npos) return "<missing " + tag + ">";
    b += tag.size() + 1;
    size_t e = out.find("}" + tag, b);
    return e == std::string::npos ? "<unterminated " + tag + ">" : out.substr(b, e - b);
}

std::string machine(const std::string &uboot, const std::string &files) {
    return "{\"platform\":4,\"boards\":[],\"uboot\":{" + uboot + "},\"files\":{" + files + "}}";
}

// Starts the daemon, waits for its LED server, runs `body`, prints what the
// test looks at.
MachineRun run_daemon(const std::string &desc, const std::string &body) {
    const std::string client = build_path("led-client");
    const std::string script = "mkdir -p /config/etc/ssh && touch /config/etc/ssh/ssh_host_rsa_key\n"
                               "zel-monitor 1 >/run/sim/zm.out 2>/run/sim/zm.err &\n"
                               "C=" + client + "\n"
                               "$C send '{\"red_light\":\"off\"}' >/dev/null\n" +
                               body +
                               "printf 'HWREV{%s}HWREV' \"$(cat /etc/hwrevision)\"\n"
                               "printf 'KEYMODE{%s}KEYMODE' \"$(stat -c %a /config/etc/ssh/ssh_host_rsa_key)\"\n";
    return run_machine(desc, {"bash", "-c", script});
}

// The replies as led-client prints them.
const std::string t = "{\"success\": \"true\"}\\0\n", f = "{\"success\": \"false\"}\\0\n";

MachineRun run_led_clients(const std::string &body) {
    return run_daemon(machine("", "\"/etc/hwrevision\":\"zynq n5.b\\n\""), body);
}

// The LED server's refusals of clients without a whole request, from its
// standard error: one line per client that ran into its deadline, and the
// summary lines of those refused to make room, with their counts; and the
// clients that closed before either, read as an empty request.
struct Refusals {
    size_t timed_out = 0, evicted = 0, lines = 0, closed = 0;
};

Refusals refusals(const std::string &err) {
    Refusals n;
    const std::string cut = "error: no whole request within 1000 ms.\n";
    const std::string head = "error: clients refused to make room for newer ones: ";
    const std::string tail = " (more than 64 waited).\n";
    for (size_t b = 0, e; (e = err.find('\n', b)) != std::string::npos; b = e + 1) {
        const std::string line = err.substr(b, e + 1 - b);
        if (line == cut) n.timed_out++;
        if (line == "error: on line 1: '[' or '{' expected near end of file\n") n.closed++;
        if (line.compare(0, head.size(), head) == 0 && line.size() > head.size() + tail.size() &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
            n.lines++;
            n.evicted += std::stoul(line.substr(head.size(), line.size() - head.size() - tail.size()));
        }
    }
    return n;
}

TEST(MonitorDaemon, NoArgumentPrintsUsageOnly) {
    MachineRun r = run_machine("{}", {"bash", "-c", "zel-monitor; echo \"rc=$?\"; ls /run/sim/calls.log 2>&1 | wc -l"});
    EXPECT_EQ(r.out,
              "USAGE:\n      zel-monitor interval.\n      interval is the button func check interval\nrc=0\n1\n");
    EXPECT_EQ(r.file("/run/sim/calls.log"), "");
    EXPECT_FALSE(has(r.syslog(), "kmx_lib")) << r.syslog();
}

// An interval that is not a positive number would have the button handler
// poll without pause: it is raised to a second. One above a minute would
// leave a press waiting as long (a number past an int's range, as long as
// the clock allows): it is lowered to a minute.
TEST(MonitorDaemon, ButtonIntervalIsBoundedBothWays) {
    const std::string client = build_path("led-client");
    const std::pair<const char *, std::string> runs[] = {
        {"x", "button check interval 0 raised to 1 s"},
        {"61", "button check interval 61 lowered to 60 s"},
        {"99999999999", "button check interval 2147483647 lowered to 60 s"},
    };
    std::string script;
    for (const auto &[arg, line] : runs)
        script += std::string("zel-monitor ") + arg + " >/dev/null 2>&1 & ZM=$!\n" + client +
                  " send '{}' >/dev/null\n"
                  "for i in $(seq 500); do grep -q '" + line + "' /run/sim/syslog.log && break; sleep 0.02; done\n"
                  "kill $ZM; wait $ZM\n";
    MachineRun r = run_machine(machine("", "\"/etc/hwrevision\":\"zynq n5.b\\n\""), {"bash", "-c", script});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "thread_button_monitor start:0.")) << log;
    for (const auto &[arg, line] : runs) EXPECT_TRUE(has(log, line)) << arg << "\n" << log;
}

// The start's sweep of unfinished copies beside /config/cgminer.conf waits
// for a writer in flight (another program holding the file's lock with its
// new copy not yet renamed): the copy is that writer's, and its change
// stays. A copy left by no writer goes once the lock is free.
TEST(MonitorDaemon, StartupSweepWaitsForAWriterInFlight) {
    const std::string client = build_path("led-client");
    MachineRun r = run_machine(
        machine("", "\"/etc/hwrevision\":\"zynq n5.b\\n\",\"/config/cgminer.conf\":\"{}\","
                    "\"/config/network/25-wired.network.tmpQw12Er\":\"x\""),
        {"bash", "-c",
         "mkdir -p /config/etc/ssh; touch /run/cgminer.conf.lock\n"
         "(flock 9; printf '{\"N5adjust\":\"7\"}' > /config/cgminer.conf.tmpAb12Cd; touch /tmp/held\n"
         " w=0; for i in $(seq 3000); do if " + kWaitsOnLock + "; then w=1; break; fi; sleep 0.01; done\n"
         " echo waiter=$w; mv /config/cgminer.conf.tmpAb12Cd /config/cgminer.conf) 9>/run/cgminer.conf.lock & H=$!\n"
         "while [ ! -f /tmp/held ]; do sleep 0.01; done\n"
         "zel-monitor 1 >/dev/null 2>&1 &\n"
         "wait $H\n" + client + " send '{}' >/dev/null\n"
         "cat /config/cgminer.conf; echo; ls /config; ls /config/network | grep -c tmp; true\n"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "waiter=1\n{\"N5adjust\":\"7\"}\ncgminer.conf\netc\nnetwork\n0\n") << r.out;
    EXPECT_TRUE(has(r.syslog(), "removed 1 unfinished copies of /config/network/25-wired.network")) << r.syslog();
}

TEST(MonitorDaemon, StartsAndReconcilesTheMachineType) {
    MachineRun r = run_daemon(machine("\"miner_type\":\"x\"", "\"/etc/hwrevision\":\"zynq n5.b\\n\","
                                                              "\"/etc/map.conf\":\"{\\\"x\\\":\\\"n5+\\\"}\""),
                              "");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "kmx_lib local0.err zel_monitor compile time:")) << log;
    EXPECT_TRUE(has(log, "kmx_lib local0.err finish")) << log;
    EXPECT_TRUE(has(log, "open dir hex path:/opt/psu-upgrade/ fail!")) << log;
    EXPECT_EQ(section(r.out, "HWREV"), "zynq n5+.b");
    EXPECT_EQ(section(r.out, "KEYMODE"), "600");
    // Root writable only around the rewrite, then the updater restarted.
    const std::string calls = r.file("/run/sim/calls.log");
    size_t rw = calls.find("mount -o rw,remount,dirsync /\n");
    size_t ro = calls.find("mount -o ro,remount /\n");
    size_t restart = calls.find("systemctl restart swupdate\n");
    ASSERT_NE(rw, std::string::npos) << calls;
    ASSERT_NE(ro, std::string::npos) << calls;
    ASSERT_NE(restart, std::string::npos) << calls;
    EXPECT_LT(rw, ro);
    EXPECT_LT(ro, restart);
}

TEST(MonitorDaemon, MatchingTypeLeavesTheFileAlone) {
    MachineRun r = run_daemon(machine("\"miner_type\":\"x\"", "\"/etc/hwrevision\":\"zynq n5+.b\\n\","
                                                              "\"/etc/map.conf\":\"{\\\"x\\\":\\\"n5+\\\"}\""),
                              "");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(section(r.out, "HWREV"), "zynq n5+.b");
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "mount")) << r.file("/run/sim/calls.log");
}

TEST(MonitorDaemon, PendingSupplyUpgradeRunsThenEmptiesAndReboots) {
    const std::string body = "printf 'UPG{%s}UPG' \"$(ls /opt/psu-upgrade | wc -l)\"\n";
    const std::string script = "mkdir -p /opt/psu-upgrade && touch /opt/psu-upgrade/readme.txt "
                               "'/opt/psu-upgrade/x.bin;power_upgrade owned' && ";
    // The image is laid down before the daemon starts.
    MachineRun r = run_machine(machine("", "\"/etc/hwrevision\":\"zynq n5.b\\n\",\"/opt/psu-upgrade/p.bin\":\"\""),
                               {"bash", "-c",
                                script + "zel-monitor 1 >/dev/null 2>&1 & " + build_path("led-client") +
                                    " send '{}' >/dev/null; " + body});
    ASSERT_EQ(r.status, 0) << r.out;
    // The watchdog feeder and the status checker read and set U-Boot
    // variables meanwhile.
    const std::string all = r.file("/run/sim/calls.log");
    std::string calls;
    for (size_t b = 0, e; (e = all.find('\n', b)) != std::string::npos; b = e + 1)
        if (all.compare(b, 3, "fw_") != 0) calls += all.substr(b, e + 1 - b);
    EXPECT_TRUE(has(calls, "power_upgrade 0 p.bin\nmount / -o rw,remount,dirsync\nmount / -o ro,remount\n"
                           "sync\nsystemctl reboot\n"))
        << calls;
    // A name that would run a command never reaches the shell.
    EXPECT_FALSE(has(calls, "owned")) << calls;
    EXPECT_EQ(section(r.out, "UPG"), "0");
    EXPECT_TRUE(has(r.syslog(), "bin file:p.bin")) << r.syslog();
}

TEST(MonitorDaemon, SupplyImageNamedLikeAnOptionOrHiddenIsRefused) {
    // Only images whose names begin with '-' (an option to the upgrade
    // program) or '.' (missed by the folder's emptying, so run at every
    // start): none reaches the upgrade program, nothing is emptied, no reboot.
    const std::string body = "printf 'UPG{%s}UPG' \"$(ls -A /opt/psu-upgrade | wc -l)\"\n";
    MachineRun r = run_machine(
        machine("", "\"/etc/hwrevision\":\"zynq n5.b\\n\",\"/opt/psu-upgrade/--help.bin\":\"\","
                    "\"/opt/psu-upgrade/-v.hex\":\"\",\"/opt/psu-upgrade/.x.bin\":\"\","
                    "\"/opt/psu-upgrade/.bin\":\"\""),
        {"bash", "-c", "zel-monitor 1 >/dev/null 2>&1 & " + build_path("led-client") + " send '{}' >/dev/null; " + body});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_FALSE(has(calls, "power_upgrade")) << calls;
    EXPECT_FALSE(has(calls, "reboot")) << calls;
    EXPECT_EQ(section(r.out, "UPG"), "4");
    for (const char *name : {"--help.bin", "-v.hex", ".x.bin", ".bin"})
        EXPECT_TRUE(has(r.syslog(), std::string("image name refused:") + name)) << r.syslog();
}

TEST(MonitorDaemon, LedServerDrivesTheRedLed) {
    const std::string body =
        "$C send '{\"red_light\":\"on\"}'; printf 'ON{%s}ON' \"$(\"$KMX_BUILD_DIR\"/kmx-sim peek 0x43C00024)\"\n"
        "$C send '{\"red_light\":\"of\"}'; printf 'OFF{%s}OFF' \"$(\"$KMX_BUILD_DIR\"/kmx-sim peek 0x43C00024)\"\n"
        "$C send '{\"red_light\":\"\"}'; printf 'EMPTY{%s}EMPTY' \"$(\"$KMX_BUILD_DIR\"/kmx-sim peek 0x43C00024)\"\n"
        "$C send '{\"red_light\":\"off\"}' >/dev/null\n"
        "$C send '{\"red_light\":\"tw\"}'; printf 'TW{%s}TW' \"$(\"$KMX_BUILD_DIR\"/kmx-sim peek 0x43C00024)\"\n"
        "$C send '{\"red_light\":\"onx\"}'\n"
        "$C send 'not json'\n"
        "$C send '{\"green\":\"on\"}'\n"
        "$C send '{\"red_light\":1}'\n"
        "$C send ''\n";
    MachineRun r = run_led_clients(body);
    ASSERT_EQ(r.status, 0) << r.out;
    // The red LED is bit 10, active low: clear while lit.
    EXPECT_EQ(section(r.out, "ON"), "0x00000000") << r.out;
    EXPECT_TRUE(has(r.out, t + "ON{")) << r.out;
    EXPECT_EQ(section(r.out, "OFF"), "0x00000400") << r.out;
    EXPECT_EQ(section(r.out, "EMPTY"), "0x00000000") << r.out;
    EXPECT_EQ(section(r.out, "TW"), "0x00000400") << r.out;
    EXPECT_TRUE(has(r.out, "}TW" + f + f + f + f + f + "HWREV")) << r.out;
    const std::string err = r.file("/run/sim/zm.err");
    EXPECT_TRUE(has(err, "error: red_light_val is not a valid val:onx.\n")) << err;
    EXPECT_TRUE(has(err, "error: on line 1: ")) << err;
    EXPECT_TRUE(has(err, "error: red_light not impl.\n")) << err;
    EXPECT_TRUE(has(err, "error: red_light_val is not a string.\n")) << err;
    // Each message is a line of its own.
    const std::string out = r.file("/run/sim/zm.out");
    EXPECT_TRUE(has(out, "red_light_val is on.\n")) << out;
    EXPECT_TRUE(has(out, "red_light_val is off.\n")) << out;
    EXPECT_TRUE(has(out, "red_light_val is twinkle(not impl).\n")) << out;
}

// A request that arrives in two segments is read whole; one that never
// completes is refused once its short deadline passes, and an idle client
// does not hold the next one for long.
TEST(MonitorDaemon, LedServerReadsSplitRequests) {
    const std::string body =
        "$C split '{\"red_light\":\"on\"}' 200; printf 'SPLIT{%s}SPLIT' \"$(\"$KMX_BUILD_DIR\"/kmx-sim peek 0x43C00024)\"\n"
        "$C split '{\"red_light\":\"off\"}' 3000\n"
        "$C idle >/tmp/idle & idle=$!\n"
        "until grep -q idle /tmp/idle; do sleep 0.01; done\n"
        "$C send '{\"red_light\":\"off\"}'; kill $idle\n";
    MachineRun r = run_led_clients(body);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(section(r.out, "SPLIT"), "0x00000000") << r.out;  // lit
    EXPECT_TRUE(has(r.out, t + "SPLIT{")) << r.out;
    EXPECT_TRUE(has(r.out, "}SPLIT" + f + t + "HWREV")) << r.out;
}

// A second daemon refuses to start beside the first and says why; copies
// an interrupted replace left beside the daemon's files are gone once it runs.
TEST(MonitorDaemon, SingleInstanceAndNoLeftovers) {
    const std::string body = "zel-monitor 1 >/tmp/second.out 2>&1; echo \"rc2=$?\"; cat /tmp/second.out\n"
                             "printf 'LS{%s}LS' \"$(ls /config /config/network | tr '\\n' ' ')\"\n";
    MachineRun r = run_daemon(machine("", "\"/etc/hwrevision\":\"zynq n5.b\\n\","
                                          "\"/config/cgminer.conf\":\"{}\","
                                          "\"/config/cgminer.conf.tmpAbC123\":\"{\","
                                          "\"/config/dtu.conf.tmpQQQQQQ\":\"\","
                                          "\"/config/network/25-wired.network.tmp9z9z9z\":\"\","
                                          "\"/config/network/25-wired.network\":\"DHCP=yes\\n\""),
                              body);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "rc2=1\nzel-monitor is already running (/run/zel-monitor.lock is held), this one exits\n"))
        << r.out;
    EXPECT_TRUE(has(r.syslog(), "zel-monitor is already running")) << r.syslog();
    const std::string ls = section(r.out, "LS");
    EXPECT_FALSE(has(ls, ".tmp")) << ls;
    EXPECT_TRUE(has(ls, "cgminer.conf ")) << ls;
    EXPECT_TRUE(has(ls, "25-wired.network ")) << ls;
    // Only one daemon's start-up ran.
    size_t starts = 0;
    const std::string log = r.syslog();
    for (size_t p = log.find("zel_monitor compile time:"); p != std::string::npos;
         p = log.find("zel_monitor compile time:", p + 1))
        starts++;
    EXPECT_EQ(starts, 1u) << log;
}

// One client must not stop or stall the server for the others.
TEST(MonitorDaemon, LedServerSurvivesHostileClients) {
    const std::string body = "$C pad 1023; $C pad 1024; $C pad 5000 >/dev/null\n"
                             "$C reset; $C reset\n"
                             "$C idle >/tmp/idle & idle=$!\n"
                             "until grep -q idle /tmp/idle; do sleep 0.01; done\n"
                             "$C send '{\"red_light\":\"on\"}'; kill $idle\n"
                             // An unfinished request is answered at its deadline;
                             // thirty more that end early, each with a reset
                             // beside it, leave the server as it was.
                             "$C send 'x' >/dev/null\n"
                             "for i in $(seq 30); do $C post 'x' >/dev/null; $C reset; done\n"
                             "$C send '{\"red_light\":\"off\"}'\n";
    MachineRun r = run_led_clients(body);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, t + f + t + t + "HWREV")) << r.out;
    // Each refusal is a line of its own, and a request cut off by its
    // deadline says so rather than reading as an empty one.
    // The daemon's stderr also takes what the programs its other threads
    // run say (fw_printenv, ps), at any moment: the server's own lines are
    // read in their order without them.
    const std::string all = r.file("/run/sim/zm.err");
    std::string err;
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("ZEL_RECV_BUF_SIZE", 0) == 0 || line.rfind("error: ", 0) == 0) err += line + "\n";
    EXPECT_TRUE(has(err, "ZEL_RECV_BUF_SIZE is too small.\nZEL_RECV_BUF_SIZE is too small.\n")) << all;
    const std::string cut = "error: no whole request within 1000 ms.\n";
    // The idle client, killed once the valid request beside it has its
    // answer, ends empty; the unfinished "x" runs into its deadline; ended
    // early, the same text is parsed and refused as not JSON.
    EXPECT_TRUE(has(err, "expected near end of file\n" + cut + "error: on line 1: '[' or '{' expected near 'x'\n"))
        << all;
}

// Clients that connect and send nothing do not hold a valid request: it is
// answered at once while they wait, each of them gets the false reply at
// its own deadline (or at once, the oldest first, when more wait than the
// server keeps).
TEST(MonitorDaemon, LedServerIdleClientsHoldNoOne) {
    const auto round = [](const std::string &tag, int idle) {
        const std::string n = std::to_string(idle);
        // One connection at a time: a burst would overflow the listening
        // socket's short backlog, and a client whose handshake the host
        // dropped there would wait for ever.
        return "pids=; for i in $(seq " + n + "); do $C hold >/tmp/" + tag + ".$i & pids=\"$pids $!\"\n"
               "  until [ -s /tmp/" + tag + ".$i ]; do sleep 0.002; done; done\n"
               "s=$(date +%s%N); $C send '{\"red_light\":\"on\"}' >/tmp/" + tag + "; e=$(date +%s%N)\n"
               "wait $pids\n"
               "printf '" + tag + "{%s %s %s}" + tag + "' \"$(( (e - s) / 1000000 < 1000 ))\" \"$(cat /tmp/" + tag +
               ")\" \"$(cat /tmp/" + tag + ".* | grep -cF '{\"success\": \"false\"}\\0')\"\n";
    };
    MachineRun r = run_led_clients(round("A", 20) + round("B", 70));
    ASSERT_EQ(r.status, 0) << r.out;
    // Answered within a second (1), true, and every idle client refused.
    EXPECT_EQ(section(r.out, "A"), "1 {\"success\": \"true\"}\\0 20") << r.out;
    EXPECT_EQ(section(r.out, "B"), "1 {\"success\": \"true\"}\\0 70") << r.out;
    const Refusals n = refusals(r.file("/run/sim/zm.err"));
    EXPECT_EQ(n.timed_out + n.evicted, 90u) << r.file("/run/sim/zm.err");
}

// A connection flood: every client beyond the 64 that wait is refused to
// make room, told in one line a second at most; a valid request after it
// is answered.
TEST(MonitorDaemon, LedServerFloodIsToldOnceASecond) {
    MachineRun r = run_led_clients("s=$(date +%s%N); $C flood 400 2500 >/dev/null; e=$(date +%s%N)\n"
                                   "$C send '{\"red_light\":\"on\"}'\n"
                                   "printf 'MS{%s}MS' $(( (e - s) / 1000000 ))\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, t + "MS{")) << r.out;
    const std::string err = r.file("/run/sim/zm.err");
    const Refusals n = refusals(err);
    // A client the server took late (its handshake finished on a resent
    // reply after the short listen backlog overflowed) may close first.
    EXPECT_EQ(n.timed_out + n.evicted + n.closed, 400u) << err;
    EXPECT_LT(n.closed, 64u) << err;
    EXPECT_GE(n.evicted, 1u) << r.out << err;
    // The flood and its 2.5 s wait: one line at its first refusal, then one
    // a second at most.
    const long ms = std::stol(section(r.out, "MS"));
    EXPECT_GE(n.lines, 1u) << err;
    EXPECT_LE(n.lines, size_t(1 + ms / 1000)) << ms << "\n" << err;
}

}  // namespace
