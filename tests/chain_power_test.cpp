// Chain power sequences as the chain lines and the emulated supply see
// them, in order, and the pool-change history on the emulated flash.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "misc/kmx_misc.h"
#include "module/kmx_ops.h"
#include "module/kmx_ops_internal.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/log_capture.h"
#include "support/sim_files.h"
#include "zynq/zynq_chain.h"

namespace {

std::vector<std::string> g_ev;
size_t g_psu_seen = 0;
int g_absent_slot = -1;

// Supply frames that arrived since the last line event, as "psu <output> on|off".
void sync_psu() {
    const auto w = sim_lines("psu.log");
    for (; g_psu_seen < w.size(); g_psu_seen++) {
        const std::string &l = w[g_psu_seen];
        if (l.rfind("W 00 AB 00 85 00 02 ", 0) != 0) continue;
        g_ev.push_back("psu " + l.substr(20, 2) + (l.substr(23, 2) == "01" ? " on" : " off"));
    }
}
void line(const char *what, uint8_t c, int v) {
    sync_psu();
    g_ev.push_back(std::string(what) + " " + std::to_string(c) + " " + std::to_string(v));
}
void rec_power(uint8_t c, int v) { line("power", c, v); }
void rec_start(uint8_t c, int v) { line("start", c, v); }
void rec_reset(uint8_t c, int v) { line("reset", c, v); }
void rec_led(uint8_t c, int v) { line("led", c, v); }
int rec_plug(uint8_t c) { return c == g_absent_slot ? 1 : 0; }

class ChainPower : public testing::Test {
protected:
    void SetUp() override {
        g_platform = ZYNQ_HUB_B13;
        init_kmx_gpio();
        init_kmx_chain();
        KMX_GPIO_T *t = kops::gpio_table();
        t->set_power_en = rec_power;
        t->set_start_en = rec_start;
        t->set_reset = rec_reset;
        t->set_led = rec_led;
        t->get_plug = rec_plug;
        g_vid_type = 7;
        g_vin_sync = 0;
        g_poweron_flag = false;
        g_chain_num = 3;
        g_chain_id[0] = 0;
        g_chain_id[1] = 1;
        g_chain_id[2] = 2;
        g_absent_slot = -1;
        set_psu("{}");
        g_ev.clear();
        g_psu_seen = 0;
        log_capture_clear();
    }
    static std::vector<std::string> events() {
        sync_psu();
        return g_ev;
    }
};

using V = std::vector<std::string>;

TEST_F(ChainPower, PowerOnModes) {
    EXPECT_TRUE(kmx_chain_power_on(1, 1));
    EXPECT_EQ(events(), (V{"reset 1 1", "psu 02 on", "power 1 1", "reset 1 0", "start 1 1", "reset 1 1"}));
    EXPECT_TRUE(log_contains("chain1: power-on mode 1"));
    EXPECT_TRUE(kmx_get_i2c_psu(1));
    g_ev.clear();
    EXPECT_TRUE(kmx_chain_power_on(2, 2));
    EXPECT_EQ(events(), (V{"psu 03 on", "power 2 1", "start 2 1", "reset 2 1", "reset 2 0", "reset 2 1"}));
    EXPECT_TRUE(log_contains("chain2: power-on mode 3"));
    g_ev.clear();
    EXPECT_TRUE(kmx_chain_power_on(0, 5));
    EXPECT_EQ(events(), (V{"psu 01 on", "power 0 1", "reset 0 1", "start 0 1"}));
    EXPECT_TRUE(log_contains("chain0: power-on mode 6"));
}

TEST_F(ChainPower, MissingBoardIsRefusedUntouched) {
    g_absent_slot = 2;
    EXPECT_FALSE(kmx_chain_power_on(2, 0));
    EXPECT_TRUE(log_contains("chain 2 >>> the board not inserted !!! \n"));
    EXPECT_TRUE(events().empty());
}

TEST_F(ChainPower, PowerDown) {
    EXPECT_TRUE(kmx_chain_power_down(1));
    EXPECT_EQ(events(), (V{"psu 02 off", "power 1 0", "reset 1 0", "start 1 0", "led 1 1"}));
    // Under Vin-sync the shared output stays on, unless chains come up together.
    g_vin_sync = 1;
    g_ev.clear();
    kmx_chain_power_down(0);
    EXPECT_EQ(events(), (V{"power 0 0", "reset 0 0", "start 0 0", "led 0 1"}));
    g_poweron_flag = true;
    g_ev.clear();
    kmx_chain_power_down(0);
    EXPECT_EQ(events().front(), "psu 01 off");
}

TEST_F(ChainPower, PowerOnAllAndDownAll) {
    g_absent_slot = 1;
    EXPECT_TRUE(kmx_chain_power_on_all());
    EXPECT_EQ(events(), (V{"psu 01 on", "psu 03 on", "power 0 1", "power 1 1", "power 2 1", "reset 0 1", "reset 1 1",
                           "reset 2 1", "start 0 1", "start 1 1", "start 2 1"}));
    EXPECT_TRUE(kmx_get_i2c_psu(0));
    EXPECT_FALSE(kmx_get_i2c_psu(1));
    g_ev.clear();
    EXPECT_TRUE(kmx_chain_power_down_all());
    EXPECT_EQ(events(), (V{"psu 01 off", "psu 02 off", "psu 03 off", "power 0 0", "power 1 0", "power 2 0",
                           "reset 0 0", "start 0 0", "led 0 1", "reset 1 0", "start 1 0", "led 1 1", "reset 2 0",
                           "start 2 0", "led 2 1"}));
    EXPECT_FALSE(kmx_get_i2c_psu(0));
    g_vin_sync = 1;
    g_absent_slot = -1;
    g_ev.clear();
    kmx_chain_power_on_all();
    EXPECT_EQ(events()[0], "psu 01 on");
    EXPECT_EQ(events()[1], "power 0 1");
}

// ---- pool-change history on the emulated flash (real shell, dd, stub) ----

std::string flash(long off, size_t len) {
    std::string out(len, '\0');
    int fd = open("/dev/mtdblock11", O_RDONLY);
    if (fd < 0) return "";
    const ssize_t n = pread(fd, out.data(), len, off);
    close(fd);
    out.resize(n > 0 ? size_t(n) : 0);
    return out;
}

std::string counter() {
    std::string s;
    kos::read_file("/config/author.au", s);
    return s.c_str();
}

bool record(const std::string &pool) {
    kos::write_file_atomic("/tmp/pool_info.au", pool);
    return kmx_record_params();
}

class History : public testing::Test {
protected:
    void SetUp() override {
        kos::set_shell_backend(nullptr);
        g_platform = ZYNQ_HUB_B13;
        init_kmx_chain();
        unlink("/config/author.au");
        kos::shell_status("mtd_debug erase /dev/mtd11 0 262144");
    }
};

TEST_F(History, RecordsChangesOnlyAndRotatesAtTwenty) {
    ASSERT_TRUE(record("pool-a"));
    EXPECT_EQ(counter(), "1");
    EXPECT_EQ(flash(0, 7), std::string("pool-a\xFF"));
    EXPECT_NE(access("/tmp/pool_info.au", F_OK), 0);

    ASSERT_TRUE(record("pool-a"));  // unchanged
    EXPECT_EQ(counter(), "1");
    EXPECT_EQ(flash(256, 1), "\xFF");
    EXPECT_NE(access("/tmp/pool_info.au", F_OK), 0);

    ASSERT_TRUE(record("pool"));  // a prefix of the stored record is a change
    EXPECT_EQ(counter(), "2");
    EXPECT_EQ(flash(256, 5), std::string("pool\xFF"));

    for (int i = 2; i < 20; i++) ASSERT_TRUE(record("pool-" + std::to_string(i)));
    EXPECT_EQ(counter(), "20");
    EXPECT_EQ(flash(19 * 256, 7), "pool-19");

    // The 21st record: block 0 moves to block 1, block 0 starts again.
    ASSERT_TRUE(record("pool-20"));
    EXPECT_EQ(counter(), "1");
    EXPECT_EQ(flash(0, 8), std::string("pool-20\xFF"));
    EXPECT_EQ(flash(256, 1), "\xFF");
    EXPECT_EQ(flash(0x20000, 7), "pool-a\xFF");
    EXPECT_EQ(flash(0x20000 + 19 * 256, 7), "pool-19");
    std::string raw;
    kos::read_file("/config/author.au", raw);
    EXPECT_EQ(raw.size(), 64u) << "NUL-padded to 64 bytes";
}

// A counter file that holds no count does not erase the stored changes:
// the count is taken from the first erased slot of block 0.
TEST_F(History, DamagedCounterCountsTheStoredRecords) {
    for (int i = 0; i < 12; i++) ASSERT_TRUE(record("pool-" + std::to_string(i)));
    const std::string damaged[] = {"", std::string("\x93\x01zz\xFF", 5), "abc", "-7", "21", "3x"};
    int n = 12;
    for (const std::string &text : damaged) {
        kos::write_file_atomic("/config/author.au", text);
        ASSERT_TRUE(record("next-" + std::to_string(n))) << text;
        EXPECT_EQ(counter(), std::to_string(n + 1)) << text;
        EXPECT_EQ(flash(size_t(n) * 256, 8), "next-" + std::to_string(n) + "\xFF") << text;
        n++;
    }
    EXPECT_EQ(flash(0, 7), std::string("pool-0\xFF")) << "the history is kept";
    EXPECT_EQ(flash(11 * 256, 8), std::string("pool-11\xFF"));
    // Block 0 full and the counter damaged: the next change rotates.
    for (; n < 20; n++) ASSERT_TRUE(record("next-" + std::to_string(n)));
    kos::write_file_atomic("/config/author.au", "junk");
    ASSERT_TRUE(record("after"));
    EXPECT_EQ(counter(), "1");
    EXPECT_EQ(flash(0, 6), std::string("after\xFF"));
    EXPECT_EQ(flash(0x20000, 7), std::string("pool-0\xFF"));
    EXPECT_EQ(flash(0x20000 + 19 * 256, 7), "next-19");
}

// A fresh history (no counter file) still starts by erasing block 0, and a
// counter of 0 does too.
TEST_F(History, NewOrZeroCounterErasesBlockZero) {
    for (int i = 0; i < 3; i++) ASSERT_TRUE(record("pool-" + std::to_string(i)));
    kos::write_file_atomic("/config/author.au", std::string("0\0\0", 3));
    ASSERT_TRUE(record("fresh"));
    EXPECT_EQ(counter(), "1");
    EXPECT_EQ(flash(0, 6), std::string("fresh\xFF"));
    EXPECT_EQ(flash(256, 1), "\xFF");
}

}  // namespace
