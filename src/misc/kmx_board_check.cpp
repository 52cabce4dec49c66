#include "misc/kmx_board_check.h"

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "hub/kmx_i2c.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "misc/kmx_pool.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

constexpr int kSlots = 8;
constexpr const char *kMd5List = "/etc/rootfs_backup_md5sum";
constexpr int kMaxRootfsFailures = 4;
constexpr uint64_t kFwverPeriodMs = 1800 * 1000;

// Reads and writes of a counter file each hold g_sync_err_lock; this one
// makes read-add-write a single step so concurrent increments are not lost.
std::mutex s_cnt_update_lock;

bool slot_ok(int chain_id) {
    if (chain_id >= 0 && chain_id < kSlots) return true;
    kmx_logf(5, "chain id %d out of range!\n", chain_id);
    return false;
}

template <typename Fn>
void update_cnt(int chain_id, char *file_path, Fn change) {
    if (!slot_ok(chain_id)) return;
    std::lock_guard<std::mutex> hold(s_cnt_update_lock);
    int arr[kSlots] = {0};
    get_cnt_array(arr, file_path);
    change(arr[chain_id]);
    set_cnt_array(arr, file_path);
}

// A U-Boot variable's value without the newline fw_printenv ends it with.
void read_env(const char *key, char *buf, int size) {
    buf[0] = '\0';
    misc_get_uboot_env(key, buf, size);
    buf[strcspn(buf, "\r\n")] = '\0';
}

bool one_of(const char *s, std::initializer_list<const char *> list) {
    for (const char *v : list)
        if (strcmp(s, v) == 0) return true;
    return false;
}

}  // namespace

extern "C" int kmx_get_chain_cnt(int chain_id, char *file_path) {
    if (!slot_ok(chain_id)) return 0;
    int arr[kSlots] = {0};
    get_cnt_array(arr, file_path);
    return arr[chain_id];
}

extern "C" void kmx_cnt_inc(int chain_id, char *file_path) {
    // A counter at the top of int stays there instead of wrapping negative.
    update_cnt(chain_id, file_path, [](int &c) {
        if (c < INT_MAX) c++;
    });
}

extern "C" void kmx_set_chain_cnt(int chain_id, char *file_path, int cnt) {
    update_cnt(chain_id, file_path, [cnt](int &c) { c = cnt; });
}

extern "C" bool kmx_check_cnt(int chain_id, int max_cnt, char *file_path) {
    return slot_ok(chain_id) && kmx_get_chain_cnt(chain_id, file_path) >= max_cnt;
}

extern "C" void kmx_clear_cnt(char *file_path) {
    int arr[kSlots] = {0};
    std::lock_guard<std::mutex> hold(s_cnt_update_lock);
    set_cnt_array(arr, file_path);
}

extern "C" bool kmx_get_standby_env(void) {
    char buf[32] = "";
    if (!misc_get_uboot_env("standby", buf, sizeof buf)) {
        kmx_logf(5, "failed to read standby flag, disable standby mode by default!\n");
        return false;
    }
    return buf[0] == '1';
}

extern "C" bool kmx_check_type_and_psuver(void) {
    FILE *fp = fopen("/etc/hwrevision", "r");
    if (!fp) return true;
    char buf[51] = "";
    size_t n = fread(buf, 1, 50, fp);
    fclose(fp);
    buf[n] = '\0';

    // "board type.suffix": the type stops at the dot, a blank or the line's
    // end, so a revision without a dot still yields its type.
    char board[51] = "", type[51] = "", suffix[51] = "";
    sscanf(buf, "%50s %50[^. \t\r\n].%50s", board, type, suffix);
    char ver_prefix[10] = "", ver_suffix[10] = "";
    sscanf(g_power_ver, "%9[^.].%9s", ver_prefix, ver_suffix);

    if (strcmp(g_power_vendor, "GP") != 0) return true;
    kmx_logf(5, "buf:%s, prefix:%s, type:%s, suffix:%s\n", klog::Outside::line(buf).c_str(),
             klog::Outside(board).c_str(), klog::Outside(type).c_str(), klog::Outside(suffix).c_str());
    kmx_logf(5, "psu_version:%s, ver_prefix:%s, ver_suffix:%s\n", klog::Outside(g_power_ver).c_str(),
             klog::Outside(ver_prefix).c_str(), klog::Outside(ver_suffix).c_str());

    if (one_of(type, {"rk9s", "rk9z", "n7a", "n7", "n7s", "pz3+"})) return one_of(ver_suffix, {"65", "66"});
    if (one_of(type, {"rk9h", "rk9hl"})) return one_of(ver_suffix, {"65", "66", "67", "71"});
    if (one_of(type, {"rk9hf", "rk9hm", "wm4su", "wm4hf", "wm4hu"})) return one_of(ver_suffix, {"67", "71"});
    if (one_of(type, {"rk9h+", "rk9hf+", "rk9hm+", "rk9hl+", "n7h+"})) return one_of(ver_suffix, {"69"});
    if (one_of(type, {"n7+"})) return one_of(ver_suffix, {"69", "70"});
#if KMX_LIB_REV >= 3
    if (one_of(type, {"n7+b", "n7+l", "n7+m"})) return one_of(ver_suffix, {"70"});
#else
    if (one_of(type, {"n7+b", "n7+l"})) return one_of(ver_suffix, {"70"});
#endif
    return false;
}

// Returns 0 when the file system passed (or could not be checked), 1 when
// the check is no longer made, -1 once the reboot into the other image has
// been requested.
extern "C" int kmx_check_rootfs_integrity(void) {
    char rst[128];
    char cnt_text[64];
    read_env("rootfs_fail_cnt", cnt_text, sizeof cnt_text);
    int cnt = 0;
    if (cnt_text[0] == '\0')
        misc_set_uboot_env("rootfs_fail_cnt", "0", rst, sizeof rst);
    else
        cnt = atoi(cnt_text);

    kmx_logf(5, "rootfs file corrupted  %d\n", cnt);
    if (cnt > kMaxRootfsFailures) {
        kmx_logf(5, "rootfs file corrupted over %d\n", kMaxRootfsFailures);
        return 1;
    }

    if (access(kMd5List, F_OK) == 0) {
        int st = kos::shell_status("busybox md5sum -c /etc/rootfs_backup_md5sum >/dev/null");
        misc_system("sync;echo 3 > /proc/sys/vm/drop_caches", rst, sizeof rst);
        // Only a checker that ran and said "mismatch" counts: a status that
        // could not be collected, or the shell's own "could not run" and
        // "killed by a signal" codes (126 and above), must not flip a
        // healthy board's image.
        if (st == -1 || !WIFEXITED(st) || WEXITSTATUS(st) >= 126) {
            kmx_logf(5, "rootfs check status unknown (%d), not counted\n", st);
            return 0;
        }
        if (WEXITSTATUS(st) == 0) {
            kmx_logf(5, " check rootfs file is ok\n");
            return 0;
        }
        kmx_logf(5, "some rootfs file corrupted\n");
    } else {
        kmx_logf(5, "%s file is not exsit\n", kMd5List);
    }

    char next[16];
    snprintf(next, sizeof next, "%d", cnt + 1);
    misc_set_uboot_env("rootfs_fail_cnt", next, rst, sizeof rst);

    char flag[128];
    read_env("image_flag", flag, sizeof flag);
    if (flag[0] == '\0') {
        kmx_logf(5, "can not get  image_flag\n");
        return 0;
    }
    const char *other = nullptr;
    switch (flag[0]) {
    case '1': other = "0"; break;
    case '0': other = "1"; break;
    case 'a': other = "b"; break;
    case 'b': other = "a"; break;
    default: kmx_logf(5, "get  image_flag %s not defined \n", klog::Outside(flag).c_str()); break;
    }
    if (other) misc_set_uboot_env("image_flag", other, rst, sizeof rst);
    misc_system("sync;reboot -f ", rst, sizeof rst);
    return -1;
}

namespace {

void compare_fwver_once() {
    // Both fields zeroed, so the comparison sees the texts only.
    char etc_fw[64] = {0};
    char env_fw[64] = {0};
    if (kmx_get_fwver_from_etc(etc_fw) != 0 ||
        !kmx_get_version_from_env(reinterpret_cast<unsigned char *>(env_fw), sizeof env_fw)) {
        kmx_logf(5, "read fw version failed!");
        return;
    }
    if (memcmp(etc_fw, env_fw, sizeof etc_fw) == 0) return;
    kmx_logf(5, "FW Version Conflict!etc_fw:%s env_fw:%s", klog::Outside(etc_fw).c_str(),
             klog::Outside(env_fw).c_str());
    char msg[160];
    snprintf(msg, sizeof msg, "etc_fw:%s env_fw:%s", etc_fw, env_fw);
    kmx_set_errcode(ERRCODE_FWVER_CONFLICT, msg, true, 255, nullptr, 0);
    kmx_save_errcode();
}

}  // namespace

// Runs at most once per 1800 s of monotonic time; the first call always runs.
extern "C" void kmx_compare_fwver(void) {
    static bool s_ran = false;
    static uint64_t s_last_ms = 0;
    pthread_mutex_lock(&g_fwver_scan_lock);
    const uint64_t now = kos::mono_ms();
    if (!s_ran || now - s_last_ms >= kFwverPeriodMs) {
        s_ran = true;
        s_last_ms = now;
        compare_fwver_once();
    }
    pthread_mutex_unlock(&g_fwver_scan_lock);
}

