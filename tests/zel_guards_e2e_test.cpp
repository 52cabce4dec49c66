// The monitor daemon's button, network guards, watchdog feeder, status
// checker and update-log keeper, end to end: the real program runs in an
// emulated machine; the test presses the button through the emulated hub and
// reads what the daemon left: the calls log, the files, the watchdog's
// request log, the update-log window and the broadcasts it sent.
#include <gtest/gtest.h>

#include <map>
#include <algorithm>
#include <string>
#include <vector>

#include "support/lock_wait.h"
#include "support/machine_runner.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t b = 0;
    for (size_t e; (e = text.find('\n', b)) != std::string::npos; b = e + 1) out.push_back(text.substr(b, e - b));
    return out;
}

size_t count_lines(const std::string &text, const std::string &line) {
    size_t n = 0;
    for (const std::string &l : lines(text)) n += l == line;
    return n;
}

std::string json_str(const std::string &s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += c;
        } else if (c == '\n') {
            q += "\\n";
        } else {
            q += c;
        }
    }
    return q + "\"";
}

struct Machine {
    std::map<std::string, std::string> uboot{{"image_flag", "0"}, {"recovery_status", "OK"}, {"bootflag", "1"}};
    std::map<std::string, std::string> files{{"/etc/hwrevision", "zynq n5.b\n"}};
    std::string extra;  // further top-level members, each with a trailing comma

    std::string desc() const {
        std::string d = "{" + extra + "\"platform\":4,\"boards\":[],\"uboot\":{";
        const char *sep = "";
        for (const auto &[k, v] : uboot) d += sep + json_str(k) + ":" + json_str(v), sep = ",";
        d += "},\"files\":{";
        sep = "";
        for (const auto &[k, v] : files) d += sep + json_str(k) + ":" + json_str(v), sep = ",";
        return d + "}}";
    }
};

const std::string kDhcpFile = "[Match]\nName=eth0\n[Network]\nDHCP=yes\n[DHCP]\nClientIdentifier=mac\n";
const std::string kStaticFile = "[Match]\nName=eth0\n[Network]\nAddress=192.168.1.254/24\nGateway=192.168.1.1\n"
                                "DNS=192.168.1.1\nDNS=192.168.1.1\n";

// Starts the daemon at the given time scale, waits for its LED server, runs
// `body` (bash; B is the build dir, waitfor CMD polls for up to 20 s), stops
// the daemon, waits for its end (a write of its threads in flight ends
// first) and keeps the files the test looks at under /run/sim/out/.
MachineRun run_daemon(const Machine &m, int scale, const std::string &body) {
    const std::string script =
        "B=$KMX_BUILD_DIR; mkdir -p /run/sim/out\n"
        "waitfor() { for i in $(seq 2000); do eval \"$1\" && return 0; sleep 0.01; done; echo \"TIMEOUT $1\"; "
        "return 1; }\n"
        "$B/udp-listen /tmp/udp.txt 8001 14235 & waitfor '[ -e /tmp/udp.txt ]'\n"
        "export KMX_TIME_SCALE=" +
        std::to_string(scale) +
        "\n"
        "zm_start >/run/sim/zm.out 2>&1\n"
        "$B/led-client send '{}' >/dev/null\n" +
        body +
        "zm_stop\n"
        "mkdir -p /run/sim/out; for f in /config/cgminer.conf /config/cgminer.conf.bak "
        "/config/network/25-wired.network /config/network/25-wired.network.bak; do "
        "[ -e $f ] && cp $f /run/sim/out/$(basename $f); done; true\n";
    return run_daemon_machine(m.desc(), script);
}

std::string out_file(const MachineRun &r, const std::string &name) { return r.file("/run/sim/out/" + name); }

// The calls log's actions on the system only: other threads' periodic
// reads (U-Boot variables, the lock flag, the web login) come in between.
std::string actions(const MachineRun &r) {
    std::string out;
    for (const std::string &l : lines(r.file("/run/sim/calls.log")))
        for (const char *cmd : {"systemctl ", "ifconfig ", "sync", "factory_reset.sh"})
            if (l.rfind(cmd, 0) == 0) {
                out += l + "\n";
                break;
            }
    return out;
}

// ---- watchdog feeder ---------------------------------------------------------

// Machine milliseconds between feeds, from the emulated card's log.
std::vector<long> feed_gaps(const std::string &log) {
    std::vector<long> gaps;
    for (const std::string &l : lines(log))
        if (l.rfind("keepalive +", 0) == 0) gaps.push_back(std::stol(l.substr(11)));
    return gaps;
}

// At five times real speed a 20 s period is 4 s of real time and the card
// runs out after 18 s: a feed the loaded host makes 14 s late still comes in
// time, and four feeds take about 12 s (waited for up to two minutes).
TEST(WatchdogFeeder, EnablesWithNinetySecondsAndFeedsEveryTwenty) {
    MachineRun r = run_daemon(Machine{}, 5,
                              "for i in $(seq 1200); do zm_running || break; [ $(grep -c keepalive /run/sim/wdt.log) -ge 4 ] && break; "
                              "sleep 0.1; done\n"
                              "printf 'STATE{%s}' \"$($B/kmx-sim watchdog | cut -d' ' -f1-2)\"\n");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = r.file("/run/sim/wdt.log");
    EXPECT_EQ(log.rfind("open\nenable\ntimeout 90\nkeepalive +", 0), 0u) << log;
    EXPECT_FALSE(has(log, "disable")) << log;
    EXPECT_FALSE(has(log, "expired")) << log;
    std::vector<long> gaps = feed_gaps(log);
    ASSERT_GE(gaps.size(), 4u) << log;
    // The first feed follows the enable at once; then one per 20 s cycle.
    for (size_t i = 1; i < gaps.size(); ++i) EXPECT_GE(gaps[i], 19900) << log;
    EXPECT_TRUE(has(r.out, "STATE{counting timeout=90}")) << r.out;
    EXPECT_EQ(count(r.syslog(), "watchdog enabled !"), 1u) << r.syslog();
}

// In real time, so that the cycle's own work (the U-Boot switch is read
// through a program each time) stays small beside the 20 s: the feeds come
// no further apart than that, and that work, on a loaded host, than 3 s.
TEST(WatchdogFeeder, FeedsNoLessOftenThanEveryTwentySeconds) {
    MachineRun r = run_daemon(Machine{}, 1,
                              "waitfor '[ $(grep -c keepalive /run/sim/wdt.log) -ge 2 ]'\n"
                              "waitfor '[ $(grep -c keepalive /run/sim/wdt.log) -ge 3 ]'\n");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = r.file("/run/sim/wdt.log");
    std::vector<long> gaps = feed_gaps(log);
    ASSERT_GE(gaps.size(), 3u) << log;
    const long shortest = std::min(gaps[1], gaps[2]);
    EXPECT_GE(shortest, 19900) << log;
    EXPECT_LT(shortest, 23000) << log;
}

TEST(WatchdogFeeder, FollowsTheUbootSwitch) {
    Machine m;
    m.uboot["watchdog"] = "off";
    MachineRun r = run_daemon(m, 50,
                              "waitfor '[ $(grep -c \"fw_printenv -n watchdog\" /run/sim/calls.log) -ge 3 ]'\n"
                              "fw_setenv watchdog on\n"
                              "waitfor '[ $(grep -c keepalive /run/sim/wdt.log) -ge 2 ]'\n"
                              "fw_setenv watchdog office\n"
                              "waitfor '[ $(grep -c disable /run/sim/wdt.log) -ge 2 ]'\n"
                              "n=$(grep -c \"fw_printenv -n watchdog\" /run/sim/calls.log)\n"
                              "waitfor '[ $(grep -c \"fw_printenv -n watchdog\" /run/sim/calls.log) -ge $((n + 2)) ]'\n");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = r.file("/run/sim/wdt.log");
    // Disabled once while "off", never fed; enabled once when switched on;
    // a value merely containing "off" disables again, once.
    EXPECT_EQ(log.rfind("open\ndisable\nenable\ntimeout 90\nkeepalive +", 0), 0u) << log;
    EXPECT_EQ(count_lines(log, "disable"), 2u) << log;
    EXPECT_EQ(count_lines(log, "enable"), 1u) << log;
    EXPECT_EQ(count_lines(log, "timeout 90"), 1u) << log;
    const size_t last_disable = log.rfind("disable");
    EXPECT_FALSE(has(log.substr(last_disable), "keepalive")) << log;
    EXPECT_EQ(count(r.syslog(), "watchdog disabled !"), 2u) << r.syslog();
}

TEST(WatchdogFeeder, AStarvedCardRunsOut) {
    MachineRun r = run_daemon(Machine{}, 50,
                              "waitfor 'grep -q keepalive /run/sim/wdt.log'\n"
                              "kill -STOP $ZM\n"
                              "waitfor '$B/kmx-sim watchdog | grep -q expired'\n"
                              "kill -CONT $ZM\n"
                              "waitfor 'grep -q expired /run/sim/wdt.log'\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(has(r.out, "TIMEOUT")) << r.out;
    EXPECT_TRUE(has(r.file("/run/sim/wdt.log"), "expired after ")) << r.file("/run/sim/wdt.log");
}

TEST(WatchdogFeeder, MissingDeviceIsReportedOnceAndTheDaemonGoesOn) {
    Machine m;
    m.extra = "\"watchdog\":{\"missing\":true},";
    MachineRun r = run_daemon(m, 200,
                              "waitfor '[ $(grep -c \"fw_printenv -n watchdog\" /run/sim/calls.log) -ge 4 ]'\n"
                              "$B/led-client send '{\"red_light\":\"on\"}'\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count(r.syslog(), "open /dev/watchdog failed: No such file or directory !"), 1u) << r.syslog();
    EXPECT_TRUE(has(r.out, "{\"success\": \"true\"}")) << r.out;
}

// ---- system-status checker ---------------------------------------------------

TEST(StatusChecker, MarksTheBootGoodOnlyWhenNotYetMarked) {
    for (const char *flag : {"0", "", "1"}) {
        Machine m;
        m.uboot["bootflag"] = flag;
        // Marked: until both variables are set; already marked: a moment
        // after the flag was read, for a write that must not come.
        const std::string until = std::string(flag) == "1"
                                      ? "waitfor 'grep -q \"fw_printenv -n bootflag\" /run/sim/calls.log'\nsleep 0.2\n"
                                      : "waitfor 'grep -q \"fw_setenv bootfails 0\" /run/sim/calls.log'\n";
        MachineRun r = run_daemon(m, 200, until);
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string calls = r.file("/run/sim/calls.log");
        if (std::string(flag) == "1")
            EXPECT_FALSE(has(calls, "fw_setenv")) << calls;
        else {
            // Other threads read U-Boot variables in between.
            const size_t flag_set = calls.find("fw_setenv bootflag 1\n");
            ASSERT_NE(flag_set, std::string::npos) << flag << calls;
            EXPECT_NE(calls.find("fw_setenv bootfails 0\n", flag_set), std::string::npos) << flag << calls;
            EXPECT_EQ(count(calls, "fw_setenv"), 2u) << calls;
        }
    }
}

const char kStop[] = "zel-monitor will stop feed watchdog right away !";

TEST(StatusChecker, MissingServicesAreLoggedAndLaterChecksSkipped) {
    Machine m;
    m.files["/run/sim/ps.txt"] = "  PID USER       VSZ STAT COMMAND\n    1 root      1740 S    init\n";
    MachineRun r = run_daemon(m, 200, "waitfor 'grep -q \"process:swupdate no exist\" /run/sim/syslog.log'\n");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = r.syslog();
    // Three tries for the miner, one line for that step, then the update
    // service; without it network, memory and web are not looked at.
    const size_t swupdate = log.find("process:swupdate no exist!");
    ASSERT_NE(swupdate, std::string::npos) << log;
    const std::string first = log.substr(0, swupdate);
    EXPECT_EQ(count(first, "process:cgminer no exist!"), 3u) << log;
    EXPECT_EQ(count(first, kStop), 1u) << log;
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "curl")) << r.file("/run/sim/calls.log");
}

TEST(StatusChecker, MemoryAndWebLogin) {
    struct Case {
        const char *free_m, *web, *expect;
        bool curl;
    } cases[] = {
        {"179\n", nullptr, nullptr, true},
        {"180\n", nullptr, "used memory:180M over than 180M !", false},
        // No number is no answer, not "0 MiB used".
        {"", nullptr, "used memory unknown", false},
        {"179\n", "{\"success\":false}", "can not log in  web with plume account !", true},
    };
    for (const Case &c : cases) {
        Machine m;
        m.files["/run/sim/ps.txt"] = "  PID USER       VSZ STAT COMMAND\n  210 root      5120 S    /usr/bin/swupdate -v\n"
                                     "  240 root     18320 S    /usr/bin/cgminer\n";
        // The stub answers "free -m" with this table; awk picks line 2, field 3.
        m.files["/run/sim/free.txt"] =
            std::string("              total        used        free\nMem:            256         ") + c.free_m;
        if (c.web) m.files["/run/sim/curl.out"] = c.web;
        // A failed check ends with the stop line; a good one has tried the
        // login, a moment after which no stop line may follow.
        const std::string until = c.expect ? "waitfor 'grep -qF \"" + std::string(kStop) + "\" /run/sim/syslog.log'\n"
                                           : "waitfor 'grep -q curl /run/sim/calls.log'\nsleep 0.2\n";
        MachineRun r = run_daemon(m, 200, until);
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string log = r.syslog();
        EXPECT_EQ(has(r.file("/run/sim/calls.log"), "curl -s -d username=plume&password=plume 127.0.0.1/api/auth"),
                  c.curl)
            << c.free_m << r.file("/run/sim/calls.log");
        if (c.expect) {
            EXPECT_TRUE(has(log, c.expect)) << log;
            EXPECT_TRUE(has(log, kStop)) << log;
        } else {
            EXPECT_FALSE(has(log, kStop)) << log;
        }
    }
}

// ---- update-log keeper -------------------------------------------------------

const char kSeparator[] = "\nkernel log ------>>>>>>\n";

// The whole 2 MiB window: `text`, then zeros only.
void expect_window(const std::string &w, const std::string &text) {
    ASSERT_EQ(w.size(), 0x200000u);
    EXPECT_EQ(w.substr(0, text.size()), text);
    EXPECT_EQ(w.find_first_not_of('\0', text.size()), std::string::npos);
}

TEST(UpdateLogKeeper, WindowHoldsJournalThenKernelLogAndShrinksCleanly) {
    Machine m;
    m.uboot["image_flag"] = "a";
    m.files["/run/sim/journal.txt"] = std::string(3000, 'j') + "\n";
    m.files["/run/sim/dmesg.txt"] = "kernel says hello\n";
    MachineRun r = run_daemon(
        m, 200,
        "W=/run/sim/mem/8fc00000.bin\n"
        "waitfor '[ -e $W ] && head -c 3001 $W | grep -q j'\n"
        "cp $W /run/sim/out/first.bin\n"
        "echo short >/run/sim/journal.txt.new; mv /run/sim/journal.txt.new /run/sim/journal.txt\n"
        "waitfor '[ \"$(head -c 5 $W)\" = short ]'\n"
        "waitfor '[ \"$(head -c 3000 $W | tr -d \"\\\\0\" | wc -c)\" -lt 100 ]'\n"
        "cp $W /run/sim/out/second.bin\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(has(r.out, "TIMEOUT")) << r.out;
    expect_window(out_file(r, "first.bin"), std::string(3000, 'j') + "\n" + kSeparator + "kernel says hello\n");
    // A shorter journal leaves no trace of the longer one.
    expect_window(out_file(r, "second.bin"), std::string("short\n") + kSeparator + "kernel says hello\n");
}

TEST(UpdateLogKeeper, FullSizedLogsAreCutToTheWindowWithTheTerminator) {
    Machine m;
    m.uboot["image_flag"] = "1";
    MachineRun r = run_daemon(m, 200,
                              "head -c 1572864 /dev/zero | tr '\\0' J >/run/sim/journal.txt\n"
                              "head -c 524288 /dev/zero | tr '\\0' K >/run/sim/dmesg.txt\n"
                              "W=/run/sim/mem/11c00000.bin\n"
                              "waitfor '[ -e $W ] && [ \"$(tail -c 2 $W | head -c 1 | tr -d \"\\\\0\")\" = K ]'\n"
                              "cp $W /run/sim/out/window.bin\n");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string w = out_file(r, "window.bin");
    ASSERT_EQ(w.size(), 0x200000u);
    EXPECT_EQ(w[0x1FFFFF], '\0');
    EXPECT_EQ(w.find('\0'), 0x1FFFFFu);
    EXPECT_EQ(w.find(kSeparator), 1572864u);
    EXPECT_EQ(w.find_first_not_of('J'), 1572864u);
}

TEST(UpdateLogKeeper, WaitsWhileTheRecoveryStatusIsAnError) {
    Machine m;
    m.uboot["recovery_status"] = "Error: bad image";
    m.files["/run/sim/journal.txt"] = "update journal\n";
    MachineRun r = run_daemon(m, 200,
                              "W=/run/sim/mem/11a00000.bin\n"
                              "waitfor '[ $(grep -c \"update_flag:Error\" /run/sim/syslog.log) -ge 3 ]'\n"
                              "printf 'ERR{%s}' \"$(tr -d '\\0' <$W | wc -c)\"\n"
                              "fw_setenv recovery_status OK\n"
                              "waitfor '[ \"$(head -c 6 $W | tr -d \"\\\\0\")\" = update ]'\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "ERR{0}")) << r.out;
    EXPECT_FALSE(has(r.out, "TIMEOUT")) << r.out;
}

// The keeper gives up before it maps a window; the feeder goes on feeding
// after that.
TEST(UpdateLogKeeper, UnknownImageFlagEndsOnlyTheKeeper) {
    Machine m;
    m.uboot["image_flag"] = "c";
    MachineRun r = run_daemon(m, 50,
                              "waitfor 'grep -q \"get env:image_flag failed !\" /run/sim/syslog.log'\n"
                              "n=$(grep -c keepalive /run/sim/wdt.log)\n"
                              "waitfor '[ $(grep -c keepalive /run/sim/wdt.log) -gt '$n' ]'\n"
                              "ls /run/sim/mem >/run/sim/out-mem.txt\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(has(r.out, "TIMEOUT")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "get env:image_flag failed !")) << r.syslog();
    EXPECT_FALSE(has(r.syslog(), "update_flag:")) << r.syslog();
    const std::string mem = r.file("/run/sim/out-mem.txt");
    for (const char *a : {"11a00000", "11c00000", "8fc00000", "8fa00000"}) EXPECT_FALSE(has(mem, a)) << mem;
}

// ---- button ------------------------------------------------------------------

Machine button_machine(const std::string &network) {
    Machine m;
    m.files["/etc/resolv.conf"] = "nameserver 192.0.2.53\nnameserver 192.0.2.54\n";
    m.files["/config/network/25-wired.network"] = network;
    return m;
}

// Peripheral word +0x24: green LED bit 9, red bit 10, both clear while lit.
const char kLeds[] = "$B/kmx-sim peek 0x43C00024";

TEST(Button, ShortPressBroadcastsTheAddress) {
    // The sampler lights both LEDs on its first tick of the press; the tap
    // releases the button once it sees them lit, a tick or two later
    // however loaded the host, so the press stays short (under 4.4 s). The
    // daemon's start leaves the red LED lit (the hub's GPIO block comes up
    // at 0) and the network-mode LED blinks the green one: the red one is
    // put out first, so that only the press lights both. The bands' edges
    // are the in-process tests' (220 and 221 ticks).
    MachineRun r = run_daemon(button_machine(kDhcpFile), 1,
                              "$B/led-client send '{\"red_light\":\"off\"}' >/dev/null\n"
                              "$B/kmx-sim button tap && echo 'HELD{both lit}'\n"
                              "waitfor '[ $(wc -l </tmp/udp.txt) -ge 2 ]'\n"
                              "cp /tmp/udp.txt /run/sim/out/udp.txt\n");
    ASSERT_EQ(r.status, 0) << r.out;
    // Both LEDs lit while the button is held.
    EXPECT_TRUE(has(r.out, "HELD{both lit}")) << r.out;
    EXPECT_EQ(out_file(r, "udp.txt"),
              "8001 {\"ip\":\"192.0.2.10\",\"mac\":\"02:00:C0:00:02:0A\",\"type\":\"n5\",\"dna\":\"0x0123456789abcdef\","
              "\"netmask\":\"255.255.255.0\",\"gateway\":\"192.0.2.1\",\"dns1\":\"192.0.2.53\",\"dns2\":\"192.0.2.54\","
              "\"netmode\":\"dhcp\"}\n"
              "14235 192.0.2.10,02:00:C0:00:02:0A\n");
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "factory_reset")) << r.file("/run/sim/calls.log");
}

TEST(Button, BroadcastLeavesOutEmptyKeysAndNamesTheFixedMode) {
    Machine m = button_machine(kStaticFile);
    m.files["/etc/resolv.conf"] = "";
    MachineRun r = run_daemon(m, 2,
                              "$B/kmx-sim button hold 500\n"
                              "waitfor '[ $(wc -l </tmp/udp.txt) -ge 2 ]'\n"
                              "cp /tmp/udp.txt /run/sim/out/udp.txt\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(out_file(r, "udp.txt"), "\"gateway\":\"192.0.2.1\",\"netmode\":\"staic\"}\n")) << out_file(r, "udp.txt");
}

// The reset script replaces the files under the configuration's lock: with
// another program's change in flight it waits for that change to end.
TEST(Button, MediumPressRunsTheFactoryReset) {
    MachineRun r = run_daemon(button_machine(kDhcpFile), 2,
                              "touch /run/cgminer.conf.lock\n"
                              "(flock 9; touch /tmp/held; while [ ! -f /tmp/go ]; do sleep 0.01; done) "
                              "9>/run/cgminer.conf.lock &\n"
                              "waitfor '[ -f /tmp/held ]'\n"
                              "$B/kmx-sim button hold 12000\n"
                              "waitfor \"" + kWaitsOnLock + "\" && grep -c factory_reset /run/sim/calls.log; "
                              "touch /tmp/go\n"
                              "waitfor \"[ \\$(sed -n '/factory_reset/,\\$p' /run/sim/calls.log | grep -c '^sync') -ge 3 ]\"\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "0\n");
    EXPECT_TRUE(has(actions(r), "factory_reset.sh\nsync\nsync\nsync\n")) << actions(r);
    EXPECT_TRUE(has(r.syslog(), "revert_default_conf,/sbin/factory_reset.sh.")) << r.syslog();
    EXPECT_EQ(r.file("/tmp/udp.txt"), "");
    EXPECT_EQ(out_file(r, "25-wired.network"), kDhcpFile);
}

// Held past 20 s the sampler ends the press itself and the mode switches
// while the button is still down. The sampler waits for the switch; what is
// held after it is a new press, here a short one: the address broadcast.
// The switch darkens the red LED and the sampler lights it again when it
// counts the new press; the emulator's "through" releases the button there
// itself, so the new press stays short (under 4.4 s) however loaded the host.
TEST(Button, LongPressSwitchesTheNetworkModeBothWays) {
    const std::string hold_through_switch =
        "n=$(grep -c 'systemctl restart systemd-networkd' /run/sim/calls.log)\n"
        "$B/kmx-sim button through || echo NOT-COUNTED\n"
        "[ $(grep -c 'systemctl restart systemd-networkd' /run/sim/calls.log) -gt $n ] || echo NO-SWITCH\n"
        "u=$((u + 2))\n"
        "waitfor \"[ \\$(wc -l </tmp/udp.txt) -ge $u ]\"\n";
    MachineRun r = run_daemon(button_machine(kDhcpFile), 2,
                              "u=0\n" + hold_through_switch + "cp /config/network/25-wired.network /run/sim/out/to_static\n" +
                                  hold_through_switch);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "") << r.out;
    EXPECT_EQ(out_file(r, "to_static"), kStaticFile);
    EXPECT_EQ(out_file(r, "25-wired.network"), kDhcpFile);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "key_press_cnt(>850): 1001")) << log;
    EXPECT_TRUE(has(log, "dhcp ===> static ip.")) << log;
    EXPECT_TRUE(has(log, "static ip ===> dhcp.")) << log;
    EXPECT_TRUE(has(actions(r), "systemctl restart systemd-networkd\nsync\nsync\nsync\n")) << actions(r);
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "factory_reset")) << r.file("/run/sim/calls.log");
}

TEST(Button, ModeLedBlinksForDhcpAndStaysLitForAFixedAddress) {
    const std::string sample = std::string("s=''; for i in $(seq 40); do s=\"$s $(") + kLeds +
                               ")\"; sleep 0.1; done; printf 'LEDS{%s}' \"$s\"\n";
    for (const std::string &file : {kDhcpFile, kStaticFile}) {
        MachineRun r = run_daemon(button_machine(file), 10, "sleep 0.5\n" + sample);
        ASSERT_EQ(r.status, 0) << r.out;
        const bool dhcp = file == kDhcpFile;
        EXPECT_EQ(has(r.out, "0x00000200"), dhcp) << r.out;  // green dark
        EXPECT_TRUE(has(r.out, "0x00000000")) << r.out;       // green lit
        // The last mode seen starts as static: only a change is logged.
        EXPECT_EQ(has(r.syslog(), "net mode: (dhcp)"), dhcp) << r.syslog();
        EXPECT_FALSE(has(r.syslog(), "net mode: (static)")) << r.syslog();
    }
}

// ---- network guards -----------------------------------------------------------

const std::string kGoodConf = "{\"pools\":[{\"url\":\"stratum+tcp://pool:3333\",\"user\":\"u\",\"pass\":\"x\"}]}";
const std::string kDefaultConf = "{\"pools\":[]}";

Machine guard_machine() {
    Machine m;
    m.files["/etc/cgminer.conf.default"] = kDefaultConf;
    m.files["/etc/systemd/network/dhcp.network"] = kDhcpFile;
    m.files["/config/network/25-wired.network"] = kStaticFile;
    m.files["/config/network/25-wired.network.bak"] = kStaticFile;
    return m;
}

// The first backup round (300 s) handles cgminer.conf: afterwards the file
// and its backup are the same, whichever way it copied.
const char kAfterCgRound[] = "waitfor 'cmp -s /config/cgminer.conf /config/cgminer.conf.bak'\n";

TEST(BackupGuard, RestoresADamagedMinerConfigFromItsBackup) {
    for (const std::string &bad : {std::string("{\"pools\":[{\"url\""), std::string("[]"), std::string("")}) {
        Machine m = guard_machine();
        m.files["/config/cgminer.conf"] = bad;
        m.files["/config/cgminer.conf.bak"] = kGoodConf;
        MachineRun r = run_daemon(m, 500, kAfterCgRound);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(out_file(r, "cgminer.conf"), kGoodConf) << bad;
        EXPECT_EQ(out_file(r, "cgminer.conf.bak"), kGoodConf) << bad;
        EXPECT_TRUE(has(r.syslog(), "cg conf file format is wrong!")) << r.syslog();
        EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "cgminer")) << r.file("/run/sim/calls.log");
    }
}

TEST(BackupGuard, BacksUpAGoodConfigAndFallsBackToTheDefault) {
    {  // good file, no backup yet
        Machine m = guard_machine();
        m.files["/config/cgminer.conf"] = kGoodConf;
        MachineRun r = run_daemon(m, 500, kAfterCgRound);
        EXPECT_EQ(out_file(r, "cgminer.conf.bak"), kGoodConf);
        EXPECT_FALSE(has(r.syslog(), "format is wrong")) << r.syslog();
    }
    {  // both bad: the default goes to both
        Machine m = guard_machine();
        m.files["/config/cgminer.conf"] = "x";
        m.files["/config/cgminer.conf.bak"] = "y";
        MachineRun r = run_daemon(m, 500, kAfterCgRound);
        EXPECT_EQ(out_file(r, "cgminer.conf"), kDefaultConf);
        EXPECT_EQ(out_file(r, "cgminer.conf.bak"), kDefaultConf);
    }
}

TEST(BackupGuard, RestoresANetworkFileWithoutDnsAndRestartsTheNetwork) {
    Machine m = guard_machine();
    m.files["/config/cgminer.conf"] = kGoodConf;
    m.files["/config/network/25-wired.network"] =
        "[Match]\nName=eth0\n[Network]\nAddress=192.168.1.254/24\nGateway=192.168.1.1\n";
    MachineRun r = run_daemon(m, 500, "waitfor 'grep -q \"network_bak.*ifconfig eth0 up\" /run/sim/syslog.log'\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(out_file(r, "25-wired.network"), kStaticFile);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Network file format is wrong!")) << log;
    EXPECT_TRUE(has(actions(r), "systemctl restart systemd-networkd\nifconfig eth0 down\nifconfig eth0 up\n")) << actions(r);
}

TEST(EthernetGuard, PutsBackTheDefaultWhenTheFileDoesNotNameEth0) {
    Machine m = guard_machine();
    m.files["/config/cgminer.conf"] = kGoodConf;
    m.files["/config/network/25-wired.network"] = "[Match]\nName=wlan0\n";
    MachineRun r = run_daemon(m, 500, "waitfor 'grep -q \"ifconfig eth0 up\" /run/sim/calls.log'\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(out_file(r, "25-wired.network"), kDhcpFile);
    EXPECT_TRUE(has(actions(r), "systemctl restart systemd-networkd\nifconfig eth0 down\nifconfig eth0 up\n")) << actions(r);
}

TEST(EthernetGuard, StopsOnceEth0HasAnAddress) {
    Machine m = guard_machine();
    m.files["/config/cgminer.conf"] = kGoodConf;
    m.files["/config/cgminer.conf.bak"] = kGoodConf;
    // 1000 s: eight guard periods and both backup rounds.
    MachineRun r = run_daemon(m, 500, "sleep 2\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "ifconfig")) << r.file("/run/sim/calls.log");
    EXPECT_EQ(out_file(r, "25-wired.network"), kStaticFile);
}

}  // namespace
