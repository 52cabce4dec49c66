#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/ipc.h>
#include <sys/msg.h>

#include "module/kmx_ops.h"
#include "module/kmx_ops_internal.h"
#include "module/kmx_wd.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/log_capture.h"

namespace {

std::string read(const char *path) {
    std::string s;
    kos::read_file(path, s);
    return s;
}

int s_downs;
bool count_down(uint8_t) { return ++s_downs > 0; }

class WdTest : public testing::Test {
protected:
    void SetUp() override {
        log_capture_clear();
        remove("/tmp/watchdog");
        remove("/tmp/errcode");
        KMX_CHAIN_T chain{};
        chain.power_down = count_down;
        g_platform = ZYNQ_HUB_B13;  // the chain table is filled per platform
        init_kmx_chain();
        register_kmx_chain(&chain);
        s_downs = 0;
    }
};

TEST_F(WdTest, StateFileMissingShortAndWhole) {
    EXPECT_TRUE(kmx_wd_load_state());
    EXPECT_TRUE(log_contains("watchdog state file not found, load NORMAL state for all chains!"));
    for (int c = 0; c < 8; c++) EXPECT_EQ(kmx_wd_get_state(c), 0);

    ASSERT_TRUE(kos::write_file_atomic("/tmp/watchdog", "0 2 0 0 0 0 0 1\n"));
    kmx_wd_load_state();
    EXPECT_EQ(kmx_wd_get_state(1), 2);
    EXPECT_EQ(kmx_wd_get_state(7), 1);
    // A short file names only the first slots; the rest are normal.
    ASSERT_TRUE(kos::write_file_atomic("/tmp/watchdog", "1 5"));
    kmx_wd_load_state();
    EXPECT_EQ(kmx_wd_get_state(0), 1);
    EXPECT_EQ(kmx_wd_get_state(1), 5);
    EXPECT_EQ(kmx_wd_get_state(7), 0);
    EXPECT_EQ(kmx_wd_get_state(8), 0);
    EXPECT_EQ(kmx_wd_get_state(-1), 0);
}

[[noreturn]] void shutdown_other_reason() {
    kmx_wd_chain_shutdown(4, 5);
    if (read("/tmp/watchdog") != "0 0 0 0 5 0 0 0\n") exit(1);
    if (read("/tmp/errcode") != "") exit(2);  // no error for reason 5
    if (s_downs != 1) exit(3);
    kmx_wd_chain_shutdown(9, 2);  // not a slot: nothing happens
    if (s_downs != 1) exit(4);
    kmx_wd_chain_shutdown(0, 1);
    if (read("/tmp/errcode") != "47\nWATCHDOG.chain(1).chip().msg(temp not update)\n") exit(5);
    exit(0);
}

TEST_F(WdTest, ShutdownStoresReasonAndRaisesOnlyWatchdogReasons) {
    EXPECT_EXIT(shutdown_other_reason(), testing::ExitedWithCode(0), "");
}

[[noreturn]] void full_queue_drops() {
    kmx_wd_client_init();
    int q = msgget(kmx_wd_get_msq_key(), 0);
    struct msqid_ds ds;
    if (q < 0 || msgctl(q, IPC_STAT, &ds) != 0) exit(1);
    ds.msg_qbytes = 48;  // two bodies
    if (msgctl(q, IPC_SET, &ds) != 0) exit(2);
    wd_msg_data body{};
    for (int i = 0; i < 5; i++) kmx_wd_send_msg(WD_MSG_CHAIN_TEMP, &body);  // must not block
    if (msgctl(q, IPC_STAT, &ds) != 0 || ds.msg_qnum != 2) exit(3);
    msgctl(q, IPC_RMID, nullptr);
    exit(0);
}

TEST_F(WdTest, FullQueueDropsWithoutBlocking) {
    EXPECT_EXIT(full_queue_drops(), testing::ExitedWithCode(0), "");
}

TEST_F(WdTest, NoKeyFileEndsWithStatusOne) {
    // The death test's child runs this body again from the start: the key
    // file is moved away inside the statement, and put back by the parent.
    EXPECT_EXIT(
        {
            if (rename("/bin/watchdog", "/bin/watchdog.moved") != 0) exit(9);
            kmx_wd_client_init();
        },
        testing::ExitedWithCode(1), "ftok error");
    ASSERT_EQ(rename("/bin/watchdog.moved", "/bin/watchdog"), 0);
}

}  // namespace
