// Pad, sysfs and fan-device back-ends inside an emulated machine (boards in
// slots 0, 2 and 5). The SoC block is the shared emulated window, so a
// second process (kmx-sim) sees what the library drove.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "drv/hub.h"
#include "drv/hub_gpio.h"
#include "drv/soc_gpio.h"
#include "drv/soc_pads.h"
#include "misc/kmx_misc.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "sim/devices/gpio_devices.h"
#include "support/log_capture.h"
#include "support/machine_runner.h"
#include "zynq/zynq_gpio.h"

namespace {

// Some logged line contains `part` (lines carry their source position).
bool logged(const std::string &part) {
    for (const LogLine &l : log_captured())
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

uint32_t apb_word(uint32_t off) { return kos::window_read32(map_apb_sys_base, off); }
uint32_t gpio_word(uint32_t off) { return kos::window_read32(map_gpio_base, off); }
void gpio_set_word(uint32_t off, uint32_t v) { kos::window_write32(map_gpio_base, off, v); }

// Run a program of the machine and return its output.
std::string run(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

std::string kmx_sim(const std::string &args) { return run(build_path("kmx-sim") + " " + args); }

std::string file_bytes(const std::string &path) {
    std::string s;
    kos::read_file(path.c_str(), s);
    return s;
}

class SocPads : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sarn_gpio_init(), 0);
        ASSERT_EQ(sarn_apb_sys_init(), 0);
        for (uint32_t off = 0; off < 0x300; off += 4) gpio_set_word(off, 0);
        g_platform = SOC;
        log_capture_clear();
    }
    void TearDown() override { soc_exit_gpio(); }
};

TEST_F(SocPads, WritesTouchOnlyTheirPadsBit) {
    gpio_set_word(0x118, 0xFFFFFFFF);
    sarn_gpio_write(131, 0, 0);
    EXPECT_EQ(gpio_word(0x118), 0xFFFFF7FFu);
    gpio_set_word(0x228, 0xFFFFFFFF);
    sarn_gpio_write(69, 0, 1);
    EXPECT_EQ(gpio_word(0x228), 0xFDFFFFFFu);
    sarn_gpio_write(170, 1, 0);
    sarn_gpio_write(40, 1, 0);
    EXPECT_EQ(gpio_word(0x00C), (1u << 15) | (1u << 20));
    sarn_gpio_write(150, 1, 0);
    EXPECT_EQ(gpio_word(0x018), 1u << 30);
}

TEST_F(SocPads, BadArgumentsChangeNothing) {
    testing::internal::CaptureStdout();
    sarn_gpio_write(5, 2, 0);
    sarn_gpio_write(5, 0, 2);
    sarn_gpio_write(172, 1, 0);
    sarn_gpio_write(171, 1, 0);
    sarn_gpio_write(-5, 1, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    for (const soc_pads::Run &r : soc_pads::kRuns) {
        EXPECT_EQ(gpio_word(r.data_off), 0u) << r.data_off;
        EXPECT_EQ(gpio_word(r.data_off + 4u), 0u) << r.data_off;
    }
    EXPECT_NE(out.find("not support gpio_id:171"), std::string::npos) << out;
    EXPECT_NE(out.find("not support gpio_id:-5"), std::string::npos) << out;
    EXPECT_EQ(sarn_gpio_read(171), -1);
    EXPECT_EQ(sarn_gpio_read(-3), -1);
    EXPECT_EQ(sarn_gpio_read(172), -1);
    EXPECT_TRUE(logged("sarn_gpio_read failled: not support gpio_id:-3"));
    EXPECT_TRUE(logged("sarn_gpio_read failled id = 172"));
}

TEST_F(SocPads, InputsFollowOutsideLevelsAndOutputsReadBack) {
    // The description plugs slots 0, 2 and 5: plug pads read 0 there.
    const int plug[8] = {39, 43, 47, 75, 79, 83, 155, 151};
    for (int s = 0; s < 8; s++) EXPECT_EQ(soc_hub_get_plug(uint8_t(s)), (s == 0 || s == 2 || s == 5) ? 0 : 1) << s;
    EXPECT_EQ(sarn_gpio_read(plug[1]), 1);
    // An output pad reads what it drives.
    sarn_gpio_write(plug[1], 1, 1);
    sarn_gpio_write(plug[1], 0, 0);
    EXPECT_EQ(sarn_gpio_read(plug[1]), 0);
    EXPECT_EQ(soc_hub_get_plug(9), 1);  // no such slot: no board
}

TEST_F(SocPads, MuxAndGroupMapWords) {
    gpio_mux_init();
    EXPECT_EQ(gpio_word(0x010), 0x07770000u);
    EXPECT_EQ(gpio_word(0x028), 0x00000777u);
    EXPECT_EQ(apb_word(0x180), 0x200u);
    EXPECT_EQ(apb_word(0x17C), 0x207u);
    gpio_set_word(0x010, 0);
    gpio_set_word(0x028, 0);
    gpio_mux_init_test();
    EXPECT_EQ(apb_word(0x180), 0x3FFu);
    EXPECT_EQ(gpio_word(0x010), 0u);
    EXPECT_EQ(gpio_word(0x028), 0u);
    group_signal_map_init();
    const uint32_t expect[12] = {0, 19, 20, 3, 9, 23, 6, 22, 18, 8, 12, 13};
    for (unsigned i = 0; i < 12; i++) EXPECT_EQ(apb_word(0x0F4 + 4 * i), expect[i]) << i;
}

TEST_F(SocPads, UnmappedBlockIsInertAndVendorFallsBackToNone) {
    sarn_gpio_write(131, 1, 1);
    soc_exit_gpio();
    ASSERT_EQ(map_gpio_base, nullptr);
    sarn_gpio_write(131, 0, 0);  // must not fault
    EXPECT_EQ(sarn_gpio_read(131), -1);
    // Both vendor pads read -1: 160 * 2 + 159 would be -3.
    EXPECT_EQ(misc_get_vendor(), 0);
    soc_exit_gpio();  // a second release finds nothing to unmap
}

TEST_F(SocPads, VendorFromStrapPads) {
    sim::soc_pad_set_external(160, 1);
    sim::soc_pad_set_external(159, 1);
    EXPECT_EQ(misc_get_vendor(), 3);
    sim::soc_pad_set_external(160, 0);
    sim::soc_pad_set_external(159, 0);
    EXPECT_EQ(misc_get_vendor(), 0);
    g_platform = ZYNQ_HUB_B13;
    EXPECT_EQ(misc_get_vendor(), 0);
}

TEST_F(SocPads, BoardLedsAreActiveLowAndSeenByAnotherProcess) {
    soc_hub_set_green_led(1);
    EXPECT_EQ(gpio_word(0x11C) >> 11 & 1u, 1u);  // output
    EXPECT_EQ(gpio_word(0x118) >> 11 & 1u, 0u);  // lit
    EXPECT_EQ(kmx_sim("peek 0x60050118"), "0x00000000\n");
    soc_hub_set_green_led(0);
    EXPECT_EQ(kmx_sim("peek 0x60050118"), "0x00000800\n");
    soc_hub_set_green_led(2);  // not a mode: unchanged
    EXPECT_EQ(gpio_word(0x118), 0x800u);
    soc_hub_set_red_led(1);
    EXPECT_EQ(sim::soc_pad_output(84), 0);
    soc_hub_set_led(6, 1);
    EXPECT_EQ(sim::soc_pad_output(156), 1);
    soc_hub_set_led(6, 3);
    EXPECT_EQ(sim::soc_pad_output(156), 1);
}

TEST_F(SocPads, ButtonPressedInAnotherProcess) {
    EXPECT_EQ(soc_hub_get_button(), 1);
    kmx_sim("button press");
    EXPECT_EQ(soc_hub_get_button(), 0);
    kmx_sim("button release");
    EXPECT_EQ(soc_hub_get_button(), 1);
}

TEST_F(SocPads, PowerEnableOffIsSkippedOnI2cSuppliesUnlessSubtypeSix) {
    g_vid_type = 7;
    g_miner_subtype = 1;
    soc_hub_set_power_en(0, 1);
    soc_hub_set_power_en(0, 0);
    EXPECT_EQ(sim::soc_pad_output(170), 1);
    g_miner_subtype = 6;
    soc_hub_set_power_en(0, 0);
    EXPECT_EQ(sim::soc_pad_output(170), 0);
    g_vid_type = 15;
    g_miner_subtype = -1;
}

TEST_F(SocPads, ParallelChainThreadsNeverLoseALineUpdate) {
    // Slots 0 and 1 share data word 0x00C. A chain's own line must read
    // back what its thread just drove: the other thread never writes it,
    // so a difference is the other thread's stale word written over it.
    std::atomic<int> lost{0};
    auto drive = [&lost](uint8_t c, int reset_pad) {
        for (int i = 0; i < 100000; i++) {
            soc_hub_set_reset(c, i & 1);
            if (sarn_gpio_read(reset_pad) != (i & 1)) lost++;
        }
    };
    std::thread a(drive, 0, 37), b(drive, 1, 41);
    a.join();
    b.join();
    EXPECT_EQ(lost.load(), 0);
}

// ---- fan devices --------------------------------------------------------------

class FanDevices : public testing::Test {
protected:
    void SetUp() override {
        sim::fan_requests_clear();
        sim::fan_device_fault(SOC_FAN_DEV, false, 0);
        sim::fan_device_fault(ZYNQ_PWM_DEV, false, 0);
        log_capture_clear();
    }
    static std::string requests() {
        std::string s;
        for (const sim::FanRequest &r : sim::fan_requests()) {
            char line[80];
            snprintf(line, sizeof line, "%lx=%d ", r.request, r.value);
            s += line;
        }
        return s;
    }
};

TEST_F(FanDevices, SocFanSetsAndReadsBack) {
    soc_hub_set_pwm(1, 20000, 30);
    int freq = 0, duty = 0;
    soc_hub_get_pwm(1, &freq, &duty);
    EXPECT_EQ(freq, 20000);
    EXPECT_EQ(duty, 6000);
    EXPECT_EQ(requests(), "6b02=20000 6b03=6000 6b08=0 6b09=0 ");
    EXPECT_TRUE(logged("get fan 1  frequency: 20000, duty: 6000"));
    EXPECT_NE(file_bytes(kos::sim_dir() + "/fans").find("/dev/pwm_fan_devnode fan1 period 20000 oncount 6000"),
              std::string::npos);
}

TEST_F(FanDevices, SocFanFailuresAndBadIds) {
    sim::fan_device_fault(SOC_FAN_DEV, false, 0x6B02);
    soc_hub_set_pwm(1, 20000, 30);
    EXPECT_EQ(requests(), "6b02=20000 ");  // no on-count after a failed period
    EXPECT_TRUE(logged("set fan 1 frequency fail"));
    sim::fan_requests_clear();
    soc_hub_set_pwm(3, 20000, 30);  // 0x6B06 would read fan 0's period
    EXPECT_EQ(requests(), "");
    sim::fan_device_fault(SOC_FAN_DEV, true, 0);
    soc_hub_set_pwm(0, 20000, 30);
    EXPECT_TRUE(logged("Open pwm device node fail!"));
    EXPECT_EQ(requests(), "");
}

TEST_F(FanDevices, ZynqGeneratorCountsTheInvertedDuty) {
    zynq_set_pwm(1, 20000, 30);
    zynq_set_pwm(0, 20050, 50);  // the division comes first: 50 * 200
    EXPECT_EQ(requests(), "80046402=20000 80046403=14000 80046400=20050 80046401=10000 ");
    sim::fan_requests_clear();
    sim::fan_device_fault(ZYNQ_PWM_DEV, false, 0x80046402);
    zynq_set_pwm(1, 20000, 30);
    EXPECT_EQ(requests(), "80046402=20000 ");
    EXPECT_TRUE(logged("set fan1 frequency fail "));
    sim::fan_requests_clear();
    sim::fan_device_fault(ZYNQ_PWM_DEV, true, 0);
    zynq_set_pwm(1, 20000, 30);
    EXPECT_TRUE(logged("open /dev/pwmgen0.0 fail"));
    EXPECT_EQ(requests(), "");
}

// ---- sysfs GPIO -------------------------------------------------------------------

TEST(SysfsGpio, ExportDirectionValueAndBusy) {
    const std::string dir = "/sys/class/gpio/gpio860/";
    zynq_gpio_init(860, 0);
    EXPECT_EQ(file_bytes(dir + "direction"), std::string("out\0", 4));
    zynq_gpio_init(860, 1);  // exported already: direction stays
    EXPECT_EQ(file_bytes(dir + "direction"), std::string("out\0", 4));
    zynq_gpio_write(860, 5);
    EXPECT_EQ(file_bytes(dir + "value").substr(0, 2), std::string("1\0", 2));
    EXPECT_EQ(zynq_gpio_read(860), 1);
    zynq_gpio_write(860, 0);
    EXPECT_EQ(zynq_gpio_read(860), 0);
    kos::write_file_atomic((dir + "value").c_str(), "\n");
    EXPECT_EQ(zynq_gpio_read(860), -1);
}

TEST(SysfsGpio, PlugLinesFollowTheBoards) {
    for (int s = 0; s < 8; s++) {
        zynq_gpio_init(896 + s, 1);
        EXPECT_EQ(zynq_gpio_read(896 + s), (s == 0 || s == 2 || s == 5) ? 0 : 1) << s;
    }
}

TEST(SysfsGpioDeathTest, FailedExportEndsTheProcessWithStatusZero) {
    EXPECT_EXIT(zynq_gpio_init(5000, 1), testing::ExitedWithCode(0), "22,Invalid argument");
    EXPECT_EXIT(zynq_gpio_read(777), testing::ExitedWithCode(0), "No such file or directory");
}

// ---- FPGA hub ids ---------------------------------------------------------------------

TEST(HubGpio, OutOfRangeIdsTouchNoForeignBits) {
    g_platform = ZYNQ_HUB_B13;
    hub_init();
    Xil_Peripheral_Out32(HUB_LED, 0);
    Xil_Peripheral_Out32(0x80, 0x1234);
    hub_set_led(9, 1);  // would be the green LED bit
    hub_set_led(10, 1);
    hub_set_pwm(8, 20000, 50);  // period word 0x80 is a VID register
    EXPECT_EQ(Xil_Peripheral_In32(HUB_LED), 0u);
    EXPECT_EQ(Xil_Peripheral_In32(0x80), 0x1234u);
    hub_set_pwm(2, 20050, 50);
    EXPECT_EQ(Xil_Peripheral_In32(HUB_FAN_ONCOUNT(2)), 10000u);
    hub_deinit();
}

}  // namespace
