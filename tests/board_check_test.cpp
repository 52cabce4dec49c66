// Board identity, root file-system and firmware checks. The root file-system
// cases run the real shell against the machine's fw_printenv, fw_setenv,
// busybox and reboot stand-ins and read back the U-Boot store they leave.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <fstream>
#include <string>
#include <vector>

#include "hub/kmx_i2c.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "os/os.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"
#include "support/sim_files.h"

namespace {

void put(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::trunc) << text;
}
std::string get(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
std::string sim(const std::string &name) { return kos::sim_dir() + "/" + name; }

bool contains(const std::vector<std::string> &v, const std::string &s) {
    for (auto &x : v)
        if (x == s) return true;
    return false;
}

class RootfsCheck : public ::testing::Test {
protected:
    void SetUp() override {
        kos::set_shell_backend(nullptr);
        sim_remove("calls.log");
        sim_remove("rebooted");
        sim_remove("md5sum.status");
        unlink("/etc/rootfs_backup_md5sum");
        log_capture_clear();
    }
    void TearDown() override { kos::set_shell_backend(&fake_shell()); }
    void uboot(const std::string &env) { put(sim("uboot.env"), env); }
    void good_list() {
        put("/tmp/rootfs_file", "payload\n");
        put("/etc/rootfs_backup_md5sum", "8e0fd5a5bf1e6d3a0e3e7e0d9fd7e5bb  /tmp/rootfs_file\n");
        // The real sum, so the unscripted checker passes.
        FILE *p = popen("md5sum /tmp/rootfs_file", "r");
        char line[256] = "";
        ASSERT_TRUE(fgets(line, sizeof line, p));
        pclose(p);
        put("/etc/rootfs_backup_md5sum", line);
    }
    bool rebooted() { return access(sim("rebooted").c_str(), F_OK) == 0; }
};

TEST_F(RootfsCheck, PassingListChangesNothingAndDropsCaches) {
    uboot("image_flag=0\n");
    good_list();
    EXPECT_EQ(kmx_check_rootfs_integrity(), 0);
    EXPECT_EQ(get(sim("uboot.env")), "image_flag=0\nrootfs_fail_cnt=0\n");
    auto calls = sim_lines("calls.log");
    EXPECT_TRUE(contains(calls, "busybox md5sum -c /etc/rootfs_backup_md5sum"));
    EXPECT_TRUE(contains(calls, "sync"));
    EXPECT_FALSE(rebooted());
    EXPECT_TRUE(log_contains("rootfs file corrupted  0\n"));
    EXPECT_TRUE(log_contains(" check rootfs file is ok\n"));
}

TEST_F(RootfsCheck, CorruptedFileSwitchesImageAndReboots) {
    uboot("image_flag=0\nrootfs_fail_cnt=2\n");
    good_list();
    put("/tmp/rootfs_file", "changed\n");
    EXPECT_EQ(kmx_check_rootfs_integrity(), -1);
    EXPECT_EQ(get(sim("uboot.env")), "rootfs_fail_cnt=3\nimage_flag=1\n");
    auto calls = sim_lines("calls.log");
    EXPECT_TRUE(contains(calls, "reboot -f"));
    EXPECT_TRUE(rebooted());
    EXPECT_TRUE(log_contains("some rootfs file corrupted\n"));
}

TEST_F(RootfsCheck, FlagFlipsEachWay) {
    const std::pair<const char *, const char *> flips[] = {{"1", "0"}, {"0", "1"}, {"a", "b"}, {"b", "a"}};
    put(sim("md5sum.status"), "1");
    put("/etc/rootfs_backup_md5sum", "x\n");
    for (auto [from, to] : flips) {
        uboot(std::string("rootfs_fail_cnt=0\nimage_flag=") + from + "\n");
        EXPECT_EQ(kmx_check_rootfs_integrity(), -1);
        EXPECT_EQ(get(sim("uboot.env")), std::string("rootfs_fail_cnt=1\nimage_flag=") + to + "\n") << from;
    }
}

TEST_F(RootfsCheck, FifthFailureIsTheLastSwitch) {
    uboot("rootfs_fail_cnt=4\nimage_flag=b\n");
    put(sim("md5sum.status"), "1");
    put("/etc/rootfs_backup_md5sum", "x\n");
    EXPECT_EQ(kmx_check_rootfs_integrity(), -1);
    EXPECT_EQ(get(sim("uboot.env")), "rootfs_fail_cnt=5\nimage_flag=a\n");
    EXPECT_TRUE(rebooted());

    // The next start no longer checks.
    sim_remove("calls.log");
    sim_remove("rebooted");
    log_capture_clear();
    EXPECT_EQ(kmx_check_rootfs_integrity(), 1);
    EXPECT_EQ(get(sim("uboot.env")), "rootfs_fail_cnt=5\nimage_flag=a\n");
    EXPECT_TRUE(log_contains("rootfs file corrupted over 4\n"));
    auto calls = sim_lines("calls.log");
    EXPECT_FALSE(contains(calls, "busybox md5sum -c /etc/rootfs_backup_md5sum"));
    EXPECT_FALSE(rebooted());
}

TEST_F(RootfsCheck, MissingListCountsAsFailureWithoutChecker) {
    uboot("rootfs_fail_cnt=0\nimage_flag=1\n");
    EXPECT_EQ(kmx_check_rootfs_integrity(), -1);
    EXPECT_EQ(get(sim("uboot.env")), "rootfs_fail_cnt=1\nimage_flag=0\n");
    EXPECT_FALSE(contains(sim_lines("calls.log"), "busybox md5sum -c /etc/rootfs_backup_md5sum"));
    EXPECT_TRUE(log_contains("/etc/rootfs_backup_md5sum file is not exsit\n"));
}

TEST_F(RootfsCheck, UnknownFlagRebootsWithoutChangingIt) {
    uboot("rootfs_fail_cnt=0\nimage_flag=x\n");
    put(sim("md5sum.status"), "1");
    put("/etc/rootfs_backup_md5sum", "x\n");
    EXPECT_EQ(kmx_check_rootfs_integrity(), -1);
    EXPECT_EQ(get(sim("uboot.env")), "image_flag=x\nrootfs_fail_cnt=1\n");
    EXPECT_TRUE(rebooted());
    EXPECT_TRUE(log_contains("get  image_flag x not defined \n"));
}

TEST_F(RootfsCheck, CheckerKilledBySignalIsNotAFailure) {
    uboot("rootfs_fail_cnt=0\nimage_flag=0\n");
    put(sim("md5sum.status"), "signal");
    put("/etc/rootfs_backup_md5sum", "x\n");
    EXPECT_EQ(kmx_check_rootfs_integrity(), 0);
    EXPECT_EQ(get(sim("uboot.env")), "rootfs_fail_cnt=0\nimage_flag=0\n");
    EXPECT_FALSE(rebooted());
}

// The real shell, except that the checker's status cannot be collected:
// system() gives -1 then (e.g. SIGCHLD ignored by the hosting program).
class UncollectedStatusShell final : public kos::ShellBackend {
public:
    bool capture(const char *cmd, std::string &out, size_t limit) override {
        kos::set_shell_backend(nullptr);
        bool ok = kos::shell_capture(cmd, out, limit);
        kos::set_shell_backend(this);
        return ok;
    }
    int status(const char *) override { return -1; }
};

TEST_F(RootfsCheck, StatusThatCannotBeCollectedIsNotAFailure) {
    uboot("rootfs_fail_cnt=1\nimage_flag=0\n");
    put("/etc/rootfs_backup_md5sum", "x\n");
    UncollectedStatusShell shell;
    kos::set_shell_backend(&shell);
    EXPECT_EQ(kmx_check_rootfs_integrity(), 0);
    kos::set_shell_backend(nullptr);
    EXPECT_EQ(get(sim("uboot.env")), "rootfs_fail_cnt=1\nimage_flag=0\n");
    EXPECT_FALSE(rebooted());
}

// ---- machine type against supply version ---------------------------------

void supply(const char *vendor, const char *ver) {
    snprintf(g_power_vendor, sizeof g_power_vendor, "%s", vendor);
    snprintf(g_power_ver, sizeof g_power_ver, "%s", ver);
}

bool check(const char *hwrevision, const char *vendor, const char *ver) {
    if (hwrevision)
        put("/etc/hwrevision", hwrevision);
    else
        unlink("/etc/hwrevision");
    supply(vendor, ver);
    return kmx_check_type_and_psuver();
}

TEST(TypeAndSupply, TableOfAcceptedSuffixes) {
    EXPECT_TRUE(check("zynq rk9hf.b\n", "GP", "1.67"));
    EXPECT_TRUE(check("zynq rk9hf.b\n", "GP", "1.71"));
    EXPECT_FALSE(check("zynq rk9hf.b\n", "GP", "1.70"));
    EXPECT_TRUE(check("zynq n7.a\n", "GP", "2.66"));
    EXPECT_FALSE(check("zynq n7.a\n", "GP", "2.67"));
    EXPECT_TRUE(check("zynq rk9hl.a\n", "GP", "1.71"));
    EXPECT_TRUE(check("zynq n7h+.a\n", "GP", "1.69"));
    EXPECT_TRUE(check("zynq n7+.a\n", "GP", "1.70"));
    EXPECT_TRUE(check("zynq n7+l.a\n", "GP", "1.70"));
    EXPECT_FALSE(check("zynq n7+l.a\n", "GP", "1.69"));
    EXPECT_FALSE(check("zynq zz9.a\n", "GP", "1.65"));
    EXPECT_TRUE(log_contains("psu_version:1.65, ver_prefix:1, ver_suffix:65\n"));
}

TEST(TypeAndSupply, OtherVendorOrNoRevisionFilePasses) {
    EXPECT_TRUE(check("zynq zz9.a\n", "unknown", "1.10"));
    EXPECT_TRUE(check(nullptr, "GP", "1.10"));
}

TEST(TypeAndSupply, RevisionWithoutDotStillGivesItsType) {
    EXPECT_TRUE(check("zynq n7\n", "GP", "1.65"));
    EXPECT_TRUE(check("zynq rk9hm", "GP", "1.67"));
}

TEST(TypeAndSupply, NewerBuildAlsoKnowsN7PlusM) {
#if KMX_LIB_REV >= 3
    EXPECT_TRUE(check("zynq n7+m.a\n", "GP", "x.70"));
#else
    EXPECT_FALSE(check("zynq n7+m.a\n", "GP", "x.70"));
#endif
}

// ---- firmware version agreement -------------------------------------------

TEST(FirmwareVersion, ConflictSetsMachineErrorOnceInHalfAnHour) {
    FakeShell &sh = fake_shell();
    sh.reset();
    sh.answer("/sbin/fw_printenv -n image_flag", "a\n");
    sh.answer("/sbin/fw_printenv -n version_a", "2.0.1\n");
    put("/etc/fwrevision", "2.0.0 20240101\n");
    unlink("/tmp/errcode");
    log_capture_clear();
    kmx_compare_fwver();
    EXPECT_TRUE(log_contains("FW Version Conflict!etc_fw:2.0.0 env_fw:2.0.1"));
    const std::string err = get("/tmp/errcode");
    EXPECT_EQ(err.rfind("54\n", 0), 0u) << err;
    EXPECT_NE(err.find("etc_fw:2.0.0 env_fw:2.0.1"), std::string::npos) << err;

    // Within 1800 s nothing is read again.
    sh.reset();
    kmx_compare_fwver();
    EXPECT_TRUE(sh.commands().empty());
    sh.reset();
}

TEST(FirmwareVersion, EtcWordBeginningWithNulIsNoVersion) {
    char fw[64];
    put("/etc/fwrevision", std::string("\0002.0.0 x\n", 9));
    EXPECT_EQ(kmx_get_fwver_from_etc(fw), -1);
    put("/etc/fwrevision", "  2.0.0 x\n");
    EXPECT_EQ(kmx_get_fwver_from_etc(fw), 0);
    EXPECT_STREQ(fw, "2.0.0");
    put("/etc/fwrevision", "\n");
    EXPECT_EQ(kmx_get_fwver_from_etc(fw), -1);
}

// ---- counter files ---------------------------------------------------------

TEST(CounterFile, IncrementsAndLimits) {
    char path[] = "/tmp/cnt_test";
    unlink(path);
    kmx_cnt_inc(2, path);
    EXPECT_EQ(get(path), "0 0 1 0 0 0 0 0");
    kmx_set_chain_cnt(7, path, 3);
    EXPECT_EQ(get(path), "0 0 1 0 0 0 0 3");
    EXPECT_FALSE(kmx_check_cnt(7, 4, path));
    EXPECT_TRUE(kmx_check_cnt(7, 3, path));
    EXPECT_TRUE(kmx_check_cnt(7, 2, path));
    kmx_cnt_inc(8, path);  // no such slot: the file is left alone
    kmx_cnt_inc(-1, path);
    EXPECT_EQ(get(path), "0 0 1 0 0 0 0 3");
    EXPECT_EQ(kmx_get_chain_cnt(9, path), 0);
    kmx_clear_cnt(path);
    EXPECT_EQ(get(path), "0 0 0 0 0 0 0 0");
    // A counter at the top of int stays there; the others still count.
    kmx_set_chain_cnt(4, path, 2147483646);
    kmx_cnt_inc(4, path);
    kmx_cnt_inc(4, path);
    kmx_cnt_inc(5, path);
    EXPECT_EQ(get(path), "0 0 0 0 2147483647 1 0 0");
}

TEST(CounterFile, ShortFileReadsZerosForMissingSlots) {
    char path[] = "/tmp/cnt_short";
    put(path, "1 2 3");
    log_capture_clear();
    EXPECT_EQ(kmx_get_chain_cnt(2, path), 3);
    EXPECT_EQ(kmx_get_chain_cnt(5, path), 0);
    EXPECT_TRUE(log_contains("Error! chain num != KMX_CONFIG_MAX_CHAIN_NUM!"));
}

TEST(CounterFile, ConcurrentIncrementsAreAllKept) {
    char path[] = "/tmp/cnt_threads";
    unlink(path);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([&] {
            for (int i = 0; i < 25; i++) kmx_cnt_inc(1, path);
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(kmx_get_chain_cnt(1, path), 100);
}

TEST(Standby, FirstCharacterOne) {
    FakeShell &sh = fake_shell();
    sh.reset();
    sh.answer("/sbin/fw_printenv -n standby", "1\n");
    EXPECT_TRUE(kmx_get_standby_env());
    sh.reset();
    sh.answer("/sbin/fw_printenv -n standby", "0\n");
    EXPECT_FALSE(kmx_get_standby_env());
    sh.reset();
    sh.answer("/sbin/fw_printenv -n standby", "");
    EXPECT_FALSE(kmx_get_standby_env());
    sh.reset();
}

}  // namespace
