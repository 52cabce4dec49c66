// zel-monitor: the monitor daemon that runs beside the mining program.
#include <cstdio>

#include "platform/kmx_platform.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        printf("usage: %s <button check interval in seconds>\n", argv[0]);
        return 0;
    }
    sys_platform_debug_init(2);
    sys_platform_init(ZYNQ_HUB_B13, 0, 0, 0);
    return 0;
}
