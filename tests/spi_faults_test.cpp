// The hub's SPI engine when it is slow, stuck or cut short: every wait's
// budget is held at its boundary (one status read less passes, the budget
// itself fails) and each time-out gives its line. The engine is made slow
// through the machine's control file, as a test bench would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "drv/hub.h"
#include "drv/hub_cmd.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/log_capture.h"
#include "support/pause_log.h"

namespace {

void set_faults(const std::string &text) {
    ASSERT_TRUE(kos::write_file_atomic((kos::sim_dir() + "/spi_faults").c_str(), text));
}

long count_of(const std::vector<uint64_t> &pauses, uint64_t us) { return std::count(pauses.begin(), pauses.end(), us); }

uint32_t status0() { return Xil_SPI_In32(HUB_SPI_BLOCK(0) + HUB_SPI_STATUS); }

class SpiFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_platform = ZYNQ_HUB_B13;
        hub_init();
        init_kmx_gpio();
    }
    void SetUp() override {
        set_faults("");
        hub_set_power_en(0, 1);
        hub_set_reset(0, 1);
        hub_spi_init(0, 80);
        g_chip_type = 0;
        uint8_t in[2] = {0, 0}, out[4];
        ASSERT_TRUE(hub_cmd_reset(0, 0, in, out));
        log_capture_clear();
    }
    void TearDown() override { set_faults(""); }
    static bool read_reg() {
        uint8_t back[12] = {};
        return hub_cmd_read_register(0, 7, back, 12);
    }
};

// The reply wait polls t / 100 + 2 times: 502 for its 50000 us.
TEST_F(SpiFaults, ReplyWaitBudget) {
    set_faults("0 busy 501 0x03000000\n");
    EXPECT_TRUE(read_reg());
    set_faults("0 busy 502 0x03000000\n");
    pause_log::start();
    EXPECT_FALSE(read_reg());
    EXPECT_EQ(count_of(pause_log::stop(), 40), 502);  // the polls are 40 us apart
    EXPECT_TRUE(log_contains("chain0: ERROR - failed to recv spi data"));
    EXPECT_FALSE(log_has_part("failed to send spi cmd"));
}

// An engine that never goes idle: the push gives up after its 10000 us
// idle budget with the time-out line, and the command fails.
TEST_F(SpiFaults, EngineStuckBusy) {
    set_faults("0 busy forever 0x40\n");
    pause_log::start();
    EXPECT_FALSE(read_reg());
    EXPECT_EQ(count_of(pause_log::stop(), 20), 500);  // 10000 us in 20 us steps
    EXPECT_TRUE(log_has_part("Wait SPI(0) idle timeout! time=10000 us, status=      40 "));
    EXPECT_TRUE(log_contains("chain0: ERROR - failed to send spi cmd"));
    // The transmit buffer never empties: no idle line, the push still fails.
    log_capture_clear();
    set_faults("0 busy forever\n");
    EXPECT_FALSE(read_reg());
    EXPECT_TRUE(log_contains("chain0: ERROR - failed to send spi cmd"));
    EXPECT_FALSE(log_has_part("idle timeout"));
    set_faults("");
    EXPECT_TRUE(read_reg());
}

// Before a push: 1000 polls for an empty transmit buffer, then 500 for idle.
TEST_F(SpiFaults, PushWaitBudgets) {
    const uint8_t frame[2] = {0x01, 0x00};
    set_faults("0 busy 999 0x01000000\n");
    ASSERT_EQ(push_one_cmd(0, frame, 0x01000000u, 0), 0);
    EXPECT_EQ(push_one_cmd(0, frame, 0x01000000u, 0), 0);
    set_faults("0 busy 1000 0x01000000\n");
    ASSERT_EQ(push_one_cmd(0, frame, 0x01000000u, 0), 0);
    EXPECT_EQ(push_one_cmd(0, frame, 0x01000000u, 0), 1);
    EXPECT_FALSE(log_has_part("idle timeout"));
    // PHY busy only: the buffer wait reads once, the idle wait 500 times.
    set_faults("0 busy 500 0x40\n");
    ASSERT_EQ(push_one_cmd(0, frame, 0x01000000u, 0), 0);
    EXPECT_EQ(push_one_cmd(0, frame, 0x01000000u, 0), 0);
    set_faults("0 busy 501 0x40\n");
    ASSERT_EQ(push_one_cmd(0, frame, 0x01000000u, 0), 0);
    EXPECT_EQ(push_one_cmd(0, frame, 0x01000000u, 0), 1);
    EXPECT_TRUE(log_has_part("Wait SPI(0) idle timeout! time=10000 us, status=      40 "));
}

// A split send waits 1000 polls for "command done".
TEST_F(SpiFaults, SplitSendDoneBudget) {
    const uint8_t frame[2] = {0x01, 0x00};
    set_faults("0 busy 999\n");
    EXPECT_EQ(send_one_cmd_split(0, frame, 0x01000000u, 1, 0), 0);
    EXPECT_FALSE(log_has_part("cmd done timeout"));
    set_faults("0 busy 1000\n");
    EXPECT_EQ(send_one_cmd_split(0, frame, 0x01000000u, 1, 0), 1);
    EXPECT_TRUE(log_has_part("SPI polling cmd done timeout! i=1000 "));
}

// Manual mode waits 10000 polls for the PHY after each word.
TEST_F(SpiFaults, ManualWordPhyBudget) {
    const uint8_t frame[2] = {0x01, 0x00};
    uint8_t rx[2];
    set_faults("0 busy 9999 0x40\n");
    EXPECT_EQ(send_spi_header(0, frame, rx, 0x01000000u), 0);
    set_faults("0 busy 10000 0x40\n");
    EXPECT_NE(send_spi_header(0, frame, rx, 0x01000000u), 0);
    EXPECT_TRUE(log_has_part("Wait SPI status clear timeout! i=10000 status="));
}

// A reply one word short of what the length word asks is never ready. A
// 12-byte register read expects 8 words: code and id, 12 bytes, CRC.
TEST_F(SpiFaults, ShortReplyFails) {
    set_faults("0 short 8\n");
    EXPECT_TRUE(read_reg());
    set_faults("0 short 7\n");
    EXPECT_FALSE(read_reg());
    EXPECT_TRUE(log_contains("chain0: ERROR - failed to recv spi data"));
}

// A command is the last frame of its batch (0xA5) and completes; job frames
// go as "more follow" (0xB5), which leaves the batch open, until the last.
TEST_F(SpiFaults, PushCodesToldApart) {
    remove((kos::sim_dir() + "/spi_push.log").c_str());
    set_faults("0 record\n");
    ASSERT_TRUE(read_reg());
    const uint8_t frame[4] = {0x07, 0x01, 0, 0};
    uint8_t rx[4];
    ASSERT_EQ(send_job_queue(0, frame, rx, 0x02000000u, 0), 0);
    EXPECT_EQ(status0() & 0x1u, 0u);
    ASSERT_EQ(send_job_queue(0, frame, rx, 0x02000000u, 1), 0);
    std::string log;
    ASSERT_TRUE(kos::read_file((kos::sim_dir() + "/spi_push.log").c_str(), log));
    EXPECT_EQ(log, "chain 0 push 0xA5 words 2\nchain 0 push 0xB5 words 2\nchain 0 push 0xA5 words 2\n");
}

}  // namespace
