// Start-up's supply steps end to end: the probe runs sys_platform_init and
// sys_init in a mining process inside an emulated machine, and the test
// reads what the machine shows afterwards.
#include <gtest/gtest.h>

#include <string>

#include "support/machine_runner.h"

namespace {

std::string desc(const std::string &psu) {
    return R"({"platform":4,"boards":[{"slot":0,"chip_type":0,"chips":80},{"slot":1,"chip_type":0,"chips":80},)"
           R"({"slot":2,"chip_type":0,"chips":80}],"uboot":{"standby":"0"},"psu":)" +
           psu + "}";
}

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

TEST(SupplyStartup, ReadsAndSavesTheSupplyInformation) {
    MachineRun r = run_machine(desc(R"({"vendor":"GP","fwver":[1,65],"errorcode":3,"sync_output":1})"),
                               {build_path("kmx-psu-probe"), "1"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "vid type 7, vin sync 1\n")) << r.out;
    EXPECT_TRUE(has(r.out, "supply vendor GP, firmware 1.65, error code 3\n")) << r.out;
    EXPECT_EQ(r.file("/tmp/psu_info"), "GP\n1.65\n3\n");
    EXPECT_EQ(r.file("/tmp/errcode"), "");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "vid type detected: 7, is Vin sync? 1")) << log;
    EXPECT_TRUE(has(log, "I2C vendor: GP")) << log;
    EXPECT_TRUE(has(log, "miner type is match psu version of GP!!!")) << log;
}

TEST(SupplyStartup, SupplyThatAnswersAfterAFewTriesIsAccepted) {
    // The sync query takes the first failure; start-up's probe gets three
    // more and succeeds on its fourth read.
    MachineRun r = run_machine(desc(R"({"fail_reads":4,"vendor":"GP"})"), {build_path("kmx-psu-probe"), "1"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.file("/tmp/psu_info"), "GP\n1.65\n0\n");
    EXPECT_EQ(r.file("/tmp/errcode"), "");
}

TEST(SupplyStartup, SilentSupplyHaltsStartup) {
    // The probe never gets past sys_init: timeout ends it, which shows it
    // was still alive, halted, when the error had been saved.
    MachineRun r = run_machine(desc(R"({"fail_always":true})"), {"timeout", "5", build_path("kmx-psu-probe"), "1"});
    EXPECT_EQ(r.status, 124) << r.out;
    EXPECT_FALSE(has(r.out, "supply vendor")) << r.out;
    const std::string err = r.file("/tmp/errcode");
    EXPECT_TRUE(err.rfind("22\n", 0) == 0) << err;
    EXPECT_TRUE(has(err, "msg(errno:5)")) << err;
    EXPECT_EQ(r.file("/tmp/psu_info"), "");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "write iic failled: 5.")) << log;
    EXPECT_TRUE(has(log, "i2c hw reset done")) << log;
}

TEST(SupplyStartup, AbsentSupplyHaltsStartup) {
    MachineRun r = run_machine(desc(R"({"absent":true})"), {"timeout", "5", build_path("kmx-psu-probe"), "1"});
    EXPECT_EQ(r.status, 124) << r.out;
    EXPECT_TRUE(has(r.file("/tmp/errcode"), "errno:")) << r.file("/tmp/errcode");
    EXPECT_TRUE(has(r.syslog(), "open /dev/i2c-0 failled: 2.")) << r.syslog();
}

TEST(SupplyStartup, MachineWithoutAnI2cSupplySkipsTheSteps) {
    MachineRun r = run_machine(desc(R"({"absent":true})"), {build_path("kmx-psu-probe"), "5"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "supply vendor unknown, firmware unknown, error code 0\n")) << r.out;
    EXPECT_EQ(r.file("/tmp/errcode"), "");
}

}  // namespace
