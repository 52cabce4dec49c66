#include "module/bc_platform.h"

#include <cassert>
#include <cstdlib>

#include "drv/bc_hub.h"
#include "drv/bc_links.h"
#include "drv/bc_soc.h"
#include "module/bc_chain.h"
#include "module/bc_miner.h"
#include "module/test_log.h"
#include "os/os.h"

kmx_obj_t *g_kmx_obj = nullptr;

const uint32_t g_vid_map_table[6][32] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31},
    {1530, 1522, 1514, 1506, 1498, 1490, 1482, 1474, 1465, 1457, 1449, 1441, 1433, 1425, 1417, 1409,
     1401, 1393, 1385, 1377, 1369, 1361, 1353, 1345, 1336, 1328, 1320, 1312, 1304, 1296, 1288, 1280},
    {1524, 1513, 1502, 1492, 1481, 1470, 1460, 1449, 1438, 1428, 1417, 1406, 1396, 1385, 1374, 1364,
     1353, 1342, 1332, 1321, 1310, 1300, 1289, 1278, 1268, 1256, 1244, 1232, 1220, 1208, 1196, 1184},
    {1640, 1612, 1584, 1556, 1528, 1500, 1472, 1444, 1416, 1388, 1360, 1332, 1304, 1283, 1262, 1241,
     1220, 1212, 1204, 1196, 1188, 1180, 1172, 1164, 1152, 1146, 1140, 1132, 1124, 1117, 1108, 1100},
    {72, 76, 83, 90, 97, 103, 108, 115, 122, 128, 135, 140, 147, 153, 160, 165,
     172, 178, 185, 192, 197, 203, 210, 217, 222, 228, 235, 242, 249, 253, 255, 255},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104, 112, 120,
     128, 136, 144, 152, 160, 168, 176, 184, 192, 201, 210, 219, 228, 237, 246, 255},
};

namespace {

constexpr int kTypeCodes[] = {15, 3, 4, 7, 11, 10};


void Iic_init() { test_logf(2, TL_PLAIN, "%s()\n", "Iic_init"); }
void uart_init() {}

void missing(const char *fn) { test_logf(5, TL_PLAIN, "%s not register !\n", fn); }

}  // namespace

void init_hub_gpio() {
    if (g_kmx_obj->flags & KMX_OBJ_SOC_HUB) {
        bc_soc_init_hub_gpio();
        return;
    }
    Xil_Peripheral_Out32(4, 0);
    kos::sleep_s(1);
    Xil_Peripheral_Out32(4, 3);
}

void fill_hub_slots(kmx_obj_t &o) {
    const bool soc = o.flags & KMX_OBJ_SOC_HUB;
    o.set_power_en = soc ? soc_hub_set_power_en : hub_set_power_en;
    o.set_start_en = soc ? soc_hub_set_start_en : hub_set_start_en;
    o.set_reset = soc ? soc_hub_set_reset : hub_set_reset;
    o.set_led = soc ? soc_hub_set_led : hub_set_led;
    o.get_plug = soc ? soc_hub_get_plug : hub_get_plug;
    o.set_green_led = soc ? soc_hub_set_green_led : hub_set_green_led;
    o.set_red_led = soc ? soc_hub_set_red_led : hub_set_red_led;
    o.get_button = soc ? soc_hub_get_button : hub_get_button;
    o.set_pwm = soc ? soc_hub_set_pwm : hub_set_pwm;
}

int ctrl_board_type_index(int gpio_value) {
    for (int i = 0; i < int(sizeof kTypeCodes / sizeof kTypeCodes[0]); i++)
        if (kTypeCodes[i] == gpio_value) return i;
    return -1;
}

int sys_platform_init(int mode) {
    g_kmx_obj = static_cast<kmx_obj_t *>(calloc(1, sizeof(kmx_obj_t)));
    if (!g_kmx_obj) {
        fprintf(stderr, "assertion failed: g_kmx_obj != NULL\n");
        abort();
    }
    g_kmx_obj->flags &= uint8_t(~KMX_OBJ_SOC_HUB);
    hub_hardware_init();
    init_hub_gpio();
    Iic_init();
    uart_init();

    const int value = mode == TEST_MODE_SCAN ? 7 : get_ctrl_board_type_gpio();
    g_kmx_obj->vid_type = 255;
    const int index = ctrl_board_type_index(value);
    if (index >= 0) {
        g_kmx_obj->vid_type = uint32_t(index);
        test_logf(3, TL_PLAIN, "GPIO value: %x, Ctrl board/vid type: %x\n", value, index);
    }
    g_kmx_obj->vid_type = 5;
    test_logf(3, TL_PLAIN, "final vid type: %x\n", 5);
    if (index < 0) test_logf(5, TL_PLAIN, "Invalid ctrl board/vid type! GPIO value: %x\n", value);

    kmx_obj_t &o = *g_kmx_obj;
    fill_hub_slots(o);
    o.set_spi_speed = hub_set_spi_speed;
    o.cmd_reset = hub_cmd_reset;
    o.cmd_bist_start = hub_cmd_bist_start;
    o.cmd_bist_collect = hub_cmd_bist_collect;
    o.cmd_bist_fix = hub_cmd_bist_fix;
    o.cmd_write_register = hub_cmd_write_register;
    o.cmd_read_register = hub_cmd_read_register;
    o.cmd_read_write_reg0d = hub_cmd_read_write_reg0d;
    o.cmd_write_job = hub_cmd_write_job;
    o.cmd_read_result = hub_cmd_read_result;
    o.cmd_auto_nonce = hub_cmd_auto_nonce;
    o.cmd_read_nonce = hub_cmd_read_nonce;
    o.cmd_config_core = hub_cmd_write_reg05;
    switch (o.vid_type) {
    case 0: o.set_vid = hub_set_vid_vid; break;
    case 4:
    case 5: o.set_vid = set_vid_uart; break;
    case 1:
    case 2:
    case 3:
        o.flags |= KMX_OBJ_I2C_PSU;
        o.set_vid = i2c_set_vid;
        iic_power_identify();
        kos::sleep_ms(500);
        set_watchdog_time_i2c(600);
        break;
    default: test_logf(5, TL_PLAIN, "unknown vid type :%d\n", int(o.vid_type));
    }
    if (o.vid_type < 6) o.vid_map = g_vid_map_table[o.vid_type];
    kmx_fan_speed_set(0, 50);
    kmx_fan_speed_set(1, 50);
    return 1;
}

// ---- front functions -----------------------------------------------------------

#define FRONT_VOID(slot, ...)                      \
    do {                                           \
        if (g_kmx_obj && g_kmx_obj->slot)          \
            g_kmx_obj->slot(__VA_ARGS__);          \
        else                                       \
            missing(__func__);                     \
    } while (0)
#define FRONT(slot, none, ...) \
    return (g_kmx_obj && g_kmx_obj->slot) ? g_kmx_obj->slot(__VA_ARGS__) : (missing(__func__), none)

// Power and reset lines make the chips forget their sensor selection.
void kmx_set_power_en(int chain, int value) {
    config_tv_sensor_forget(chain);
    FRONT_VOID(set_power_en, chain, value);
}
void kmx_set_start_en(int chain, int value) { FRONT_VOID(set_start_en, chain, value); }
void kmx_set_reset(int chain, int value) {
    config_tv_sensor_forget(chain);
    FRONT_VOID(set_reset, chain, value);
}
void kmx_set_led(int chain, int value) { FRONT_VOID(set_led, chain, value); }
int kmx_get_plug(int chain) { FRONT(get_plug, -1, chain); }
bool kmx_set_vid(int chain, int vid) {
    test_logf(3, TL_PLAIN, "chain%d: set vid to %d\n", chain, vid);
    FRONT(set_vid, false, chain, vid);
}
void kmx_set_green_led(int on) { FRONT_VOID(set_green_led, on); }
void kmx_set_red_led(int on) { FRONT_VOID(set_red_led, on); }
int kmx_get_button() { FRONT(get_button, -1); }
int kmx_set_spi_speed(int chain, int index) { FRONT(set_spi_speed, 0, chain, index); }
bool kmx_cmd_reset(int chain, int chip, const uint8_t pattern[2], uint8_t out[4]) {
    FRONT(cmd_reset, false, chain, chip, pattern, out);
}
// An empty slot answers -1: 0 would read as a passed BIST start.
int kmx_cmd_bist_start(int chain, int chip) { FRONT(cmd_bist_start, -1, chain, chip); }
bool kmx_cmd_bist_collect(int chain, int chip) { FRONT(cmd_bist_collect, false, chain, chip); }
bool kmx_cmd_bist_fix(int chain, int chip) { FRONT(cmd_bist_fix, false, chain, chip); }
bool kmx_cmd_write_register(int chain, int chip, const uint8_t *data, int len) {
    FRONT(cmd_write_register, false, chain, chip, data, len);
}
bool kmx_cmd_read_register(int chain, int chip, uint8_t *buf, int len) {
    FRONT(cmd_read_register, false, chain, chip, buf, len);
}
bool kmx_cmd_read_write_reg0d(int chain, int chip, const uint8_t *data, int len, uint8_t *reply) {
    FRONT(cmd_read_write_reg0d, false, chain, chip, data, len, reply);
}
bool kmx_cmd_write_job(int chain, int chip, const uint8_t *job, int len) {
    FRONT(cmd_write_job, false, chain, chip, job, len);
}
bool kmx_cmd_read_result(int chain, int chip, uint8_t *buf, int len) {
    FRONT(cmd_read_result, false, chain, chip, buf, len);
}
int kmx_cmd_auto_nonce(int chain, int on, int n) { FRONT(cmd_auto_nonce, 0, chain, on, n); }
bool kmx_cmd_read_nonce(int chain, uint8_t *buf, int n) { FRONT(cmd_read_nonce, false, chain, buf, n); }
bool kmx_cmd_config_core(int chain, int chip, const uint8_t *data, int len) {
    FRONT(cmd_config_core, false, chain, chip, data, len);
}
void kmx_set_pwm(int fan, int freq, int duty) {
    test_logf(2, TL_PLAIN, "set fan[%d] pwm freq[%d] duty[%d]\n", fan, freq, duty);
    FRONT_VOID(set_pwm, fan, freq, duty);
}

int kmx_set_vid_by_step(int chain, int from, int to) {
    const int dir = to > from ? 1 : -1;
    for (int v = from; v != to;) {
        v += dir;
        kmx_set_vid(chain, v);
        kos::sleep_ms(500);
    }
    return 1;
}

namespace {
bool reset_with(int chain, uint8_t a, uint8_t b, uint8_t out[4]) {
    const uint8_t p[2] = {a, b};
    uint8_t scratch[4];
    return kmx_cmd_reset(chain, 0, p, out ? out : scratch);
}
}  // namespace

bool kmx_cmd_resetall(int chain, uint8_t out[4]) { return reset_with(chain, 0x00, 0x00, out); }
bool cmd_reset_ffff(int chain, uint8_t out[4]) { return reset_with(chain, 0xFF, 0xFF, out); }
bool cmd_reset_eded(int chain, uint8_t out[4]) { return reset_with(chain, 0xED, 0xED, out); }
bool cmd_reset_bist(int chain, uint8_t out[4]) { return reset_with(chain, 0xA0, 0xA0, out); }
bool cmd_reset_dag(int chain, uint8_t out[4]) { return reset_with(chain, 0x24, 0x24, out); }

void chip_count_hook(int chain, int chips) { hub_spi_set_chipnum(chain, chips); }
int job_hook(int chain, int words, int us) { return rece_queue_ready_check(chain, words, us); }
void init_detected_chains(const uint8_t *chains, int count) {
    for (int i = 0; i < count; i++) hub_spi_init(chains[i], 170);
}
