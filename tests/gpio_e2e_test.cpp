// GPIO lines end to end: the C probe starts platform 16 (SoC pads) or 1
// (sysfs GPIO) inside an emulated machine whose boards and straps come from
// the description; the test reads the probe's output, the fans file and the
// pad registers the machine ends with.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/machine_runner.h"

namespace {

std::string desc(int platform, const std::vector<int> &slots, const std::string &straps) {
    std::string boards;
    for (int s : slots) {
        if (!boards.empty()) boards += ",";
        boards += "{\"slot\":" + std::to_string(s) + ",\"chip_type\":0,\"chips\":80}";
    }
    std::string d = "{\"platform\":" + std::to_string(platform) + ",\"boards\":[" + boards + "]";
    if (!straps.empty()) d += ",\"straps\":" + straps;
    return d + "}";
}

MachineRun probe(int platform, const std::vector<int> &slots, const std::string &straps,
                 const std::vector<std::string> &args) {
    std::vector<std::string> cmd{build_path("kmx-platform-probe")};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return run_machine(desc(platform, slots, straps), cmd);
}

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

// Data bit of a pad word in the kept GPIO block.
int data_bit(const MachineRun &r, uint32_t off, unsigned bit) {
    const std::string mem = r.file("/run/sim/mem/60050000.bin");
    if (mem.size() < off + 4) return -1;
    uint32_t w;
    memcpy(&w, mem.data() + off, 4);
    return int((w >> bit) & 1u);
}

TEST(SocGpio, PlugScanFindsBoardsInSlotsOneAndSix) {
    MachineRun r = probe(16, {1, 6}, "", {"16", "0", "2", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chains 2: 1 6\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "chain0: the plat is not inserted")) << log;
    EXPECT_TRUE(has(log, "chain6: the plat is inserted")) << log;
    EXPECT_TRUE(has(log, "unmap soc_gpio_base:vir:")) << log;
    EXPECT_TRUE(has(log, "unmap soc_apb_sys_base:vir:")) << log;
    // Start-up sets every fan through the fan device; the period reads back.
    const std::string fans = r.file("/run/sim/fans");
    for (int f = 0; f < 3; f++)
        EXPECT_TRUE(has(fans, "/dev/pwm_fan_devnode fan" + std::to_string(f) + " period 20000 oncount")) << fans;
    // The exit powered both chains down: reset and start low, LED pad 1.
    EXPECT_EQ(data_bit(r, 0x00C, 21), 0);  // pad 41, reset of slot 1
    EXPECT_EQ(data_bit(r, 0x00C, 20), 0);  // pad 40, start of slot 1
    EXPECT_EQ(data_bit(r, 0x00C, 22), 1);  // pad 42, LED of slot 1
    EXPECT_EQ(data_bit(r, 0x024, 29), 0);  // pad 157, reset of slot 6
    EXPECT_EQ(data_bit(r, 0x024, 28), 1);  // pad 156, LED of slot 6
}

TEST(SocGpio, VendorAndBoardCodeFromStraps) {
    MachineRun r = probe(16, {0}, "{\"board_code\":5,\"vendor\":2}", {"16", "0", "1", "80", "2", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "platform 16 vid_type 5 vin_sync 0 vendor zle\n")) << r.out;

    r = probe(16, {0}, "{\"board_code\":10,\"vendor\":3}", {"16", "0", "1", "80", "2", "80"});
    EXPECT_TRUE(has(r.out, "platform 16 vid_type 10 vin_sync 0 vendor hyt\n")) << r.out;
}

TEST(SysfsGpio, PlugScanExportsEverySlotItReads) {
    // Two chains asked for, boards in slots 0 and 3: slot 3's plug pin lies
    // beyond the requested count and must still be readable.
    MachineRun r = probe(1, {0, 3}, "{\"board_code\":9}", {"1", "0", "2", "80", "2", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "platform 1 vid_type 9 vin_sync 0 vendor unknown\n")) << r.out;
    EXPECT_TRUE(has(r.out, "chains 2: 0 3\n")) << r.out;
    EXPECT_TRUE(has(r.out, "exit done\n")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "chain7: the plat is not inserted")) << r.syslog();
    const std::string fans = r.file("/run/sim/fans");
    EXPECT_TRUE(has(fans, "/dev/pwmgen0.0 fan2 period 20000 oncount")) << fans;
}

TEST(SysfsGpio, MoreBoardsThanAskedForAreMisplugged) {
    MachineRun r = probe(2, {1, 2, 7}, "", {"2", "0", "2", "80"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "chains 2: 1 2\n")) << r.out;
    EXPECT_TRUE(has(r.file("/tmp/errlog"), "MISPLUGGED.chain(8)")) << r.file("/tmp/errlog");
}

}  // namespace
