// The direct-SPI back-end against the emulated chains behind emulated spidev
// nodes: boards in slots 0 and 2 (4 and 3 chips), commands through the front
// functions, the bytes on the wire, the reply search and refused replies.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <linux/spi/spidev.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "drv/kmx_chip_frame_internal.h"
#include "hub/kmx_vid.h"
#include "module/kmx_ops_internal.h"
#include "os/os.h"
#include "os/spi.h"
#include "platform/kmx_platform.h"
#include "sim/devices/spidev.h"
#include "support/log_capture.h"
#include "support/wire_text.h"
#include "support/sim_files.h"
#include "zynq/spi_cmd.h"
#include "zynq/zynq_spi.h"

namespace {

using sim::SpiFault;

std::string last_frame(int slot) {
    auto f = sim::spidev_frames(slot);
    return f.empty() ? "" : hex_bytes(f.back());
}

std::string rate() {
    std::string s;
    kos::read_file(kos::board_sysfs_path(ZYNQ_FCLK_RATE_FILE).c_str(), s);
    return s;
}

class DirectSpi : public testing::Test {
protected:
    static void SetUpTestSuite() {
        g_platform = ZYNQ_SPI_B3;
        g_chain_num = 2;
        g_chain_id[0] = 0;
        g_chain_id[1] = 2;
        g_chip_num = 4;
        init_kmx_cmd();
    }
    void SetUp() override {
        g_chip_num = 4;
        sim::spidev_clear_records();
        for (int slot : {0, 2}) sim::spidev_set_idle(slot, 2);
        log_capture_clear();
    }
};

TEST_F(DirectSpi, FramesOnTheWire) {
    // Write register: 12 data bytes and the CRC over the pair-swapped frame.
    uint8_t reg[12] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x3E, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_TRUE(kmx_cmd_write_register(0, 1, reg, 12));
    EXPECT_EQ(last_frame(0), "09 01 00 00 00 00 00 3E 02 00 00 00 00 00 51 4D");
    // Only 09 and 0D carry a CRC; the rest go out padded to an even count.
    const uint8_t three[3] = {1, 2, 3};
    ASSERT_TRUE(spi_send_command(&s_spi[0], 0x05, 2, three, 3));
    EXPECT_EQ(last_frame(0), "05 02 01 02 03 00");
    uint8_t in[2] = {0x20, 0x20}, out[4];
    ASSERT_TRUE(kmx_cmd_reset(0, 0, in, out));
    EXPECT_EQ(last_frame(0), "04 00 20 20");
    uint8_t r[12];
    ASSERT_TRUE(kmx_cmd_read_register(0, 1, r, 12));
    EXPECT_EQ(last_frame(0), "0A 01");
    // The chips' read-register reply is checked the same way.
    const uint8_t reply[16] = {0x1A, 0x01, 0x02, 0x50, 0xA0, 0x06, 0x28, 0x00,
                               0x03, 0x01, 0xB6, 0x00, 0x00, 0x2A, 0x6F, 0x4D};
    EXPECT_TRUE(chip_frame_crc_ok(reply, 14));
}

TEST_F(DirectSpi, EachChainAnswersOnItsSlotsDevice) {
    uint8_t in[2] = {0, 0}, out[4] = {};
    ASSERT_TRUE(kmx_cmd_reset(0, 0, in, out));
    EXPECT_EQ(hex_bytes({out, out + 4}), "04 04 00 00");  // the last chip answers a broadcast
    ASSERT_TRUE(kmx_cmd_reset(2, 0, in, out));
    EXPECT_EQ(hex_bytes({out, out + 4}), "04 03 00 00");
    EXPECT_EQ(kmx_cmd_bist_start(0, 0), 4);
    EXPECT_EQ(kmx_cmd_bist_start(2, 0), 3);
    EXPECT_TRUE(kmx_cmd_bist_collect(2, 0));
    EXPECT_TRUE(kmx_cmd_bist_fix(2, 0));
    // Registers written to one chip read back from it, on the other chain
    // too (byte 11, the chip's good cores, stays its own: 32).
    uint8_t reg[12] = {0x02, 0x50, 0xA0, 0x06, 0x28, 0x00, 0x03, 0x01, 0xB6, 0x00, 0x2A, 0x20}, got[12] = {};
    ASSERT_TRUE(kmx_cmd_write_register(2, 3, reg, 12));
    ASSERT_TRUE(kmx_cmd_read_register(2, 3, got, 12));
    EXPECT_EQ(0, memcmp(reg, got, 12));
    uint8_t in0d[12] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2}, out0d[12] = {};
    ASSERT_TRUE(kmx_cmd_read_write_reg0d(2, 2, in0d, 12, out0d));
    EXPECT_EQ(0, memcmp(in0d, out0d, 12));
    // Slot 1 holds no board and was never opened: the command fails and
    // nothing goes to any descriptor.
    EXPECT_EQ(kmx_cmd_bist_start(1, 0), -1);
    EXPECT_TRUE(log_contains("spi_cmd_bist_start: chain 1 has no open spi device\n"));
    EXPECT_TRUE(sim::spidev_frames(1).empty());
}

TEST_F(DirectSpi, ReadResultSkipsChipZeroAndKeepsTheHeader) {
    uint8_t job[12] = {0x07, 0x02, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19};
    ASSERT_TRUE(kmx_cmd_write_job(0, 2, job, 12));
    EXPECT_EQ(last_frame(0), hex_bytes({job, job + 12}));  // sent unchanged
    sim::spidev_inject(0, SpiFault::Decoy);          // [08 00] comes first
    uint8_t res[10] = {};
    ASSERT_TRUE(kmx_cmd_read_result(0, 0, res, 8));
    EXPECT_EQ(hex_bytes({res, res + 10}), "18 02 12 13 10 11 16 17 14 15");
    // Nothing queued: the chips answer with chip id 0, which is no result.
    log_capture_clear();
    EXPECT_FALSE(kmx_cmd_read_result(0, 0, res, 8));
    EXPECT_FALSE(log_contains("poll fail"));
}

TEST_F(DirectSpi, ReadRegisterWantsTheWhole1AHeader) {
    uint8_t r[12] = {};
    sim::spidev_inject(0, SpiFault::Decoy);  // [0A 00]: skipped, the search goes on
    EXPECT_TRUE(kmx_cmd_read_register(0, 1, r, 12));
    sim::spidev_inject(0, SpiFault::WrongHeader);  // 1B: never accepted
    EXPECT_FALSE(kmx_cmd_read_register(0, 1, r, 12));
    EXPECT_TRUE(log_contains("spi_cmd_read_register poll fail !\n"));
}

TEST_F(DirectSpi, CorruptedRepliesAreRefusedAndLeaveTheBufferAlone) {
    uint8_t r[12];
    memset(r, 0xEE, sizeof r);
    sim::spidev_inject(0, SpiFault::BadCrc);
    EXPECT_FALSE(kmx_cmd_read_register(0, 1, r, 12));
    EXPECT_TRUE(log_contains("spi_cmd_read_register crc error !\n"));
    uint8_t in[12] = {1}, out[12];
    memset(out, 0xEE, sizeof out);
    sim::spidev_inject(0, SpiFault::BadCrc);
    EXPECT_FALSE(kmx_cmd_read_write_reg0d(0, 1, in, 12, out));
    EXPECT_TRUE(log_contains("spi_cmd_read_write_reg0d crc error !\n"));
    for (int i = 0; i < 12; i++) {
        EXPECT_EQ(r[i], 0xEE);
        EXPECT_EQ(out[i], 0xEE);
    }
    uint8_t job[12] = {0x07, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, res[10];
    memset(res, 0xEE, sizeof res);
    ASSERT_TRUE(kmx_cmd_write_job(0, 1, job, 12));
    sim::spidev_inject(0, SpiFault::BadCrc);
    EXPECT_FALSE(kmx_cmd_read_result(0, 1, res, 8));
    EXPECT_EQ(res[0], 0xEE);
    // A reply that never comes.
    log_capture_clear();
    sim::spidev_inject(0, SpiFault::NoReply);
    EXPECT_EQ(kmx_cmd_bist_start(0, 0), -1);
    EXPECT_TRUE(log_contains("spi_cmd_bist_start poll fail !\n"));
    EXPECT_TRUE(log_has_part(": poll fail !\n"));
}

TEST_F(DirectSpi, TheSearchStopsAtFourBytesPerChip) {
    g_chip_num = 2;  // 8 bytes: the header may be the fourth word
    // Chips without ids, so the BIST start has chips to count.
    uint8_t in[2] = {0, 0}, out[4] = {};
    ASSERT_TRUE(kmx_cmd_reset(0, 0, in, out));
    sim::spidev_set_idle(0, 3);
    EXPECT_EQ(kmx_cmd_bist_start(0, 0), 4);
    sim::spidev_set_idle(0, 4);
    EXPECT_EQ(kmx_cmd_bist_start(0, 0), -1);
    g_chip_num = 0;
    sim::spidev_clear_records();
    EXPECT_EQ(kmx_cmd_bist_start(0, 0), -1);
    EXPECT_EQ(sim::spidev_reads(0), 0);
}

TEST_F(DirectSpi, LengthsThatDoNotFitAreRefused) {
    static uint8_t big[4096];
    EXPECT_FALSE(kmx_cmd_write_register(0, 1, big, 13));
    EXPECT_FALSE(kmx_cmd_write_register(0, 1, big, SPI_CMD_MAX_DATA + 2));
    EXPECT_FALSE(kmx_cmd_read_register(0, 1, big, 2600));
    EXPECT_FALSE(kmx_cmd_read_result(0, 1, big, SPI_CMD_MAX_DATA + 2));
    EXPECT_FALSE(kmx_cmd_write_job(0, 1, big, 3000));
    EXPECT_FALSE(spi_send_command(&s_spi[0], 0x05, 1, big, 2559));
    EXPECT_TRUE(sim::spidev_frames(0).empty());
}

TEST_F(DirectSpi, SpeedAndDeviceSetUp) {
    exit_kmx_cmd();
    EXPECT_EQ(s_spi[0].fd, -1);
    sim::spidev_clear_records();
    init_kmx_cmd();
    EXPECT_EQ(rate(), "24000000");
    const std::vector<unsigned long> once = {SPI_IOC_WR_MODE,          SPI_IOC_RD_MODE,         SPI_IOC_WR_BITS_PER_WORD,
                                             SPI_IOC_RD_BITS_PER_WORD, SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ};
    std::vector<unsigned long> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(sim::spidev_ioctls(), twice);
    EXPECT_TRUE(log_contains("SPI '/dev/spidev2.0': mode=1, bits=8, speed=1500000 \n"));
    ASSERT_TRUE(kmx_set_spi_speed(2, 2));
    EXPECT_EQ(rate(), "25000000");
    ASSERT_TRUE(kmx_set_spi_speed(0, 6));  // no such entry: the clock stays
    EXPECT_EQ(rate(), "25000000");
}

TEST_F(DirectSpi, NullBuffersEndTheProcess) {
    EXPECT_EXIT(kmx_cmd_read_register(0, 1, nullptr, 12), testing::ExitedWithCode(0),
                "spi_cmd_read_register para error !");
    uint8_t out[4];
    EXPECT_EXIT(kmx_cmd_reset(0, 1, nullptr, out), testing::ExitedWithCode(0), "spi_cmd_reset para error !");
    EXPECT_EXIT(spi_send_command(&s_spi[0], 0x05, 1, nullptr, 2), testing::ExitedWithCode(0), ": para error !");
}

TEST_F(DirectSpi, DeviceErrorsEndTheProcess) {
    EXPECT_EXIT(
        {
            sim::spidev_fail_io(1);
            kmx_cmd_bist_start(0, 0);
        },
        testing::ExitedWithCode(0), "zynq_spi.cpp,[0-9]+: Input/output error");
}

TEST_F(DirectSpi, FabricClockExportedOnlyWhenMissing) {
    // The machine started without the rate file: the first set-up exported
    // the clock; later ones find the rate file and leave the export alone.
    EXPECT_EQ(sim_lines("fclk.log"), std::vector<std::string>{"export fclk1"});
    ZYNQ_SPI_T h{-1, PTHREAD_MUTEX_INITIALIZER};
    zynq_spi_init(&h, 0);
    zynq_spi_exit(&h);
    EXPECT_EQ(sim_lines("fclk.log").size(), 1u);
    unlink(kos::board_sysfs_path(ZYNQ_FCLK_RATE_FILE).c_str());
    zynq_spi_init(&h, 0);
    zynq_spi_exit(&h);
    EXPECT_EQ(sim_lines("fclk.log").size(), 2u);
    EXPECT_EQ(rate(), "24000000");
}

// The B3 control board's VID generator has one output for every chain: a
// VID set for one chain reaches each board's regulator.
TEST_F(DirectSpi, VidGeneratorOutputServesEveryChain) {
    ASSERT_EQ(g_platform, ZYNQ_SPI_B3);
    EXPECT_TRUE(spi_set_vid(2, 0x20));
    EXPECT_EQ(sim_regulator(0), "vid 32");
    EXPECT_EQ(sim_regulator(2), "vid 32");
}

}  // namespace
