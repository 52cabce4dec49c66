// Start-up when the physical-memory device fails: it cannot be opened, or
// one register window cannot be mapped. The process ends with status 0
// after its line, before any hub register is used.
#include <gtest/gtest.h>

#include <string>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

MachineRun probe(int platform, const std::string &faults) {
    const std::string desc = "{\"platform\":" + std::to_string(platform) +
                             ",\"boards\":[{\"slot\":0,\"chip_type\":0,\"chips\":80}],\"mem_faults\":" + faults + "}";
    return run_machine(desc, {build_path("kmx-platform-probe"), std::to_string(platform), "0", "1", "80"});
}

TEST(MemFaults, DevMemCannotBeOpened) {
    for (int platform : {4, 16}) {
        MachineRun r = probe(platform, "{\"open\":true}");
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string log = r.syslog();
        EXPECT_TRUE(has(log, "total: 3 dev will mmap.")) << log;
        EXPECT_TRUE(has(log, "open /dev/mem:")) << log;
        EXPECT_FALSE(has(log, "dev mmap done")) << log;
        EXPECT_FALSE(has(log, "sys : platform[")) << log;  // start-up went no further
        EXPECT_FALSE(has(r.out, "chains ")) << r.out;
    }
}

TEST(MemFaults, AWindowCannotBeMapped) {
    MachineRun r = probe(4, "{\"map\":[\"0x43C00000\"]}");
    EXPECT_EQ(r.status, 0) << r.out;
    std::string log = r.syslog();
    EXPECT_TRUE(has(log, "mmap spi:phy:0x43c30000 => vir:")) << log;
    EXPECT_TRUE(has(log, " size:0x2000 ok.")) << log;
    EXPECT_TRUE(has(log, "mmap peripheral:phy:0x43c00000 => vir:0xffffffff")) << log;
    EXPECT_TRUE(has(log, " size:0x1000 fail.")) << log;
    EXPECT_FALSE(has(log, "mmap zynq:")) << log;
    EXPECT_FALSE(has(log, "sys : platform[")) << log;
    // The SoC hub's third window.
    r = probe(16, "{\"map\":[\"0x60000000\"]}");
    EXPECT_EQ(r.status, 0) << r.out;
    log = r.syslog();
    EXPECT_TRUE(has(log, "mmap vid_vid:phy:0x602f0000 => vir:")) << log;
    EXPECT_TRUE(has(log, "mmap apb_sys:phy:0x60000000 => vir:0xffffffff")) << log;
    EXPECT_TRUE(has(log, " size:0x10000 fail.")) << log;
    EXPECT_FALSE(has(log, "sys : platform[")) << log;
    // Without faults the same machine starts.
    r = probe(4, "{}");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.syslog(), "total: 3 dev mmap done.")) << r.syslog();
    EXPECT_TRUE(has(r.out, "chains 1: 0")) << r.out;
}

}  // namespace
