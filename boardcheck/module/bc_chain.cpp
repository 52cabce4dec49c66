#include "module/bc_chain.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "drv/bc_hub.h"
#include "drv/bc_links.h"
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/test_log.h"
#include "os/os.h"

namespace {

void set_bit(uint32_t reg, int bit, int value) {
    const uint32_t v = Xil_Peripheral_In32(reg);
    Xil_Peripheral_Out32(reg, (value & 1) ? (v | 1u << bit) : (v & ~(1u << bit)));
}

bool s_fan_bypass = false;
int s_sensor_chain = -1;
int s_sensor_setting = 2;

const bc_features *features(int chain) {
    const bc_chain *c = bc_chain_rec(chain);
    return c ? &c->feat : nullptr;
}
uint8_t feature_byte(int chain, int i) {
    const bc_features *f = features(chain);
    return f ? f->feature[i] : 0;
}

}  // namespace

bool bc_chain_crc_check(int chain) { return feature_byte(chain, 2) != 0; }
bool bc_chain_manual_header(int chain) { return feature_byte(chain, 3) != 0; }
void bc_chain_mark_crc_error(int chain, int chip) {
    bc_chain *c = bc_chain_rec(chain);
    if (!c || c->crc_error) return;
    c->crc_error = 1;
    c->crc_error_chip = uint8_t(chip);
}

void hub_set_power_en(int chain, int value) {
    if (g_kmx_obj && (g_kmx_obj->flags & KMX_OBJ_I2C_PSU)) {
        set_power_on_i2c(chain, value);
        set_watchdog_time_i2c(600);
        kos::sleep_s(3);
    }
    set_bit(32, chain + 18, value);
}
void hub_set_start_en(int chain, int value) { set_bit(32, chain, value); }
void hub_set_reset(int chain, int value) { set_bit(32, chain + 9, value); }
void hub_set_led(int chain, int value) {
    if (value == 0 || value == 1) set_bit(36, chain, value);
}
int hub_get_plug(int chain) { return int((Xil_Peripheral_In32(40) >> chain) & 1); }
int hub_get_button() { return int((Xil_Peripheral_In32(40) >> 16) & 1); }
void hub_set_green_led(int on) { set_bit(36, 9, on ? 0 : 1); }
void hub_set_red_led(int on) { set_bit(36, 10, on ? 0 : 1); }

void hub_set_pwm(int fan, int period, int duty) {
    Xil_Peripheral_Out32(uint32_t(64 + 8 * fan), uint32_t(period));
    Xil_Peripheral_Out32(uint32_t(68 + 8 * fan), uint32_t(duty * (period / 100)));
    set_bit(8, fan, 1);
}

bool hub_set_vid_vid(int chain, int vid) {
    test_logf(2, TL_PLAIN, "%s() chain_id:%d vid:%d\n", "hub_set_vid_vid", chain, vid);
    // Each VID bit is two symbols: 7 then 1 for a one, 1 then 7 for a zero.
    uint32_t s[16];
    for (int i = 0; i < 8; i++) {
        const bool one = (vid >> i) & 1;
        s[i] = one ? 7 : 1;
        s[8 + i] = one ? 1 : 7;
    }
    uint32_t seq1 = 0;
    for (int i = 0; i < 8; i++) seq1 |= s[4 + i] << (4 * i);
    Xil_Peripheral_Out32(128, 25000);
    Xil_Peripheral_Out32(132, 0xFFu | s[0] << 16 | s[1] << 20 | s[2] << 24 | s[3] << 28);
    Xil_Peripheral_Out32(136, seq1);
    Xil_Peripheral_Out32(140, s[12] | s[13] << 4 | s[14] << 8 | s[15] << 12);
    Xil_Peripheral_Out32(156, 0x40050);
    Xil_Peripheral_Out32(16, 1u << chain);
    Xil_Peripheral_Out32(12, 1);
    kos::sleep_ms(100);
    return true;
}

// ---- sequences ---------------------------------------------------------------------

namespace {
struct Step {
    char line;  // 'p'ower, 's'tart, 'r'eset, 'b'oth start and reset
    int value;
};
const Step kSeq0[] = {{'r', 1}, {'p', 1}, {'r', 0}, {'s', 1}, {'r', 1}};
const Step kSeq1[] = {{'b', 1}, {'p', 1}, {'b', 0}, {'b', 1}};
const Step kSeq2[] = {{'p', 1}, {'s', 1}, {'r', 1}, {'r', 0}, {'r', 1}};
const Step kSeq3[] = {{'p', 1}, {'b', 1}};
const char *const kSeqName[] = {"chain%d: encore first mode\n", "chain%d: encore second mode\n",
                                "chain%d: encore third mode\n", "chain%d: encore fourth mode\n"};
}  // namespace

int zynq_chain_power_on(int chain, int encore_mode, int test_mode) {
    if (kmx_get_plug(chain) != 0 && test_mode != TEST_MODE_PARALLEL) {
        test_logf(3, TL_PLAIN, "chain %d >>> the board not inserted !!! \n", chain);
        return 0;
    }
    if (test_mode == TEST_MODE_PARALLEL || encore_mode < 0 || encore_mode > 3) encore_mode = 0;
    const Step *seq[] = {kSeq0, kSeq1, kSeq2, kSeq3};
    const size_t len[] = {5, 4, 5, 2};
    test_logf(2, TL_PLAIN, kSeqName[encore_mode], chain);
    for (size_t i = 0; i < len[encore_mode]; i++) {
        const Step &st = seq[encore_mode][i];
        switch (st.line) {
        case 'p': kmx_set_power_en(chain, st.value); break;
        case 's': kmx_set_start_en(chain, st.value); break;
        case 'r': kmx_set_reset(chain, st.value); break;
        default:
            kmx_set_start_en(chain, st.value);
            kmx_set_reset(chain, st.value);
        }
        kos::sleep_ms(500);
    }
    return 1;
}

int kmx_chain_power_down(int chain) {
    kmx_set_power_en(chain, 0);
    kos::sleep_s(1);
    kmx_set_reset(chain, 0);
    kmx_set_start_en(chain, 0);
    return 1;
}

void zynq_chain_hw_reset(int chain) {
    kmx_set_reset(chain, 0);
    kos::sleep_s(1);
    kmx_set_reset(chain, 1);
    kos::sleep_s(1);
}

void zynq_chain_power_on_all(int count, const uint8_t *chains) {
    for (int i = 0; i < count; i++) {
        kmx_set_power_en(chains[i], 1);
        kos::sleep_ms(5);
    }
    kos::sleep_s(5);
    for (int i = 0; i < count; i++) {
        kmx_set_reset(chains[i], 1);
        kos::sleep_ms(5);
    }
    kos::sleep_s(1);
    for (int i = 0; i < count; i++) {
        kmx_set_start_en(chains[i], 1);
        kos::sleep_ms(5);
    }
}

void zynq_chain_power_down_all(int count, const uint8_t *chains) {
    for (int i = 0; i < count; i++) kmx_set_power_en(chains[i], 0);
    kos::sleep_s(1);
    for (int i = 0; i < count; i++) {
        kmx_set_reset(chains[i], 0);
        kmx_set_start_en(chains[i], 0);
        kmx_set_led(chains[i], 1);
    }
}

int kmx_chain_preinit(int chain, int test_mode) {
    test_logf(3, TL_PLAIN, "chain%d: set spi speed %d\n", chain, 0);
    kmx_set_spi_speed(chain, 0);
    for (int encore = 0; encore < 4; encore++)
        for (int round = 0; round < 3; round++) {
            const int wait = 3 * (round + 1);
            test_logf(3, TL_PLAIN, "chain%d: power down\n", chain);
            kmx_chain_power_down(chain);
            kmx_set_vid(chain, 0);
            test_logf(3, TL_PLAIN, "chain%d: sleep(%d)\n", chain, wait);
            kos::sleep_s(unsigned(wait));
            zynq_chain_power_on(chain, encore, test_mode);
            uint8_t out[4] = {};
            if (!kmx_cmd_resetall(chain, out)) {
                test_logf(5, TL_PLAIN, "chain%d: RESET failed\n", chain);
                continue;
            }
            if (g_kmx_obj) g_kmx_obj->chip_type = out[0] >> 4;
            return 1;
        }
    test_logf(5, TL_PLAIN, "chain%d: failed in kmx_chain_preinit(), SHUTDOWN\n", chain);
    return 0;
}

void kmx_fan_speed_set(int fan, int duty) {
    unsigned d = 50;
    if (g_miner && g_miner->chip_regs_init) {
        d = unsigned(duty);
        const int first = g_miner->chain_num ? g_miner->chain_list[0] : 0;
        if (feature_byte(first, 4)) d = unsigned(100 - duty);
    }
    if (d > 100) {
        test_logf(5, TL_PLAIN, "error:fan duty:%d,so force fan duty to 100\n", int(d));
        d = 100;
    }
    kmx_set_pwm(fan, 20000, int(d));
}

void kmx_fanctrl_set_bypass(bool on) {
    s_fan_bypass = on;
    test_log(3, TL_PLAIN, on ? "fan ctrl BYPASS mode enabled\n" : "fan ctrl BYPASS mode disabled\n");
}

// ---- sensors -----------------------------------------------------------------------

float kmx_temp_to_centigrade(int chain, int raw, int chip_type) {
    const int t0 = feature_byte(chain, 0) == 0 ? 594 : chip_type == 15 ? 604 : 588;
    return float(t0 - raw) * 2.0f / 3.0f - 0.5f;
}

int kmx_volt_to_mV(int chain, int raw, int chip_type) {
    const int k = chip_type == 15 ? 1238 : feature_byte(chain, 0) ? 1248 : 1230;
    return (raw * k) >> 10;
}

namespace {
int chip_count(int chain) {
    const bc_chain *c = bc_chain_rec(chain);
    return c ? std::clamp(c->chip_num, 0, BC_MAX_CHIPS) : 0;
}

void stats(std::vector<int> v, int lo, int hi, size_t need, float scale, bc_stat *out) {
    std::sort(v.begin(), v.end(), std::greater<int>());
    long sum = 0;
    size_t valid = 0;
    int highest = 0;
    for (int x : v)
        if (x >= lo && x <= hi) {
            if (!valid) highest = x;
            sum += x;
            valid++;
        }
    if (v.empty() || valid < need) {
        out->highest = out->lowest = out->average = 9999;
        return;
    }
    out->highest = float(highest) / scale;
    out->lowest = float(v.back()) / scale;
    out->average = float(sum) / float(valid) / scale;
}
}  // namespace

void kmx_stat_chain_temp(const float *temps, bc_stat *out, int chain) {
    const int n = chip_count(chain);
    std::vector<int> v;
    for (int i = 0; i < n; i++) v.push_back(int(temps[i] * 10));
    stats(v, -400, 1250, size_t(n) / 2 + 1, 10.0f, out);
}

void kmx_stat_chain_volt(const float *volts, bc_stat *out, int chain, int chip_type) {
    const int n = chip_count(chain);
    std::vector<int> v;
    for (int i = 0; i < n; i++) v.push_back(int(volts[i] * 1000));
    stats(v, 1, 999, chip_type == 5 ? 1 : 7, 1000.0f, out);
}

// Setting 0 selects the temperature sensor, 1 the voltage sensor, in the
// chips' one encoding: byte 5 bits 1..0 = 0 and byte 6 bit 1 clear for
// temperature, 1 and set for voltage. The cache names the setting the chips
// of the last chain hold; it is stored only once every write went through.
int config_tv_sensor(int chain, int chip, int setting) {
    test_logf(1, TL_MINER, "Current sensor cfg is %0d\n", s_sensor_setting);
    if (chain != s_sensor_chain) s_sensor_setting = 2;
    s_sensor_chain = chain;
    if (setting == s_sensor_setting) {
        test_log(1, TL_MINER, "Ignore config sensor!\n");
        return 1;
    }
    test_logf(1, TL_MINER, "Start to config sensor to %0d !\n", setting);
    // Until the chips are known to hold the new setting nothing is cached.
    s_sensor_setting = 2;
    uint8_t img[12] = {};
    bool ok = false;
    for (int i = 0; i < 5 && !ok; i++) ok = kmx_cmd_read_register(chain, 1, img, 12);
    if (!ok) return 0;
    const bool volt = setting == 1;
    bool wrote = true;
    auto put = [&] {
        wrote = wrote && kmx_cmd_write_register(chain, chip, img, 12);
        kos::sleep_us(200);
    };
    img[7] &= uint8_t(~0x80);
    put();
    img[7] |= 0x80;
    put();
    img[6] |= 0x04;
    put();
    img[7] |= 0x20;
    put();
    img[5] = uint8_t((img[5] & ~0x3) | (volt ? 1 : 0));
    put();
    img[6] &= 0x7D;
    if (volt) img[6] |= 0x02;
    put();
    kos::sleep_ms(2);
    if (!wrote) {
        test_logf(5, TL_PLAIN, "chain%d: sensor select write failed\n", chain);
        return 0;
    }
    s_sensor_setting = setting;
    return 1;
}

void config_tv_sensor_forget(int chain) {
    if (chain == s_sensor_chain) s_sensor_setting = 2;
}

void tsadc_divider_image(int freq, int chip_type, uint8_t img[12]) {
    int d = (freq / 2) * 1000 / 25600;
    if (d == 0) d = 1;
    const uint8_t D = uint8_t(d);
    memset(img, 0, 12);
    if (chip_type == 10 || chip_type == 14 || chip_type == 15) {
        img[5] = D;
        img[6] = 0x02;
    } else if (chip_type == 13) {
        const uint8_t v[] = {D, 0x02, 0, 0, 0, 0x10, 0, 0x02};
        memcpy(img, v, sizeof v);
    } else {
        const uint8_t v[] = {0x02, 0x50, 0xA0, 0x06, 0x28, D, 0x03};
        memcpy(img, v, sizeof v);
    }
}

void kmx_cfg_tsadc_divider(int chain, int freq, int chip_type) {
    if (g_kmx_obj) g_kmx_obj->chip_type = chip_type;
    uint8_t img[12];
    tsadc_divider_image(freq, chip_type, img);
    uint8_t reply[12];
    if (kmx_cmd_read_write_reg0d(chain, 0, img, 12, reply))
        test_log(2, TL_PLAIN, "Write t/v sensor Value Success!\n");
    else
        test_log(5, TL_PLAIN, "Write t/v sensor Value Failed!\n");
}
