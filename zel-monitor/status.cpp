// System-status checker: marks the boot as good in U-Boot, then every 90 s
// checks the miner, the update service, the network, memory and the local
// web login. A failed check is only logged; the watchdog goes on being fed,
// so a board without the web interface or with busy memory does not reset.
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace zelmon {

namespace {

constexpr const char *kStopLine = "zel-monitor will stop feed watchdog right away !\n";

std::string capture(const char *cmd, size_t limit) {
    std::string out;
    kos::shell_capture(cmd, out, limit);
    if (out.size() > limit) out.resize(limit);
    return out;
}

bool network_up() {
    for (int i = 0; i < 10; ++i) {
        kos::sleep_s(30);
        unsigned char ip[64] = "";
        if (kmx_get_ip(ip) && ip[0]) return true;
    }
    return false;
}

}  // namespace

bool kmx_check_process_exist(const char *process_name) {
    // Only the first 4 KiB of the process list are looked at.
    if (capture("ps\n", 4095).find(process_name) != std::string::npos) return true;
    kmx_logf(5, "%s  %d process:%s no exist!\n", __func__, __LINE__, process_name);
    return false;
}

bool kmx_check_free_mem(int threshold) {
    const std::string out = capture("free -m  |  awk  'NR==2 { print $3}'\n", 63);
    char *end = nullptr;
    const long used = strtol(out.c_str(), &end, 10);
    // No number at all (no free, odd output) is a failed check, not 0 MiB.
    if (end == out.c_str()) {
        kmx_logf(5, "%s  %d  used memory unknown: \"%s\" !\n", __func__, __LINE__, klog::Outside(out, 32).c_str());
        return false;
    }
    if (used < threshold) return true;
    kmx_logf(5, "%s  %d  used memory:%dM over than %dM !\n", __func__, __LINE__, int(used), threshold);
    return false;
}

bool kmx_check_web_good() {
    const std::string out = capture("curl -s -d \"username=plume&password=plume\" \"127.0.0.1/api/auth\"\n", 511);
    if (out.find("true") != std::string::npos) return true;
    kmx_logf(5, "%s  %d can not log in  web with plume account !\n", __func__, __LINE__);
    return false;
}

void update_system_status() {
    char flag[32] = "";
    misc_get_uboot_env("bootflag", flag, sizeof flag);
    if (!strchr(flag, '1')) run_shell("fw_setenv  bootflag  1;fw_setenv bootfails 0 \n");
}

namespace {

void status_check_cycle() {
    bool miner = false;
    for (int i = 0; i < 3 && !miner; ++i) {
        if (i > 0) kos::sleep_s(10);
        miner = kmx_check_process_exist("cgminer");
    }
    if (!miner) kmx_logf(5, "%s", kStopLine);

    if (!kmx_check_process_exist("swupdate")) {
        kmx_logf(5, "%s", kStopLine);
        return;
    }
    if (!network_up()) kmx_logf(5, "%s", kStopLine);
    if (!kmx_check_free_mem(180) || !kmx_check_web_good()) kmx_logf(5, "%s", kStopLine);
}

}  // namespace

void *thread_system_status_monitor(void *) {
    update_system_status();
    for (;;) {
        kos::sleep_s(90);
        status_check_cycle();
    }
}

}  // namespace zelmon
