/* Starts the platform the way the mining program does and prints what
 * start-up found. Written in C: it also proves the library's C interface.
 * usage: kmx-platform-probe PLATFORM CHIP_TYPE CHAIN_NUM CHIP_NUM [LOG_LEVEL [SUBTYPE]] */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "module/kmx_wd.h"
#include "platform/kmx_platform.h"

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s PLATFORM CHIP_TYPE CHAIN_NUM CHIP_NUM [LOG_LEVEL [SUBTYPE]]\n", argv[0]);
        return 2;
    }
    g_cgminer_pid = getpid();
    if (argc > 6) g_miner_subtype = atoi(argv[6]); /* as the mining program sets it */
    sys_platform_debug_init(argc > 5 ? atoi(argv[5]) : 2);
    sys_platform_init(atoi(argv[1]), atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    printf("platform %d vid_type %d vin_sync %d vendor %s\n", g_platform, g_vid_type, g_vin_sync,
           g_vendor_str[g_vendor]);
    printf("chains %d:", g_chain_num);
    for (int i = 0; i < g_chain_num; i++) printf(" %d", g_chain_id[i]);
    printf("\n");
    fflush(stdout);
    if (!sys_platform_exit()) return 1;
    if (!sys_platform_exit()) return 1; /* the second call must be a no-op */
    printf("exit done\n");
    return 0;
}
