// zel-monitor: the monitor daemon that runs beside the mining program.
// Start-up fixes permissions, brings the library up on the hub platform
// without probing chains, reconciles the machine type, runs a pending supply
// upgrade and starts the worker threads; the main thread then only sleeps.
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "daemon.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

int s_interval;  // button check interval; its address goes to the button thread

const char *const kPermissionCommands[] = {
    "chmod 777 -R /config/",
    "chmod 600 /config/etc/ssh/ssh_host_dsa_key",
    "chmod 600 /config/etc/ssh/ssh_host_rsa_key",
    "chmod 600 /config/etc/ssh/ssh_host_ed25519_key",
    "chmod 600 /config/etc/ssh/ssh_host_ecdsa_key",
};

}  // namespace

int main(int argc, char **argv) {
    using namespace zelmon;
    if (argc < 2) {
        printf("USAGE:\n");
        printf("      %s interval.\n", klog::Outside(argv[0]).c_str());
        printf("      interval is the button func check interval\n");
        return 0;
    }
    // A second daemon would drive the same LEDs, watchdog and port 8001.
    if (take_instance_lock(kInstanceLock) < 0) return 1;
    // A peer that resets a connection must not end the daemon.
    signal(SIGPIPE, SIG_IGN);

    for (const char *cmd : kPermissionCommands) run_shell(cmd);
    // atoi's reading (a leading number, 0 for none), held within an int: a
    // larger number would wrap into any interval at all.
    const long long asked = strtoll(argv[1], nullptr, 10);
    s_interval = asked > INT_MAX ? INT_MAX : asked < INT_MIN ? INT_MIN : int(asked);

    sys_platform_debug_init(2);
    kmx_logf(5, "zel_monitor compile time:%s    %s\n", __DATE__, __TIME__);
    if (!sys_platform_init(ZYNQ_HUB_B13, 0, 0, 0)) {
        kmx_logf(5, "sys_platform_init: platform[%d] miner_type[%d] chain_num[%d] chip_num[%d].\n", ZYNQ_HUB_B13, 0,
                 0, 0);
        kos::terminate(1);
    }

    remove_owned_leftovers();
    reconcile_hwrevision("/etc/hwrevision", "/etc/map.conf");

    bool readable = false;
    const bool soc = board_is_soc("/etc/hwrevision", &readable);
    if (!soc) {
        start_detached(thread_system_status_monitor, nullptr, "system_status",
                       "thread_system_status_monitor create fail !\n");
        start_detached(thread_feed_watchdog, nullptr, "feed_dog", "thread_feed_watchdog create fail !\n");
        // The update-log keeper writes physical memory: only on a board
        // known not to be the SoC one.
        if (readable)
            start_detached(thread_record_swudate_log, nullptr, "update_log",
                           "thread_record_swudate_log create fail !\n");
        else
            kmx_logf(5, "board kind unknown, thread_record_swudate_log not started !\n");
    }

    run_pending_psu_upgrade("/opt/psu-upgrade/");

    start_detached(thread_get_stats, nullptr, "get_stats", "cgminer_stats threat create failled.\n");
    start_detached(thread_send_stats, nullptr, "send_stats", "cgminer_stats threat create failled.\n");
    start_detached(thread_socket_server, nullptr, "socket_server", "socket server threat create failled.\n");
    start_detached(thread_key_press_cnt, nullptr, "key_press_cnt", "key press thread create fail.\n");
    start_detached(thread_button_monitor, &s_interval, "button_monitor", "thread_button_monitor create failled.\n");
    start_detached(thread_net_mode_flag, nullptr, "net_mode_flag", "thread_net_mode_flag create fail !\n");
    start_detached(thread_check_net, nullptr, "check_net", "thread_check_net create fail !\n");
    start_detached(thread_file_bak, nullptr, "file_bak", "file_bak create fail !\n");

    for (;;) kos::sleep_s(5);
}
