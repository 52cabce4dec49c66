/* Start-up's supply steps as the mining program runs them: sys_platform_init
 * then sys_init in the mining process, then what start-up learned about the
 * supply. A supply that never answers halts start-up for good.
 * usage: kmx-psu-probe [SUBTYPE [CHAIN_NUM]]   (subtype 1: supply on I2C) */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "hub/kmx_i2c.h"
#include "misc/kmx_misc.h"
#include "platform/kmx_platform.h"

int main(int argc, char **argv) {
    g_cgminer_pid = getpid();
    g_miner_subtype = argc > 1 ? atoi(argv[1]) : 1;
    sys_platform_debug_init(2);
    sys_platform_init(4, 0, argc > 2 ? atoi(argv[2]) : 3, 80);
    sys_init();
    printf("vid type %d, vin sync %d\n", g_vid_type, g_vin_sync);
    printf("supply vendor %s, firmware %s, error code %d\n", g_power_vendor, g_power_ver, g_power_errorcode);
    fflush(stdout);
    return sys_platform_exit() ? 0 : 1;
}
