#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "misc/kmx_misc.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"
#include "zynq/zynq_chain.h"

namespace {

std::string read(const char *path) {
    std::string s;
    kos::read_file(path, s);
    return s;
}

class MiscTest : public testing::Test {
protected:
    void SetUp() override {
        fake_shell().reset();
        log_capture_clear();
    }
};

// ---- shell and U-Boot -----------------------------------------------------

TEST_F(MiscTest, ShellBuffersOfSizeZeroAndOneAndStaleContent) {
    fake_shell().answer("echo", "abc\n");
    char one[1] = {'x'};
    EXPECT_TRUE(misc_system("echo", one, 1));
    EXPECT_EQ(one[0], '\0');
    char zero = 'z';
    EXPECT_TRUE(misc_system("echo", &zero, 0));
    EXPECT_EQ(zero, 'z');

    // A caller's buffer with old, unterminated text: the result is only
    // the output, and the count matches it.
    char out[8];
    memset(out, 'q', sizeof out);
    char cmd[] = "echo";
    EXPECT_EQ(kmx_get_shell_cmd_rst(cmd, out, sizeof out), 4);
    EXPECT_STREQ(out, "abc\n");
    EXPECT_EQ(kmx_get_shell_cmd_rst(cmd, out, 0), 0);
}

TEST_F(MiscTest, UbootRefusesLineBreaksAndOverlongCommands) {
    fake_shell().answer("/sbin/fw_printenv -n standby", "");
    char buf[32] = "old";
    EXPECT_TRUE(misc_get_uboot_env("standby", buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    EXPECT_FALSE(misc_set_uboot_env("note", "1\nreboot", buf, sizeof buf));
    EXPECT_FALSE(misc_set_uboot_env("note", std::string(120, 'v').c_str(), buf, sizeof buf));
    EXPECT_FALSE(misc_get_uboot_env(std::string(120, 'k').c_str(), buf, sizeof buf));
    EXPECT_FALSE(misc_get_uboot_env("-n", buf, sizeof buf));
    EXPECT_EQ(fake_shell().commands(), std::vector<std::string>{"/sbin/fw_printenv -n standby 2>/dev/null\n"});
}

TEST_F(MiscTest, VersionFollowsImageFlagAndNeverComesBackEmpty) {
    const char *flags[] = {"a", "b", "0", "1"};
    for (const char *f : flags) {
        fake_shell().reset();
        fake_shell().answer("/sbin/fw_printenv -n image_flag\n", std::string(f) + "\n");
        fake_shell().answer(std::string("/sbin/fw_printenv -n version_") + f + "\n", std::string("v-") + f + "\n");
        unsigned char v[32];
        ASSERT_TRUE(kmx_get_version_from_env(v, sizeof v)) << f;
        EXPECT_EQ(std::string((char *)v), std::string("v-") + f);
    }
    unsigned char small[4];
    EXPECT_TRUE(kmx_get_version_from_env(small, sizeof small));
    EXPECT_STREQ((char *)small, "v-1");
    EXPECT_TRUE(kmx_get_version_from_env(small, 2));
    EXPECT_STREQ((char *)small, "v");
    EXPECT_FALSE(kmx_get_version_from_env(small, 1));

    fake_shell().reset();
    fake_shell().answer("/sbin/fw_printenv -n image_flag\n", "a\n");
    fake_shell().answer("/sbin/fw_printenv -n version_a\n", "");
    unsigned char v[32];
    EXPECT_FALSE(kmx_get_version_from_env(v, sizeof v));

    fake_shell().answer("/sbin/fw_printenv -n image_flag\n", "x\n");
    EXPECT_FALSE(kmx_get_version_from_env(v, sizeof v));
    EXPECT_TRUE(log_contains("image_flag:x\n failed!\n"));
    EXPECT_FALSE(kmx_get_version_from_env(nullptr, 8));
}

TEST_F(MiscTest, LockIsOnlyTheValueOne) {
    const char *outs[] = {"0\n", "", "11\n", "garbage\n"};
    for (const char *o : outs) {
        fake_shell().answer("/sbin/flagutils read\n", o);
        EXPECT_FALSE(kmx_read_lock()) << o;
    }
}

// ---- texts, files, times ---------------------------------------------------

TEST_F(MiscTest, TrimKeepsTheFirstWord) {
    char a[] = "  ab c ";
    EXPECT_STREQ(misc_trim(a), "ab");
    EXPECT_EQ(a[5], '\0');
    char b[] = " \t ";
    EXPECT_STREQ(misc_trim(b), "");
}

struct timeval s_now;
struct timeval fixed_clock() { return s_now; }

TEST_F(MiscTest, RunTimeIsADurationWhateverTheTimeZone) {
    struct timeval a{5, 100}, b{3, 200}, d;
    kmx_timersub(&a, &b, &d);
    EXPECT_EQ(d.tv_sec, 1);
    EXPECT_EQ(d.tv_usec, 999900);

    kos::set_wall_clock(fixed_clock);
    const char *zones[] = {"UTC", "CST-8", "EST5EDT"};
    for (const char *tz : zones) {
        setenv("TZ", tz, 1);
        tzset();
        s_now = {1700000000, 500000};
        kmx_get_start_time();
        s_now.tv_sec += 86400 + 2 * 3600 + 3 * 60 + 4;
        kmx_get_end_time();
        unsigned char text[64];
        kmx_get_total_run_time(text);
        EXPECT_STREQ((char *)text, "0000-00-01 02:03:04") << tz;
    }
    setenv("TZ", "UTC", 1);
    tzset();
    struct timeval tv{1700000000, 0};
    unsigned char text[64];
    kmx_get_time_str(&tv, text);
    EXPECT_STREQ((char *)text, "2023-11-14 22:13:20");
    kos::set_wall_clock(nullptr);
}

TEST_F(MiscTest, FileSizeAndBoardVersion) {
    ASSERT_TRUE(kos::write_file_atomic("/tmp/five", "12345"));
    EXPECT_EQ(kmx_get_file_size("/tmp/five"), 5u);
    EXPECT_EQ(kmx_get_file_size("/tmp/none"), 0u);

    const std::pair<const char *, int> boards[] = {{"B3\n", 3}, {"B13\n", 13}, {"B37", 3}};
    for (auto [text, want] : boards) {
        ASSERT_TRUE(kos::write_file_atomic("/tmp/hwver", text));
        EXPECT_EQ(misc_get_board_version(), want) << text;
    }
    ASSERT_TRUE(kos::write_file_atomic("/tmp/hwver", "B5\n"));
    EXPECT_EXIT(misc_get_board_version(), testing::ExitedWithCode(0), "unknown hardware version:B5");
    remove("/tmp/hwver");
    EXPECT_EXIT(misc_get_board_version(), testing::ExitedWithCode(0), "open hwver file:/tmp/hwver failed!");
}

TEST_F(MiscTest, MacOfAnEmptyAddressFileIsAFailure) {
    const char *path = "/sys/class/net/eth0/address";
    std::string saved = read(path);
    ASSERT_TRUE(kos::write_file_atomic(path, ""));
    unsigned char mac[32] = "";
    EXPECT_FALSE(kmx_get_mac(mac));
    ASSERT_TRUE(kos::write_file_atomic(path, "aa:bb:cc:dd:ee:ff"));  // no newline
    EXPECT_TRUE(kmx_get_mac(mac));
    EXPECT_STREQ((char *)mac, "aa:bb:cc:dd:ee:ff");
    ASSERT_TRUE(kos::write_file_atomic(path, saved));
}

// ---- TCP ---------------------------------------------------------------------

int listen_local(uint16_t &port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&a, sizeof a);
    listen(fd, 4);
    socklen_t len = sizeof a;
    getsockname(fd, (struct sockaddr *)&a, &len);
    port = ntohs(a.sin_port);
    return fd;
}

TEST_F(MiscTest, ApiCallPrintsTheAnswerAndBoundsIt) {
    uint16_t port;
    int lfd = listen_local(port);
    std::thread peer([lfd] {
        // First a short answer, then one that never ends on its own.
        int c = accept(lfd, nullptr, nullptr);
        char req[64];
        ssize_t n = recv(c, req, sizeof req, 0);
        std::string answer = "got " + std::string(req, size_t(n > 0 ? n : 0));
        send(c, answer.data(), answer.size(), 0);
        close(c);
        c = accept(lfd, nullptr, nullptr);
        std::string block(1 << 16, 'z');
        for (int i = 0; i < 200; i++)
            if (send(c, block.data(), block.size(), MSG_NOSIGNAL) < 0) break;
        close(c);
    });
    char host[] = "127.0.0.1";
    char cmd[] = "summary";
    testing::internal::CaptureStdout();
    int rc = misc_call_api(cmd, host, short(port));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "got summary");
    testing::internal::CaptureStdout();
    rc = misc_call_api(cmd, host, short(port));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out.rfind("Err: OOM (", 0), 0u) << out.substr(0, 40);
    peer.join();
    EXPECT_TRUE(misc_tcp_is_ok(host, short(port)));
    close(lfd);
    EXPECT_FALSE(misc_tcp_is_ok(host, short(port)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(misc_call_api(cmd, host, short(port)), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Socket connect failed: ", 0), 0u);
}

// ---- power supply ----------------------------------------------------------

[[noreturn]] void low_supply() {
    g_vid_type = 15;
    if (!misc_check_power_supply(1)) exit(1);  // no I2C supply at all
    g_vid_type = 7;
    if (!misc_check_power_supply(1)) exit(2);  // supply output off
    // The supply does not answer: a failed read is no power.
    kos::write_file_atomic((kos::sim_dir() + "/psu.json").c_str(), "{\"fail_always\": true}");
    set_i2c_psu_en(1, 1);
    if (misc_check_power_supply(1)) exit(3);
    if (read("/tmp/errcode") != "35\nPSU_LOW_VOLT.chain(2).chip().msg(unknown unknown 0)\n") exit(4);
    if (!log_contains("chain1: no power supply (-0.0V)")) exit(5);
    exit(0);
}

TEST_F(MiscTest, SupplyCheckOnlyForAnI2cSupplyThatIsOn) {
    EXPECT_EXIT(low_supply(), testing::ExitedWithCode(0), "");
}

}  // namespace
