// The hub's SPI engine primitives and chip commands against the emulated
// engine of this test's own machine (boards of 80 chips in slots 0, 2, 5).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "drv/hub.h"
#include "drv/hub_cmd.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "drv/hub_temp.h"
#include "module/kmx_log.h"
#include "drv/kmx_chip_frame.h"
#include "module/kmx_fan.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"
#include "support/log_capture.h"
#include "support/sim_files.h"

namespace {

bool log_has(const std::string &part) {
    for (const LogLine &l : log_captured())
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

uint32_t blk(uint8_t c, uint32_t off) { return Xil_SPI_In32(HUB_SPI_BLOCK(c) + off); }

class HubSpi : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_platform = ZYNQ_HUB_B13;
        hub_init();
        init_kmx_gpio();  // plug detect goes through the GPIO table
    }
    void SetUp() override {
        for (uint8_t c : {0, 1, 2}) {
            hub_set_power_en(c, 1);
            hub_set_reset(c, 1);
            hub_spi_init(c, 80);
        }
        g_chip_type = 0;
    }
};

TEST_F(HubSpi, InitAndSpeedSelect) {
    EXPECT_EQ(blk(0, HUB_SPI_CFG), 0x50044004u);
    EXPECT_EQ(blk(0, HUB_SPI_CHIPNUM), 80u);
    EXPECT_EQ(blk(0, HUB_SPI_CTRL), 0x1Fu);
    EXPECT_EQ(Xil_SPI_In32(HUB_SPI_CHAIN_EN) & 0x7u, 0x7u);
    hub_set_spi_speed(0, 5);
    hub_set_spi_speed(0, 0);
    EXPECT_EQ(blk(0, HUB_SPI_CFG) & 0x00FF0100u, 0x00020100u);
    hub_set_spi_speed(0, 6);  // out of the table: ignored
    hub_set_spi_speed(0, -1);
    EXPECT_EQ(blk(0, HUB_SPI_CFG) & 0x00FF0000u, 0x00020000u);
    EXPECT_TRUE(log_has("speed index 6 out of range"));
    // Masked offsets: a physical address reads the same register.
    EXPECT_EQ(Xil_SPI_In32(0x43C30000u + 0x1C), 80u);
}

// Slots count 0..7: chain 8 would reach another chain's or the hub's own
// bits, so it is refused with a line and nothing changes.
TEST_F(HubSpi, ChainEightIsOutOfRange) {
    const uint32_t lines = Xil_Peripheral_In32(HUB_CHAIN_LINES);
    hub_set_start_en(8, 1);
    hub_set_reset(8, 1);
    EXPECT_EQ(Xil_Peripheral_In32(HUB_CHAIN_LINES), lines);
    EXPECT_TRUE(log_has_part("hub_set_start_en: chain 8 out of range"));
    EXPECT_EQ(hub_get_plug(8), 1);  // no board
    const uint32_t cfg7 = blk(7, HUB_SPI_CFG);
    hub_set_spi_speed(8, 0);
    EXPECT_TRUE(log_has_part("spi chain 8 out of range"));
    EXPECT_EQ(blk(7, HUB_SPI_CFG), cfg7);
    // Chain 7 is a slot.
    hub_set_start_en(7, 1);
    EXPECT_NE(Xil_Peripheral_In32(HUB_CHAIN_LINES), lines);
    EXPECT_FALSE(log_has_part("chain 7 out of range"));
    hub_set_start_en(7, 0);
}

TEST_F(HubSpi, ResetBistAndRegisterRoundTrip) {
    uint8_t in[2] = {0, 0}, out[4] = {};
    ASSERT_TRUE(hub_cmd_reset(0, 0, in, out));
    EXPECT_EQ(out[0] & 0xF, 0x4);
    EXPECT_EQ(hub_cmd_bist_start(0, 0), 80);
    uint8_t bist[2] = {0x20, 0x20};
    ASSERT_TRUE(hub_cmd_reset(0, 0, bist, out));
    EXPECT_EQ(hub_cmd_bist_start(0, 0), 0);
    EXPECT_TRUE(hub_cmd_bist_collect(0, 0));
    EXPECT_TRUE(hub_cmd_bist_fix(0, 0));

    // Byte 11 holds the chip's good cores (32), which no write changes.
    uint8_t reg[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 32}, back[12] = {};
    ASSERT_TRUE(hub_cmd_write_register(0, 7, reg, 12));
    ASSERT_TRUE(hub_cmd_read_register(0, 7, back, 12));
    EXPECT_EQ(memcmp(reg, back, 12), 0);
    uint8_t rw[12] = {};
    ASSERT_TRUE(hub_cmd_read_write_reg0d(0, 7, reg, 12, rw));
    EXPECT_EQ(memcmp(reg, rw, 12), 0);
}

// The frame a command left in the engine: header word's two bytes, then
// the transmit buffer, `n` bytes in all.
std::vector<uint8_t> sent(uint8_t c, size_t n) {
    std::vector<uint8_t> f;
    const uint32_t hdr = blk(c, HUB_SPI_HDR);
    f.push_back(uint8_t(hdr));
    f.push_back(uint8_t(hdr >> 8));
    for (size_t i = 0; f.size() < n; i++) f.push_back(uint8_t(blk(c, HUB_SPI_TX + uint32_t(i & ~size_t(3))) >> (8 * (i & 3))));
    return f;
}

TEST_F(HubSpi, FramesOfEveryCommandByteForByte) {
    using V = std::vector<uint8_t>;
    uint8_t in[2] = {0xBD, 0xBD}, out[4];
    ASSERT_TRUE(hub_cmd_reset(0, 9, in, out));
    EXPECT_EQ(sent(0, 6), (V{0x04, 9, 0xBD, 0xBD, 0, 0}));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), CHIP_LW_RESET);
    hub_cmd_clean_spi_chain(0);
    EXPECT_EQ(sent(0, 6), (V{0x04, 0, 0xFF, 0xFF, 0, 0}));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), CHIP_LW_CLEAN);
    in[0] = in[1] = 0;
    ASSERT_TRUE(hub_cmd_reset(0, 0, in, out));
    hub_cmd_bist_start(0, 0);
    EXPECT_EQ(sent(0, 2), (V{0x01, 0}));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), CHIP_LW_BIST);
    hub_cmd_bist_fix(0, 4);
    EXPECT_EQ(sent(0, 2), (V{0x03, 4}));
    hub_cmd_bist_collect(0, 5);
    EXPECT_EQ(sent(0, 2), (V{0x0B, 5}));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), CHIP_LW_BIST);

    uint8_t reg[6] = {1, 2, 3, 4, 5, 6}, back[12];
    ASSERT_TRUE(hub_cmd_write_register(0, 7, reg, 6));
    EXPECT_EQ(sent(0, 12), (V{0x09, 7, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0}));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), 0x06040504u);
    ASSERT_TRUE(hub_cmd_write_reg05(0, 7, reg, 6));
    EXPECT_EQ(sent(0, 12), (V{0x05, 7, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0}));
    ASSERT_TRUE(hub_cmd_read_reg06(0, 7, reg, 6, back));
    EXPECT_EQ(sent(0, 12), (V{0x06, 7, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0}));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), 0x06040504u);
    ASSERT_TRUE(hub_cmd_read_write_reg0d(0, 8, reg, 6, back));
    EXPECT_EQ(sent(0, 12), (V{0x0D, 8, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0}));
    ASSERT_TRUE(hub_cmd_read_register(0, 8, back, 4));
    EXPECT_EQ(sent(0, 2), (V{0x0A, 8}));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), 0x02000403u);

    uint8_t job[160];
    for (int i = 0; i < 160; i++) job[i] = uint8_t(i * 7);
    job[0] = CHIP_CMD_WRITE_JOB;
    job[1] = 2;
    ASSERT_TRUE(hub_cmd_write_job(0, 2, job, 160));
    EXPECT_EQ(sent(0, 160), V(job, job + 160));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), 0x514F0000u);
    uint8_t res[10];
    ASSERT_TRUE(hub_cmd_read_result(0, 2, res, 8));
    EXPECT_EQ(sent(0, 2), (V{0x08, 2}));
    EXPECT_EQ(blk(0, HUB_SPI_LEN), 0x02000605u);
}

TEST_F(HubSpi, LengthsCheckedBeforeTheEngine) {
    uint8_t buf[300] = {};
    EXPECT_FALSE(hub_cmd_read_register(0, 1, buf, 13));   // odd
    EXPECT_FALSE(hub_cmd_read_register(0, 1, buf, 62));   // reply would not fit
    EXPECT_FALSE(hub_cmd_write_job(0, 1, buf, 254));      // frame would not fit
    EXPECT_FALSE(hub_cmd_write_register(9, 1, buf, 12));  // no such chain
    // The word count is 7 bits: a full byte of 0xFF still fills only the
    // transmit buffer and leaves the temperature registers after it alone.
    Xil_SPI_Out32(HUB_SPI_BLOCK(0) + HUB_SPI_TEMP_CFG, 0x123);
    memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(push_one_cmd(0, buf, 0xFF000000u, 1), 0);
    EXPECT_EQ(blk(0, HUB_SPI_TEMP_CFG), 0x123u);
    EXPECT_EQ(blk(0, HUB_SPI_TX + 248), 0xEEEEEEEEu);
    // A reply longer than the receive buffer is refused, not over-read.
    EXPECT_EQ(pop_one_rece(0, buf, 0x00004000u), 1);
}

TEST_F(HubSpi, JobsResultsAndAutomaticNonces) {
    uint8_t in[2] = {0, 0}, out[4];
    ASSERT_TRUE(hub_cmd_reset(0, 0, in, out));
    uint8_t res[10] = {};
    EXPECT_FALSE(hub_cmd_read_result(0, 0, res, 8));  // nothing queued: id 0, no log
    EXPECT_FALSE(log_contains("spi crc error"));
    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, 3, 0x11, 0x22};
    ASSERT_TRUE(hub_cmd_write_job(0, 3, job, 160));
    ASSERT_TRUE(hub_cmd_read_result(0, 3, res, 8));
    EXPECT_EQ(res[0] & 0xF, 0x8);
    EXPECT_EQ(res[1], 3);
    EXPECT_EQ(res[2], 0x11 ^ 3);

    EXPECT_FALSE(hub_cmd_read_nonce(0, res, 8));
    job[1] = 4;
    ASSERT_TRUE(hub_cmd_write_job(0, 4, job, 160));
    ASSERT_TRUE(hub_cmd_auto_nonce(0, 1, 8));
    EXPECT_EQ(blk(0, HUB_SPI_AUTO_INTERVAL), 255u);
    EXPECT_EQ(blk(0, HUB_SPI_LEN), 0x02000605u);
    EXPECT_EQ(blk(0, HUB_SPI_HDR), 0x0008u);
    ASSERT_TRUE(hub_cmd_read_nonce(0, res, 8));
    EXPECT_EQ(res[1], 4);
    EXPECT_FALSE(hub_cmd_read_nonce(0, res, 8));  // popped
    ASSERT_TRUE(hub_cmd_auto_nonce(0, 0, 8));
}

// Chip types 9 and 169 write jobs and read results word by word in the
// engine's manual mode; the reply is found by its first non-zero byte.
TEST_F(HubSpi, ManualModeJobsAndResults) {
    uint8_t in[2] = {0, 0}, out[4];
    ASSERT_TRUE(hub_cmd_reset(0, 0, in, out));
    g_chip_type = 169;
    testing::internal::CaptureStdout();
    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, 3, 0x11, 0x22};
    ASSERT_TRUE(hub_cmd_write_job(0, 3, job, 160));
    EXPECT_EQ(blk(0, HUB_SPI_CMD), uint32_t(HUB_CMD_MANUAL_PAD));
    EXPECT_EQ(blk(0, HUB_SPI_CTRL), 0x1Fu);
    uint8_t res[10] = {};
    ASSERT_TRUE(hub_cmd_read_result(0, 3, res, 8));
    EXPECT_EQ(res[0] & 0xF, 0x8);
    EXPECT_EQ(res[1], 3);
    EXPECT_EQ(res[2], 0x11 ^ 3);
    EXPECT_EQ(res[3], 0x22 ^ 3);
    // Nothing left: the chain answers [08, 00]; no header complaint.
    EXPECT_FALSE(hub_cmd_read_result(0, 3, res, 8));
    // A broadcast read finds the chip that holds a result.
    g_chip_type = 9;
    job[1] = 5;
    ASSERT_TRUE(hub_cmd_write_job(0, 5, job, 160));
    ASSERT_TRUE(hub_cmd_read_result(0, 0, res, 8));
    EXPECT_EQ(res[1], 5);
    // A slot without a board sends nothing back.
    EXPECT_FALSE(hub_cmd_read_result(1, 2, res, 8));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Get Wrong cmd08 header.\n");
    // Normal mode still works after the manual exchanges.
    g_chip_type = 0;
    EXPECT_EQ(hub_cmd_bist_start(0, 0), 80);
}

TEST_F(HubSpi, EmptySlotAndPowerOffFailWithEchoLine) {
    uint8_t in[2] = {0, 0}, out[4];
    EXPECT_FALSE(hub_cmd_reset(1, 0, in, out));  // no board in slot 1
    EXPECT_EQ(hub_cmd_bist_start(1, 0), -1);
    EXPECT_TRUE(log_contains("chain1: ERROR - spi recv data invalid: 01|00"));
    hub_set_power_en(2, 0);
    EXPECT_EQ(hub_cmd_bist_start(2, 0), -1);
    hub_set_power_en(2, 1);
    ASSERT_TRUE(hub_cmd_reset(2, 0, in, out));
    EXPECT_EQ(hub_cmd_bist_start(2, 0), 80);
}

TEST_F(HubSpi, ChainDisabledTimesOut) {
    Xil_SPI_Out32(HUB_SPI_CHAIN_EN, Xil_SPI_In32(HUB_SPI_CHAIN_EN) & ~1u);
    EXPECT_EQ(hub_cmd_bist_start(0, 0), -1);
    EXPECT_TRUE(log_contains("chain0: ERROR - failed to recv spi data"));
}

TEST_F(HubSpi, TemperatureSweep) {
    g_temp_hi_thr = 1;
    g_temp_lo_thr = 1000;
    g_dangerous_temp = 100;
    kmx_temp_s temps[8] = {};
    kmx_fan_temp_s ctl = {};
    ctl.kmx_temp = temps;
    g_chip_num = 80;
    // Emulated sensors: chip i reads 600 + i - 1. The summary lines are
    // the mining program's level 2.
    const int level = g_log_level;
    g_log_level = 2;
    EXPECT_TRUE(hub_cmd_get_temp(&ctl, 0));
    g_log_level = level;
    EXPECT_EQ(temps[0].temp_highest[0], 600);
    EXPECT_EQ(temps[0].temp_lowest[0], 679);
    EXPECT_EQ(temps[0].final_temp_avg, 639);
    EXPECT_EQ(blk(0, HUB_SPI_TEMP_CFG) & 0x1000u, 0u);
    EXPECT_FALSE(hub_cmd_get_temp(&ctl, 1));  // empty slot
    EXPECT_FALSE(hub_cmd_get_temp(nullptr, 0));
    EXPECT_TRUE(log_has_part("chain 0,Hi: 600,601,602\n"));
    EXPECT_TRUE(log_has_part("chain 0,lo: 679,678,677\n"));
    EXPECT_TRUE(log_has_part("chain 0,avg: 639\n"));
    // Codes on the thresholds count; past them they read 0.
    g_temp_hi_thr = 600;
    g_temp_lo_thr = 679;
    EXPECT_TRUE(hub_cmd_get_temp(&ctl, 0));
    EXPECT_EQ(temps[0].temp_highest[0], 600);
    EXPECT_EQ(temps[0].temp_lowest[0], 679);
    g_temp_hi_thr = 601;
    g_temp_lo_thr = 678;
    EXPECT_TRUE(hub_cmd_get_temp(&ctl, 0));
    EXPECT_EQ(temps[0].temp_highest[0], 0);
    EXPECT_EQ(temps[0].temp_highest[1], 601);
    EXPECT_EQ(temps[0].temp_lowest[0], 0);
    EXPECT_EQ(temps[0].temp_lowest[1], 678);
    g_chip_num = 0;
    EXPECT_TRUE(hub_cmd_get_temp(&ctl, 0));
    EXPECT_EQ(temps[0].final_temp_avg, 0);
}

// A code equal to the danger code is not yet danger: the sweep returns.
// In a child, since a shutdown would never return.
TEST_F(HubSpi, TheDangerCodeItselfIsNotDanger) {
    g_temp_hi_thr = 1;
    g_temp_lo_thr = 1000;
    g_dangerous_temp = 600;  // the hottest emulated chip reads 600
    g_chip_num = 80;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        kmx_temp_s temps[8] = {};
        kmx_fan_temp_s ctl = {};
        ctl.kmx_temp = temps;
        _exit(hub_cmd_get_temp(&ctl, 0) && temps[0].temp_highest[0] == 600 ? 0 : 4);
    }
    // A minute of the host's time: a loaded host may take seconds.
    int status = -1;
    for (int i = 0; i < 6000 && waitpid(pid, &status, WNOHANG) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the sweep did not return: a shutdown";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A chain past the danger code is switched off for good, its I2C supply
// output first. The shutdown never returns, so it runs in a child.
TEST_F(HubSpi, DangerShutdownSwitchesTheSupplyOff) {
    set_psu("{}");
    g_vid_type = 7;  // supplied over I2C
    g_vin_sync = 0;
    g_temp_hi_thr = 1;
    g_temp_lo_thr = 1000;
    g_dangerous_temp = 650;  // the emulated chips read 600 and up: hotter
    g_chip_num = 80;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        kmx_temp_s temps[8] = {};
        kmx_fan_temp_s ctl = {};
        ctl.kmx_temp = temps;
        hub_cmd_get_temp(&ctl, 0);
        _exit(3);  // not reached: the shutdown keeps blinking
    }
    bool off = false;
    for (int i = 0; i < 6000 && !off; i++) {  // a minute at most, however loaded the host
        for (const std::string &l : sim_lines("psu.log"))
            if (l.rfind("W 00 AB 00 85 00 02 01 ", 0) == 0 && l.substr(23, 2) != "01") off = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);  // still in its blink loop
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    std::string seen;
    for (const std::string &l : sim_lines("psu.log")) seen += l + "\n";
    EXPECT_TRUE(off) << seen;
    g_vid_type = 0;
}

TEST_F(HubSpi, TwoChainThreadsAtOnce) {
    auto run = [](uint8_t c, bool *ok) {
        uint8_t reg[12], back[12];
        *ok = true;
        for (int i = 0; i < 200; i++) {
            // Byte 0 below 0x80: not a PLL setting, so the image reads back
            // whole; byte 11 is the chip's good cores (32).
            for (int k = 0; k < 11; k++) reg[k] = uint8_t((c * 16 + i + k) & 0x7F);
            reg[11] = 32;
            if (!hub_cmd_write_register(c, 1, reg, 12) || !hub_cmd_read_register(c, 1, back, 12) ||
                memcmp(reg, back, 12) != 0)
                *ok = false;
        }
    };
    bool ok0 = false, ok2 = false;
    std::thread a(run, 0, &ok0), b(run, 2, &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok0);
    EXPECT_TRUE(ok2);
}

// The library's exit unmaps the hub windows while the fan loop or a chain
// thread may still be reading a register. Such a read finishes on the old
// window or reads 0, never freed memory (the sanitizer run catches that),
// and a new start maps the windows again.
TEST_F(HubSpi, UnmappingWaitsForTheReadsInFlight) {
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            (void)Xil_Peripheral_In32(HUB_CHAIN_LINES);
            (void)Xil_SPI_In32(HUB_SPI_BLOCK(0));
            reads++;
        }
    });
    for (int i = 0; i < 300; i++) {
        hub_deinit();
        EXPECT_FALSE(hub_windows_mapped(0));
        EXPECT_EQ(Xil_Peripheral_In32(HUB_CHAIN_LINES), 0u);
        hub_init();
        ASSERT_TRUE(hub_windows_mapped(0));
    }
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
