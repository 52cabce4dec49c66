#include "misc/kmx_misc.h"

#include "drv/soc_gpio.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "zynq/zynq_gpio.h"
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "hub/kmx_i2c.h"
#include "misc/kmx_errcode.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "zynq/zynq_chain.h"

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

namespace {

constexpr int ANY = -1;

// Combinations of VID type, chip type, subtypes and chip count that belong
// together; ANY matches every value, an empty subtype list every subtype.
struct VidRow {
    int vid_type;
    int chip_type;
    std::vector<int> subtypes;
    int chip_num;
};

const std::vector<VidRow> &vid_rows() {
    static const std::vector<VidRow> rows = {
        {3, 0, {}, 68},
        {5, 5, {3}, 164},
        {7, 0, {4}, 105},
        {7, 0, {20, 24}, 140},
        {7, 5, {1}, 93},
        {7, 5, {2}, 99},
#if KMX_LIB_REV >= 3
        {7, 5, {4, 66, 69}, 105},
#else
        {7, 5, {4, 66}, 105},
#endif
        {7, 5, {14, 18, 19, 21, 22, 25, 26, 27}, 140},
        {7, 5, {15}, 148},
        {7, 5, {16, 67}, 111},
        {7, 5, {17, 32}, 114},
        {7, 5, {64}, 70},
        {7, 5, {65, 68}, 74},
        {7, 6, {6}, ANY},
        {11, 0, {}, 63},
        {13, 169, {}, 14},
        {15, ANY, {}, ANY},
    };
    return rows;
}

bool row_matches(const VidRow &r) {
    if (r.vid_type != g_vid_type) return false;
    if (r.chip_type != ANY && r.chip_type != g_chip_type) return false;
    if (!r.subtypes.empty() && std::find(r.subtypes.begin(), r.subtypes.end(), g_miner_subtype) == r.subtypes.end())
        return false;
    return r.chip_num == ANY || r.chip_num == g_chip_num;
}

}  // namespace

extern "C" bool misc_check_vid_type(void) {
    for (const VidRow &r : vid_rows())
        if (row_matches(r)) return true;
    kmx_logf(5, "vidtype(%d) chiptype(%02X) and subtype(%02X) mismatching, chipnum=%d", g_vid_type, g_chip_type,
             g_miner_subtype, g_chip_num);
    char msg[128];
    snprintf(msg, sizeof msg, "vidtype:%d,chiptype:%d,subtype:%d,chipnum:%d", g_vid_type, g_chip_type,
             g_miner_subtype, g_chip_num);
    kmx_set_errcode(ERRCODE_INV_VIDTYPE, msg, false, 255, nullptr, 0);
    kmx_save_errcode();
    return false;
}

extern "C" int kmx_get_chip_tech(void) {
    if (in(g_chip_type, {3, 6, 7, 10, 11, 12})) return 1;
    if (in(g_chip_type, {0, 5, 9, 169})) {
        const int last = KMX_LIB_REV >= 3 ? 69 : 68;
        return g_miner_subtype >= 64 && g_miner_subtype <= last ? 2 : 0;
    }
    return -1;
}

extern "C" bool misc_check_power_supply(unsigned char chain_id) {
    if (!misc_vid_type_is_i2c()) return true;
    // Hundredths of a volt; a failed read (-1) counts as no supply.
    const float volt = kmx_i2c_get_voltage(chain_id);
    if (!kmx_get_i2c_psu(chain_id) || volt >= 1000.0f) return true;
    kmx_logf(5, "chain%d: no power supply (%.1fV)", chain_id, double(volt) / 100.0);
    get_psu_errorcode_on_i2c();
    char msg[64];
    snprintf(msg, sizeof msg, "%s %s %d", g_power_vendor, g_power_ver, g_power_errorcode);
    kmx_set_errcode(ERRCODE_PSU_LOW_VOLT, msg, false, chain_id, nullptr, 0);
    kmx_save_errcode();
    return false;
}

extern "C" char *misc_trim(char *str) {
    if (!str) return str;
    while (*str && isspace((unsigned char)*str)) str++;
    char *p = str;
    while (*p && !isspace((unsigned char)*p)) p++;
    while (*p) *p++ = '\0';
    return str;
}

extern "C" int misc_get_board_version(void) {
    const char *path = "/tmp/hwver";
    FILE *fp = fopen(path, "r");
    if (!fp) {
        kmx_logf(5, "open hwver file:%s failed! \n", path);
        kos::terminate(0);
    }
    char buf[9] = "";
    size_t n = fread(buf, 1, 8, fp);
    fclose(fp);
    buf[n] = '\0';
    if (strstr(buf, "B3")) {
        kmx_logf(2, "hardware version is B3 \n");
        return 3;
    }
    if (strstr(buf, "B13")) {
        kmx_logf(2, "hardware version is B13 \n");
        return 13;
    }
    kmx_logf(5, "unknown hardware version:%s! \n", buf);
    kos::terminate(0);
}

extern "C" int misc_get_miner_type(void) { return -1; }

namespace {
int log_leftovers(int n, const char *path) {
    if (n) kmx_logf(3, "removed %d unfinished copies of %s", n, path);
    return n;
}
}  // namespace

bool misc_write_owned_file(const char *path, std::string_view text) {
    log_leftovers(kos::remove_write_leftovers_once(path), path);
    return kos::write_file_atomic(path, text);
}

int misc_remove_write_leftovers(const char *path) {
    return log_leftovers(kos::remove_write_leftovers(path), path);
}
