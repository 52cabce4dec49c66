#include "misc/kmx_misc.h"

#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

int g_miner_subtype = -1;

namespace {

bool in(int v, std::initializer_list<int> set) {
    for (int s : set)
        if (v == s) return true;
    return false;
}

}  // namespace

extern "C" int misc_get_vid_type(void) {
    if (g_chip_type == 10) return 12;
    if (g_chip_type == 169) return 15;
    const int st = g_miner_subtype;
    if (in(st, {1, 2, 4, 6, 32, 65, 67, 68}) || (st >= 14 && st <= 27) || (KMX_LIB_REV >= 3 && st == 69)) return 7;
    if (st == 3) return 5;
    if (st == 48) return 11;
    if (st == 81) return 3;
    if (st == 80) {
        switch (g_platform) {
        case ZYNQ_SPI_B3:
        case ZYNQ_SPI_B13:
        case ZYNQ_HUB_B3:
        case ZYNQ_HUB_B13:
        case SOC:
            // Strap lines arrive with the sysfs and pad GPIO back-ends.
            return 0;
        case OPI_H3:
            return -1;
        default:
            kmx_logf(5, "the platform is undefined !!!");
            kos::terminate(0);
        }
    }
    return 15;
}

extern "C" bool misc_vid_type_is_i2c(void) {
    return g_vid_type == 3 || g_vid_type == 4 || g_vid_type == 5 || g_vid_type == 7;
}

extern "C" int misc_get_vendor(void) {
    // The vendor straps exist on the SoC board only.
    return 0;
}
