// The mining process's start-up steps end to end: the standby wait with its
// file-check thread beside it, and the machine-type / supply-version check.
#include <gtest/gtest.h>

#include <string>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

int count(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

// While the standby switch is set the start-up powers the chains down,
// slows the fans to 10 % and asks again every 10 s; the file check runs
// every 60 s meanwhile. The probe runs 20 times faster than real time; the
// test waits (however long a loaded host takes) for three asks and two file
// checks, looks at the hardware, then clears the switch.
TEST(Startup, StandbyWaitsWithChainsDownAndFansSlow) {
    const std::string sim = build_path("kmx-sim");
    const std::string script =
        "cp " + std::string(KMX_SOURCE_DIR) + "/sim/stubs/filemend.stub /usr/bin/filemend && " + sim +
        " poke 0x43C00020 0x7 && KMX_TIME_SCALE=20 " + build_path("kmx-psu-probe") + " 5 > /tmp/probe.out & "
        "n() { grep -c \"$1\" \"$2\" 2>/dev/null || true; }; "
        "for i in $(seq 6000); do [ \"$(n 'standby mode' /run/sim/syslog.log)\" -ge 3 ] && "
        "[ \"$(n '^filemend 1$' /run/sim/calls.log)\" -ge 2 ] && break; sleep 0.05; done; " +
        sim + " peek 0x43C00020; " + sim + " peek 0x43C00040; " + sim + " peek 0x43C00044; " +
        "grep -c . /tmp/probe.out; fw_setenv standby 0; wait; cat /tmp/probe.out";
    MachineRun r = run_machine(
        R"({"platform":4,"psu":{"absent":true},"uboot":{"standby":"1"},)"
        R"("boards":[{"slot":0,"chips":8},{"slot":1,"chips":8},{"slot":2,"chips":8}]})",
        {"sh", "-c", script});
    // Power, start and reset lines of chains 0-2 all low; fan 0 at 20 kHz,
    // 10 % (the drive is inverted: 90 % on-count); the probe has printed
    // nothing of the start-up yet.
    EXPECT_TRUE(has(r.out, "0x00000000\n0x00004e20\n0x00004650\n0\n")) << r.out;
    // Start-up went on once the switch cleared.
    EXPECT_TRUE(has(r.out, "supply vendor unknown")) << r.out;
    const std::string log = r.syslog();
    EXPECT_GE(count(log, "Miner is in standby mode!!!"), 3) << log;
    EXPECT_TRUE(has(log, "fan speed set to 10\n")) << log;
    EXPECT_TRUE(has(log, "start files_check pthread")) << log;
    EXPECT_GE(count(r.file("/run/sim/calls.log"), "filemend 1\n"), 2) << r.file("/run/sim/calls.log");
}

std::string typed_machine(const std::string &type, const std::string &fw_minor) {
    return R"({"platform":4,"uboot":{"standby":"0"},"files":{"/etc/hwrevision":"zynq )" + type +
           R"(.b\n"},"psu":{"vendor":"GP","fwver":[1,)" + fw_minor +
           R"(]},"boards":[{"slot":0,"chips":8}]})";
}

// An "n7" machine takes supply firmware x.65 or x.66 only: 1.69 is refused
// with error 49 for the whole machine, and start-up goes on.
TEST(Startup, SupplyVersionNotMatchingTheMachineTypeSetsError49) {
    MachineRun r = run_machine(typed_machine("n7", "69"), {build_path("kmx-psu-probe"), "1", "1"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "supply vendor GP, firmware 1.69")) << r.out;
    EXPECT_EQ(r.file("/tmp/psu_info"), "GP\n1.69\n0\n");
    const std::string err = r.file("/tmp/errcode");
    EXPECT_EQ(err.rfind("49\n", 0), 0u) << err;
    EXPECT_TRUE(has(err, "PSU_TYPE_FAIL.chain(ff).chip().msg()")) << err;
    EXPECT_TRUE(has(r.file("/tmp/errlog"), "/ff/49/PSU_TYPE_FAIL")) << r.file("/tmp/errlog");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "miner type is not match psu version of GP!!!")) << log;
    EXPECT_FALSE(has(log, "miner type is match psu version")) << log;

    MachineRun ok = run_machine(typed_machine("n7", "66"), {build_path("kmx-psu-probe"), "1", "1"});
    ASSERT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(ok.file("/tmp/errcode"), "");
    EXPECT_TRUE(has(ok.syslog(), "miner type is match psu version of GP!!!")) << ok.syslog();
}

}  // namespace
