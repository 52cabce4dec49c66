#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>
#include <vector>

#include "hub/kmx_vid.h"
#include "misc/kmx_errcode.h"
#include "module/kmx_ops.h"
#include "module/kmx_ops_internal.h"
#include "module/kmx_wd.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> g_calls;
int g_vid_failures = 0;

bool rec_power_down(uint8_t c) {
    g_calls.push_back("down " + std::to_string(c));
    return true;
}
bool rec_power_down_all() {
    g_calls.push_back("down_all");
    return true;
}
bool rec_reset(uint8_t c, uint8_t chip, uint8_t *in, uint8_t *) {
    char b[64];
    snprintf(b, sizeof b, "reset %d %d %02X %02X", c, chip, in[0], in[1]);
    g_calls.push_back(b);
    return true;
}
bool rec_reset_hub(uint8_t) { return true; }
void rec_power_en(uint8_t c, int v) { g_calls.push_back("power_en " + std::to_string(c) + " " + std::to_string(v)); }
bool rec_set_vid(uint8_t c, int vid) {
    g_calls.push_back("vid " + std::to_string(c) + " " + std::to_string(vid));
    if (g_vid_failures > 0) {
        g_vid_failures--;
        return false;
    }
    return true;
}
bool always_fail_vid(uint8_t c, int vid) {
    g_calls.push_back("vid " + std::to_string(c) + " " + std::to_string(vid));
    return false;
}

// Platform 4's tables with recording slots in place of the ones a caller
// can override; the slots that cannot be overridden are set through a
// re-init of the table.
class OpsTest : public testing::Test {
protected:
    void SetUp() override {
        g_platform = ZYNQ_HUB_B13;
        g_chip_type = 0;
        g_vin_sync = 0;
        g_cgminer_pid = 0;
        g_chain_num = 2;
        g_chain_id[0] = 1;
        g_chain_id[1] = 4;
        g_calls.clear();
        g_vid_failures = 0;
        log_capture_clear();
    }
};

TEST_F(OpsTest, EmptySlotsEndTheProcessWithTheirName) {
    g_platform = ZYNQ_SPI_B3;
    init_kmx_gpio();
    init_kmx_cmd();
    init_kmx_pwm();
    init_kmx_chain();
    EXPECT_EXIT(kmx_get_button(), testing::ExitedWithCode(0), "kmx_get_button not register !");
    EXPECT_EXIT(kmx_set_green_led(1), testing::ExitedWithCode(0), "kmx_set_green_led not register !");
    EXPECT_EXIT(kmx_set_red_led(1), testing::ExitedWithCode(0), "kmx_set_red_led not register !");
    EXPECT_EXIT(kmx_cmd_get_temp(nullptr), testing::ExitedWithCode(0), "kmx_cmd_get_temp not register !");
    EXPECT_EXIT(kmx_cmd_clean_spi_hub(0), testing::ExitedWithCode(0), "kmx_cmd_clean_spi_hub not register !");
    EXPECT_EXIT(kmx_cmd_auto_nonce(0, 1, 4), testing::ExitedWithCode(0), "kmx_cmd_auto_nonce not register !");
    EXPECT_EXIT(kmx_cmd_read_nonce(0, nullptr, 4), testing::ExitedWithCode(0), "kmx_cmd_read_nonce not register !");
}

TEST_F(OpsTest, GetTempIsNeverRegistered) {
    init_kmx_cmd();
    EXPECT_EXIT(kmx_cmd_get_temp(nullptr), testing::ExitedWithCode(0), "kmx_cmd_get_temp not register !");
}

TEST_F(OpsTest, RecordParamsWithoutSlotOnlyLogs) {
    g_platform = SOC;
    init_kmx_chain();
    EXPECT_FALSE(kmx_record_params());
    EXPECT_TRUE(log_contains("kmx_record_params not register !\n"));
}

TEST_F(OpsTest, EmptyPowerDownSlotSendsNothingBeforeExiting) {
    int fd = open("/bin/watchdog", O_CREAT | O_WRONLY, 0755);
    ASSERT_GE(fd, 0);
    close(fd);
    memset(kops::chain_table(), 0, sizeof *kops::chain_table());  // no power-down slot
    EXPECT_EXIT(
        {
            g_cgminer_pid = getpid();
            kmx_wd_client_init();
            kmx_chain_power_down(3);
        },
        testing::ExitedWithCode(0), "kmx_chain_power_down not register !");
    int q = msgget(kmx_wd_get_msq_key(), 0);
    ASSERT_GE(q, 0);
    struct {
        long mtype;
        char body[64];
    } msg;
    EXPECT_LT(msgrcv(q, &msg, sizeof msg.body, 0, IPC_NOWAIT), 0);
}

TEST_F(OpsTest, RegisterCopiesOnlyNamedNonNullSlots) {
    init_kmx_cmd();
    KMX_CMD_T cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.cmd_reset = rec_reset;
    cmd.cmd_reset_hub = rec_reset_hub;  // not overridable
    register_kmx_cmd(&cmd);
    register_kmx_cmd(nullptr);
    uint8_t out[8];
    EXPECT_TRUE(kmx_cmd_resetall(2, 0, out));
    EXPECT_TRUE(kmx_cmd_resetjob(2, 3, out));
    EXPECT_TRUE(kmx_cmd_resetbist(2, 0, out));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"reset 2 0 00 00", "reset 2 3 BD BD", "reset 2 0 20 20"}));
    EXPECT_EXIT(kmx_cmd_get_temp(nullptr), testing::ExitedWithCode(0), "kmx_cmd_get_temp not register !");

    KMX_GPIO_T gpio;
    memset(&gpio, 0, sizeof gpio);
    gpio.set_power_en = rec_power_en;
    gpio.set_vid = rec_set_vid;  // never overridden
    register_kmx_gpio(&gpio);
    kmx_set_power_en(3, 1);
    kmx_set_power_en(9, 1);  // not a slot: refused
    EXPECT_EQ(g_calls.back(), "power_en 3 1");
    EXPECT_EQ(g_calls.size(), 4u);

    // A re-init drops what was registered.
    init_kmx_cmd();
    kmx_cmd_reset(0, 0, out, out);  // the hub's own again, not the recorder
    EXPECT_EQ(g_calls.size(), 4u);
}

TEST_F(OpsTest, PowerDownInMiningProcessClearsAliveAndReportsEachChain) {
    // The stand-in watchdog path must exist for the queue key.
    int fd = open("/bin/watchdog", O_CREAT | O_WRONLY, 0755);
    ASSERT_GE(fd, 0);
    close(fd);
    KMX_CHAIN_T chain;
    memset(&chain, 0, sizeof chain);
    chain.power_down = rec_power_down;
    chain.power_down_all = rec_power_down_all;
    init_kmx_chain();
    register_kmx_chain(&chain);

    // Outside the mining process: no message, alive untouched.
    g_chain_alive[3] = 1;
    EXPECT_TRUE(kmx_chain_power_down(3));
    EXPECT_EQ(g_chain_alive[3], 1);

    g_cgminer_pid = getpid();
    kmx_wd_client_init();
    int q = msgget(kmx_wd_get_msq_key(), 0);
    ASSERT_GE(q, 0);
    g_chain_alive[1] = g_chain_alive[3] = g_chain_alive[4] = 1;
    EXPECT_TRUE(kmx_chain_power_down(3));
    EXPECT_TRUE(kmx_chain_power_down_all());
    EXPECT_EQ(g_chain_alive[1] + g_chain_alive[3] + g_chain_alive[4], 0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"down 3", "down 3", "down_all"}));

    struct {
        long mtype;
        unsigned char body[64];
    } msg;
    const int expect_chain[] = {3, 1, 4};
    for (int want : expect_chain) {
        ssize_t n = msgrcv(q, &msg, sizeof msg.body, 0, IPC_NOWAIT);
        ASSERT_EQ(n, 24);
        EXPECT_EQ(msg.mtype, 258);
        int chain_id;
        memcpy(&chain_id, msg.body, 4);
        EXPECT_EQ(chain_id, want);
        for (int i = 8; i < 24; i++) EXPECT_EQ(msg.body[i], 0) << i;
    }
    EXPECT_LT(msgrcv(q, &msg, sizeof msg.body, 0, IPC_NOWAIT), 0);
}

class VidTest : public OpsTest {
protected:
    void SetUp() override {
        OpsTest::SetUp();
        init_kmx_gpio();  // hub GPIO on platform 4; the VID slot is then replaced
        install(rec_set_vid);
    }
    static void install(bool (*fn)(uint8_t, int));
};

// set_vid cannot be registered from outside; the test puts its own link
// behind the slot directly.
void VidTest::install(bool (*fn)(uint8_t, int)) { kops::gpio_table()->set_vid = fn; }

TEST_F(VidTest, VinSyncDrivesChainZero) {
    g_vin_sync = 1;
    EXPECT_TRUE(kmx_set_vid(5, 100));
    g_vin_sync = 0;
    EXPECT_TRUE(kmx_set_vid(5, 101));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"vid 0 100", "vid 5 101"}));
}

TEST_F(VidTest, StepWalksEachVidAndClampsNegativeTarget) {
    EXPECT_TRUE(kmx_set_vid_by_step(2, 10, 10));
    EXPECT_TRUE(g_calls.empty());
    EXPECT_TRUE(kmx_set_vid_by_step(2, 12, 10));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"vid 2 11", "vid 2 10"}));
    g_calls.clear();
    EXPECT_TRUE(kmx_set_vid_by_step(2, 5, -3));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"vid 2 4", "vid 2 3", "vid 2 2", "vid 2 1", "vid 2 0"}));
    g_calls.clear();
    g_vid_failures = 2;  // two retries, then it takes
    EXPECT_TRUE(kmx_set_vid_by_step(2, 0, 1));
    EXPECT_EQ(g_calls.size(), 3u);
    EXPECT_TRUE(log_contains("chain2: failed to set VID 1, retry(1)"));
    EXPECT_TRUE(log_contains("chain2: failed to set VID 1, retry(2)"));
}

TEST_F(VidTest, ThreeFailuresRaiseSetVoltageError) {
    install(always_fail_vid);
    EXPECT_EXIT(
        {
            remove("/tmp/errcode");
            g_chain_num = 1;
            g_chain_id[0] = 2;
            bool ok = kmx_set_vid_by_step(2, 7, 9);
            std::string text;
            kos::read_file("/tmp/errcode", text);
            exit(!ok && g_calls.size() == 3 && text == "26\nSETVOL_FAIL.chain(3).chip().msg()\n" ? 0 : 1);
        },
        testing::ExitedWithCode(0), "chain2: failed to set VID 8 for 3 times");
}

TEST_F(VidTest, ChipType6SetsUnderTheSetVidLock) {
    g_chip_type = 6;
    EXPECT_EXIT(
        {
            pthread_mutex_lock(&g_set_vid_lock);
            alarm(1);  // the call must block on the held lock
            kmx_set_vid(1, 50);
            exit(3);
        },
        testing::KilledBySignal(SIGALRM), "");
    EXPECT_TRUE(kmx_set_vid(1, 50));
    g_chip_type = 0;
    EXPECT_EQ(pthread_mutex_trylock(&g_set_vid_lock), 0);  // other types leave it alone
    EXPECT_TRUE(kmx_set_vid(1, 51));
    pthread_mutex_unlock(&g_set_vid_lock);
}

}  // namespace
