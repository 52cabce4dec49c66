#include "misc/kmx_misc.h"

#include "drv/soc_gpio.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "zynq/zynq_gpio.h"

int g_miner_subtype = -1;

namespace {

bool in(int v, std::initializer_list<int> set) {
    for (int s : set)
        if (v == s) return true;
    return false;
}

int strap_line(int line) {
    zynq_gpio_init(line, 1);
    return zynq_gpio_read(line);
}

int strap_pad(int pad) {
    sarn_gpio_write(pad, 0, 1);
    return sarn_gpio_read(pad);
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
        case ZYNQ_HUB_B13: {
            const int l957 = strap_line(957), l943 = strap_line(943), l935 = strap_line(935), l956 = strap_line(956);
            return l943 * 8 + l957 * 4 + l935 * 2 + l956;
        }
        case SOC: {
            const int p161 = strap_pad(161), p144 = strap_pad(144), p145 = strap_pad(145), p146 = strap_pad(146);
            return p161 * 8 + p144 * 4 + p145 * 2 + p146;
        }
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
    if (g_platform != SOC) return 0;
    const int p160 = strap_pad(160), p159 = strap_pad(159);
    const int vendor = p160 * 2 + p159;
    // A pad that could not be read (-1) must not index the vendor names.
    return (vendor >= 0 && vendor <= 3) ? vendor : 0;
}

extern "C" int kmx_get_chip_tech(void) {
    switch (g_chip_type) {
    case 3: case 6: case 7: case 10: case 11: case 12:
        return 1;
    case 0: case 5: case 9: case 169: {
        const int top = g_kmx_lib_revision >= 3 ? 69 : 68;
        return g_miner_subtype >= 64 && g_miner_subtype <= top ? 2 : 0;
    }
    default:
        return -1;
    }
}

extern "C" uint64_t kmx_get_systime_ms(void) { return kos::mono_ms(); }

// The supply check proper comes with the supply monitoring; until then a
// chain's supply counts as good.
extern "C" bool misc_check_power_supply(int) { return true; }
