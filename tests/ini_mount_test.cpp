// The history volumes' mount step, the end-of-run keys and the per-chain
// temperature peaks of the status file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "misc/kmx_ini.h"
#include "misc/kmx_misc.h"
#include "module/kmx_tempctrl.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"

namespace {

const std::string kAttach11 = "/sbin/ubiattach  /dev/ubi_ctrl -m  11\n";
const std::string kAttach12 = "/sbin/ubiattach  /dev/ubi_ctrl -m  12\n";
const std::string kFormat11 = "/sbin/ubiformat  /dev/mtd11 -y\n";
const std::string kMkvol2 = "/sbin/ubimkvol /dev/ubi2 -N evetns -m \n";
const std::string kMount2 = "mount  -t  ubifs  ubi2_0   /events \n";
const std::string kMount3 = "mount  -t  ubifs  ubi3_0   /miners \n";

void touch(const char *path) { std::ofstream(path) << ""; }

std::string key(const char *k) {
    char buf[512] = "";
    return kmx_read_key_from_ini(k, buf, KMX_STATUS_INI, sizeof buf) ? buf : "<none>";
}

time_t s_wall = 1700000000;
struct timeval fake_wall() { return timeval{s_wall, 0}; }

class Volumes : public testing::Test {
protected:
    void SetUp() override {
        fake_shell().reset();
        log_capture_clear();
        g_platform = 4;
        g_mount_flag = false;
        for (const char *p : {"/dev/ubi2", "/dev/ubi2_0", "/dev/ubi3", "/dev/ubi3_0"}) unlink(p);
        fake_shell().answer("mount\n", "");
        fake_shell().answer("/sbin/", "");
        fake_shell().answer("mount  -t", "");
    }
    kos::TestClock clock_;  // the retries' waits cost no host time
};

TEST_F(Volumes, UnattachablePartitionIsFormattedAndItsVolumeCreated) {
    fake_shell().answer(kAttach11, "", 1);
    touch("/dev/ubi3_0");
    EXPECT_TRUE(kmx_mount_fs());
    EXPECT_TRUE(g_mount_flag);
    EXPECT_EQ(fake_shell().commands(), (std::vector<std::string>{"mount\n", kAttach11, kFormat11, kAttach11, kMkvol2,
                                                                 kMount2, "mount\n", kAttach12, kMount3}));
    int warnings = 0;
    for (const LogLine &l : log_captured())
        warnings += l.text.rfind("Waring:kmx_ini    kmx_mount_fs  ", 0) == 0;
    EXPECT_EQ(warnings, 3);  // two failed attaches, the missing volume
}

TEST_F(Volumes, AttachedPartitionIsNeverFormatted) {
    // The attach fails because the partition is attached already: its
    // volume only needs mounting, and formatting would erase the history.
    fake_shell().answer(kAttach11, "", 1);
    touch("/dev/ubi2");
    touch("/dev/ubi2_0");
    touch("/dev/ubi3_0");
    EXPECT_TRUE(kmx_mount_fs());
    EXPECT_EQ(fake_shell().commands(),
              (std::vector<std::string>{"mount\n", kAttach11, kMount2, "mount\n", kAttach12, kMount3}));
}

TEST_F(Volumes, FailedFormatStopsTheStep) {
    fake_shell().answer(kAttach11, "", 1);
    fake_shell().answer(kFormat11, "", 1);
    EXPECT_FALSE(kmx_mount_fs());
    EXPECT_FALSE(g_mount_flag);
    EXPECT_EQ(fake_shell().commands(), (std::vector<std::string>{"mount\n", kAttach11, kFormat11}));
}

TEST_F(Volumes, MountedVolumesAreFoundAnywhereInALongTableByTheirMountPoint) {
    std::string table;
    for (int i = 0; i < 60; i++) table += "cgroup2 on /sys/fs/cgroup/unit" + std::to_string(i) + " type cgroup2 (rw)\n";
    table += "tmpfs on /run/miners type tmpfs (rw)\n";
    table += "tmpfs on /events-old type tmpfs (rw)\n";
    table += "ubi2_0 on /events type ubifs (rw,relatime)\n";
    ASSERT_GT(table.size(), 2048u);
    fake_shell().answer("mount\n", table);
    EXPECT_TRUE(kmx_check_fs_mounted("events"));
    EXPECT_FALSE(kmx_check_fs_mounted("miners"));
    touch("/dev/ubi3_0");
    EXPECT_TRUE(kmx_mount_fs());
    EXPECT_EQ(fake_shell().commands(),
              (std::vector<std::string>{"mount\n", "mount\n", "mount\n", "mount\n", kAttach12, kMount3}));
}

TEST_F(Volumes, SocPlatformHasNoVolumesAndNoEndTime) {
    g_platform = SOC;
    EXPECT_TRUE(kmx_mount_fs());
    EXPECT_FALSE(g_mount_flag);
    g_mount_flag = true;
    unlink(KMX_STATUS_INI);
    EXPECT_TRUE(kmx_write_endtime_to_ini());
    EXPECT_TRUE(fake_shell().commands().empty());
    EXPECT_NE(access(KMX_STATUS_INI, F_OK), 0);
}

TEST(StatusFile, EndTimeOnlyAfterTheMountStep) {
    g_platform = 4;
    g_mount_flag = false;
    g_total_start_cnt = 3;
    unlink(KMX_STATUS_INI);
    kos::set_wall_clock(fake_wall);
    s_wall = 1700000000;
    kmx_get_start_time();
    s_wall += 86400 + 3661;
    EXPECT_TRUE(kmx_write_endtime_to_ini());
    EXPECT_NE(access(KMX_STATUS_INI, F_OK), 0);
    g_mount_flag = true;
    EXPECT_TRUE(kmx_write_endtime_to_ini());
    unsigned char end[64];
    struct timeval tv = fake_wall();
    kmx_get_time_str(&tv, end);
    EXPECT_EQ(key("times_3:end_t"), reinterpret_cast<char *>(end));
    EXPECT_EQ(key("times_3:total_t"), "0000-00-01 01:01:01");
    kos::set_wall_clock(nullptr);
    g_mount_flag = false;
}

TEST(StatusFile, ChainPeaksAreWrittenOnlyWhenTheAverageRises) {
    unlink(KMX_STATUS_INI);
    g_total_start_cnt = 7;
    g_chain_num = 2;
    g_chain_id[0] = 3;
    g_chain_id[1] = 5;
    g_chain_tmp[5] = c_temp{9999, 9999, 9999, 0};  // never read
    kos::set_wall_clock(fake_wall);
    s_wall = 1700000000;  // 22:13:20 UTC: seconds 20..22 stay in one minute
    struct tm tm;
    const time_t t = s_wall;
    localtime_r(&t, &tm);
    char when[32];
    snprintf(when, sizeof when, "%02d-%02d %02d:%02d:", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
    // One call per second: the stamp tells which call wrote the value.
    const float avgs[] = {60, 65, 62};
    const char *expect[] = {"50  60.0  70  ", "55  65.0  75  ", "55  65.0  75  "};
    const int written_at[] = {0, 1, 1};
    for (int i = 0; i < 3; i++) {
        s_wall = t + i;
        g_chain_tmp[3] = c_temp{int16_t(avgs[i] - 10), int16_t(avgs[i] + 10), avgs[i], 0};
        EXPECT_TRUE(kmx_write_chains_tmp_to_ini());
        char sec[8];
        snprintf(sec, sizeof sec, "%02d", (tm.tm_sec + written_at[i]) % 60);
        EXPECT_EQ(key("times_7:cid3"), expect[i] + std::string(when) + sec) << i;
    }
    EXPECT_EQ(key("times_7:cid5"), "<none>");
    kos::set_wall_clock(nullptr);
}

}  // namespace
