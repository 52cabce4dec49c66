// Watchdog queue, addresses, versions and U-Boot variables end to end: the
// probe runs inside an emulated machine, the stand-in watchdog program takes
// the queue's messages, and the test reads what the machine kept.
#include <gtest/gtest.h>

#include <string>

#include "support/machine_runner.h"

namespace {

const char *const DESC = R"({
  "platform": 4,
  "boards": [
    {"slot": 0, "chip_type": 0, "chips": 80},
    {"slot": 2, "chip_type": 0, "chips": 80},
    {"slot": 5, "chip_type": 0, "chips": 80}
  ],
  "uboot": {"image_flag": "b", "standby": "0", "version_b": "V2.0.1-b"},
  "files": {"/etc/hwrevision": "zynq n5.b\n", "/etc/fwrevision": "2.3.4 2026-01-01\n"}
})";

TEST(WatchdogQueue, ReaderGetsTemperatureAndPowerDownBodies) {
    MachineRun r = run_machine(DESC, {"sh", "-c", build_path("kmx-misc-probe") + " wd && /bin/watchdog --drain"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("poweron_flag 0 state 2\n"), std::string::npos) << r.out;
    // The power-down before the queue was opened is not there.
    EXPECT_EQ(r.file("/run/sim/watchdog.log"),
              "257 0200000000000000fbff570000007642" "0807060504030201\n"
              "258 020000000000000000000000000000000000000000000000\n");
    EXPECT_EQ(r.file("/tmp/watchdog"), "0 0 2 0 0 0 0 0\n");
    EXPECT_EQ(r.file("/tmp/errcode"), "47\nWATCHDOG.chain(3).chip().msg(overheat)\n");
    EXPECT_NE(r.syslog().find("<Message Queue> msq id: "), std::string::npos);
}

TEST(SystemInfo, AddressesVersionsAndUbootInsideTheMachine) {
    MachineRun r = run_machine(DESC, {"sh", "-c", "flagutils set && " + build_path("kmx-misc-probe") + " sysinfo"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out,
              "mac 1 02:00:c0:00:02:0a\n"
              "ip 1 192.0.2.10\n"
              "fwver 0 2.3.4\n"
              "version 1 V2.0.1-b\n"
              "set 1\n"
              "get rootfs_fail_cnt 1 [3\n]\n"
              "set 1\n"
              "get note 1 [a b;reboot $(reboot) 'q'\n]\n"
              "set 0\n"
              "get unset_name 1 []\n"
              "lock 1\n");
    const std::string calls = r.file("/run/sim/calls.log");
    // The quoted value reached fw_setenv whole; reboot never ran.
    EXPECT_NE(calls.find("\nfw_setenv note a b;reboot $(reboot) 'q'\n"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("\nreboot"), std::string::npos) << calls;
}

}  // namespace
