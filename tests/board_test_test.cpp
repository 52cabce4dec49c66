// Pieces of the board self-test that need no fixture: the test job vectors
// with their CRC, and the result file's record formats.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "drv/hub.h"
#include "drv/hub_spi.h"
#include "drv/kmx_chip_frame_internal.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_board_test.h"
#include "platform/kmx_platform.h"
#include "support/conf_holder.h"
#include "support/fake_shell.h"
#include "support/lock_wait.h"

namespace {

std::string slurp(const char *path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(BoardTestVectors, CrcBytesOfTheThreeJobs) {
    const uint8_t want[3][2] = {{0x31, 0x9E}, {0x4A, 0x61}, {0x5A, 0x3B}};
    for (int v = 0; v < 3; v++) {
        uint8_t job[BT_JOB_LEN];
        memcpy(job, board_test::job_vector(v), sizeof job);
        EXPECT_EQ(job[0], 0x17);
        EXPECT_EQ(job[1], 0x0A);
        chip_frame_seal(job, BT_JOB_LEN - 2);
        EXPECT_EQ(job[158], want[v][0]) << v;
        EXPECT_EQ(job[159], want[v][1]) << v;
    }
    const uint8_t *r = board_test::job_vector(2);
    EXPECT_EQ(r[2], 0xCC);
    EXPECT_EQ(r[141], 0x15);  // last byte of the random run
    EXPECT_EQ(r[148], 0x01);
    EXPECT_EQ(r[153], 0xFF);
    EXPECT_EQ(r[154], 0x00);
}

// The network check rewrites the network file under the settings lock:
// while another program holds it, the check waits before its first ping.
TEST(NetworkInterfaceTest, WaitsForAnotherProgramsLock) {
    ASSERT_EQ(0, system("mkdir -p /config/network"));
    fake_shell().reset();
    for (const char *cmd : {"ping", "systemctl", "sync"}) fake_shell().answer(cmd, "");
    auto pinged = [] {
        for (const std::string &c : fake_shell().commands())
            if (c == "ping -c 1 192.168.1.88") return true;
        return false;
    };
    ConfHolder other("/config/network/25-wired.network", "[Match]\nName=eth1\n");
    ASSERT_TRUE(other.held());
    int st = -1;
    LockWaiter check([&st] { st = network_interface_test(); });
    EXPECT_TRUE(check.reached_lock());
    EXPECT_FALSE(pinged());
    EXPECT_EQ(other.release(), 0);
    check.join();
    EXPECT_EQ(st, 0);
    EXPECT_TRUE(pinged());
}

TEST(BoardTestLog, RecordFormats) {
    unlink(BOARD_TEST_LOG);
    board_test_log("SPI_PLUG", 0, "3", BT_SPI_PLUG);
    board_test_log("PWM", 1, nullptr, 0);
    board_test_log(nullptr, 1, nullptr, BT_PASS);
    EXPECT_EQ(slurp(BOARD_TEST_LOG), "SPI_PLUG=0\nERRCODE=0x5AA50010\nMSG=3\nPWM=1\nERRCODE=0x5AA5A55A\n");
}

// The FPGA hub's window folds the hub-wide addresses onto chain blocks:
// the register test would write live registers there, so it does nothing,
// and says so instead of passing.
TEST(HubRegisterTest, NotRunOnTheFpgaHub) {
    unlink(BOARD_TEST_LOG);
    g_platform = ZYNQ_HUB_B13;
    hub_init();
    Xil_SPI_Out32(HUB_SPI_BLOCK(0) + HUB_SPI_CFG, 0x12345678);
    int ids[3] = {0, 2, 5};
    EXPECT_EQ(spi_hub_register_test(ids, 3), 1);
    EXPECT_EQ(Xil_SPI_In32(HUB_SPI_BLOCK(0) + HUB_SPI_CFG), 0x12345678u);
    EXPECT_EQ(access(BOARD_TEST_LOG, F_OK), -1);
    hub_deinit();
}

}  // namespace
