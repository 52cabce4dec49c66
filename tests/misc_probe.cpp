// Runs library functions inside an emulated machine for the end-to-end
// tests and prints what they gave.
//   kmx-misc-probe wd       watchdog queue messages from the mining process
//   kmx-misc-probe sysinfo  addresses, versions and U-Boot round trips
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "module/kmx_wd.h"
#include "platform/kmx_platform.h"

namespace {

int watchdog_messages() {
    g_cgminer_pid = getpid();
    sys_platform_debug_init(2);
    sys_platform_init(4, 0, 3, 80);
    // Before the queue is open: nothing may be sent.
    kmx_chain_power_down(0);
    kmx_wd_client_init();
    wd_msg_data t;
    memset(&t, 0, sizeof t);
    t.chain_id = 2;
    t.tmp_lo = -5;
    t.tmp_hi = 87;
    t.tmp_avg = 61.5f;
    t.last_update = 0x0102030405060708ull;
    kmx_wd_send_msg(WD_MSG_CHAIN_TEMP, &t);
    g_poweron_flag = true;
    kmx_wd_chain_shutdown(2, 2);
    printf("poweron_flag %d state %d\n", int(g_poweron_flag), kmx_wd_get_state(2));
    return 0;
}

void print_uboot(const char *key) {
    char buf[64];
    bool ok = misc_get_uboot_env(key, buf, sizeof buf);
    printf("get %s %d [%s]\n", key, int(ok), buf);
}

int sysinfo() {
    unsigned char mac[32] = "", ip[50] = "", ver[64] = "";
    char fw[64] = "";
    printf("mac %d %s\n", int(kmx_get_mac(mac)), mac);
    printf("ip %d %s\n", int(kmx_get_ip(ip)), ip);
    printf("fwver %d %s\n", kmx_get_fwver_from_etc(fw), fw);
    printf("version %d %s\n", int(kmx_get_version_from_env(ver, sizeof ver)), ver);
    char buf[64];
    printf("set %d\n", int(misc_set_uboot_env("rootfs_fail_cnt", "3", buf, sizeof buf)));
    print_uboot("rootfs_fail_cnt");
    printf("set %d\n", int(misc_set_uboot_env("note", "a b;reboot $(reboot) 'q'", buf, sizeof buf)));
    print_uboot("note");
    printf("set %d\n", int(misc_set_uboot_env("x;reboot", "1", buf, sizeof buf)));
    print_uboot("unset_name");
    printf("lock %d\n", int(kmx_read_lock()));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "wd") == 0) return watchdog_messages();
    if (argc > 1 && strcmp(argv[1], "sysinfo") == 0) return sysinfo();
    fprintf(stderr, "usage: %s wd|sysinfo\n", argv[0]);
    return 2;
}
