#include "module/kmx_tvsensor.h"
#include "module/kmx_tvsensor_internal.h"

#include <atomic>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "drv/hub.h"
#include "drv/hub_spi.h"
#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "record/kmx_record.h"
#include "record/kmx_record_shared_internal.h"

// Chip type 5 may sit in any of the 8 slots, so every slot has a row; the
// rows past the first three start like them (row 3 stays zero as shipped).
uint8_t reg0d[8][12] = {
    {0, 0, 0, 0, 0, 0x3E, 0x02, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0x3E, 0x02, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0x3E, 0x02, 0, 0, 0, 0, 0}, {0},
    {0, 0, 0, 0, 0, 0x3E, 0x02, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0x3E, 0x02, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0x3E, 0x02, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0x3E, 0x02, 0, 0, 0, 0, 0}};
#define N5_ROW {0x02, 0x50, 0xA0, 0x06, 0x28, 0, 0x03, 0, 0, 0, 0, 0}
uint8_t reg0d_n5[8][12] = {N5_ROW, N5_ROW, N5_ROW, N5_ROW, N5_ROW, N5_ROW, N5_ROW, N5_ROW};
#undef N5_ROW
int reset_tsadc[8];
int s_tmp_read_group[8];
int g_err_chipnum;
namespace {
// g_err_chipnum per chain: chains read their voltages in parallel.
int s_err_chip_of_chain[8];
}  // namespace
int kmx_err_chip_of_chain(int chain_id) {
    return chain_id >= 0 && chain_id < 8 ? std::atomic_ref<int>(s_err_chip_of_chain[chain_id]).load() : 0;
}
bool g_tuning_over;


namespace {

bool chain_ok(int chain) { return chain >= 0 && chain < KMX_MAX_CHAIN; }
int chip_count() { return std::clamp(g_chip_num, 0, KMX_MAX_CHIP); }
bool subtype_64_68() { return g_miner_subtype >= 64 && g_miner_subtype <= 68; }
bool subtype_64_top() { return g_miner_subtype >= 64 && g_miner_subtype <= (g_kmx_lib_revision >= 3 ? 69 : 68); }

int sensor_raw(const uint8_t *reg) { return ((reg[7] << 8) | reg[8]) & 0x3FF; }

#define REG_FAIL(what) kmx_logf(5, "failed to " what " register, %s %s() %d", "kmx_tvsensor", __func__, __LINE__)

// One chip (chip_id > 0) or every chip (0) switched by the 7-write sequence;
// every step recomputes its byte from the image as first written. On failure
// *failed is the chip the failing command addressed (0: all of them).
bool switch_sensor(int chain, int chip, bool temp, int *failed) {
    uint8_t r[12] = {};
    const uint8_t src = uint8_t(chip == 0 ? 1 : chip);
    if (!kmx_cmd_read_register(uint8_t(chain), src, r, 12)) {
        REG_FAIL("read");
        *failed = src;
        return false;
    }
    if (subtype_64_68())
        r[9] &= uint8_t(~0x20);
    else if (chip == 0)
        r[9] |= 0x20;
    uint8_t w[12];
    memcpy(w, r, 12);
    const auto send = [&]() {
        if (!kmx_cmd_write_register(uint8_t(chain), uint8_t(chip), w, 12)) return false;
        if (chip == 0) kos::sleep_us(200);
        return true;
    };
    const uint8_t steps[7][2] = {{0, 0},
                                 {7, uint8_t(r[7] & 0x7F)},
                                 {7, uint8_t(r[7] | 0x80)},
                                 {6, uint8_t(r[6] | 0x04)},
                                 {7, uint8_t(r[7] | 0x20)},
                                 {5, uint8_t(temp ? (r[5] & 0xFC) : ((r[5] & 0xFC) | 0x01))},
                                 {6, uint8_t((r[6] & 0x79) | (temp ? 0x04 : 0x06))}};
    for (int i = 0; i < 7; i++) {
        if (i) w[steps[i][0]] = steps[i][1];
        if (!send()) {
            REG_FAIL("write");
            *failed = chip;
            return false;
        }
    }
    if (chip == 0) kos::sleep_ms(1);
    return true;
}

}  // namespace

extern "C" int kmx_temp_to_centigrade(int temp) {
    const int tech = kmx_get_chip_tech();
    const int t0 = tech == 0 ? 588 : tech == 2 ? 605 : 594;
    return int(float(t0 - temp) * 2.0f / 3.0f + 0.5f);
}

extern "C" int kmx_volt_to_mV(int volt) {
    const int tech = kmx_get_chip_tech();
    const int k = tech == 0 ? 1248 : tech == 2 ? 1238 : 1230;
    return (volt * k) >> 10;
}

namespace {

bool configure(int chain_id, int chip_id, bool is_tsensor, int *failed) {
    if (!chain_ok(chain_id)) return false;
    if (chip_id != 0 || g_chip_type == 5 || !g_detect_over || !g_tuning_over)
        return switch_sensor(chain_id, chip_id, is_tsensor, failed);
    for (int chip = 1; chip <= chip_count(); chip++)
        if (!switch_sensor(chain_id, chip, is_tsensor, failed)) return false;
    return true;
}

}  // namespace

extern "C" bool kmx_configure_tvsensor(int chain_id, int chip_id, bool is_tsensor) {
    int failed = 0;
    return configure(chain_id, chip_id, is_tsensor, &failed);
}

extern "C" void kmx_cfg_tsadc_divider(int chain_id, int chip_id, unsigned pll_clk) {
    if (!chain_ok(chain_id)) return;
    unsigned e = 900, lo = 650, hi = 1000;
    if (g_chip_type == 0 || g_chip_type == 5) {
        if (g_miner_subtype == 32)
            e = 2000, lo = 1900, hi = 2100;
        else if (subtype_64_top())
            e = 2600, lo = 2500, hi = 2700;
        else
            e = 1600, lo = 1300, hi = 1950;
    }
    unsigned d = unsigned(long(double(pll_clk >> 1) * 1000.0 / 16.0 / double(e) + 0.5)) % 256u;
    if (d == 0) d = 1;
    const unsigned clk = pll_clk * 1000u >> 5;
    const auto inside = [&](unsigned c) { return c >= lo && c <= hi; };
    if (!inside(clk / d) && inside(clk / (d + 1))) d++;
    uint8_t *row = g_chip_type == 5 ? reg0d[chain_id] : reg0d_n5[chain_id];
    const uint8_t before = row[5];
    row[5] = uint8_t(d);
    reset_tsadc[chain_id] = row[5] != before;
    if (subtype_64_top()) row[2] &= 0x7F;
    uint8_t reply[12] = {};
    if (kmx_cmd_read_write_reg0d(uint8_t(chain_id), uint8_t(chip_id), row, 12, reply)) {
        if (g_chip_type == 5) memcpy(row, reply, 12);
        kmx_logf(1, "Write t/v sensor Value Success!\n");
    } else {
        kmx_logf(1, "Write t/v sensor Value Failed!\n");
    }
}

namespace {

// Chip type 3 answers its temperature through register 0x0d.
bool read_type3(uint8_t chain, int chip, int *out) {
    uint8_t img[12] = {0, 0, 0xA0, 0, 0x34, 0x80, 0x02, 0, 0, 0x08, 0, 0x64};
    uint8_t reply[12] = {};
    if (!kmx_cmd_read_write_reg0d(chain, uint8_t(chip), img, 12, reply)) {
        kmx_logf(5, "failed to read temperature for chain%d chip%d", chain, chip);
        *out = KMX_NO_READING;
        return false;
    }
    *out = kmx_temp_to_centigrade(((reply[2] << 8) | reply[3]) & 0x3FF);
    return true;
}

bool read_reg_temp(uint8_t chain, int chip, int *out) {
    uint8_t reg[12] = {};
    if (!kmx_cmd_read_register(chain, uint8_t(chip), reg, 12)) {
        kmx_logf(5, "failed to read temperature for chain%d chip%d", chain, chip);
        *out = kmx_temp_to_centigrade(0);
        return false;
    }
    *out = kmx_temp_to_centigrade(sensor_raw(reg));
    kmx_logf(1, " read temperature for chain%d chip%d,%d", chain, chip, *out);
    return true;
}

}  // namespace

extern "C" int kmx_get_chip_temp(uint8_t chain_id, int *chip_temp) {
    if (!chain_ok(chain_id) || !chip_temp) return 1;
    for (int chip = 1; chip <= chip_count(); chip++) {
        const bool ok = g_chip_type == 3 ? read_type3(chain_id, chip, &chip_temp[chip - 1])
                                         : read_reg_temp(chain_id, chip, &chip_temp[chip - 1]);
        if (!ok) return chip;
    }
    return 0;
}

extern "C" int kmx_get_chip_temp_by_group(uint8_t chain_id, int *chip_temp, int group_cnt, bool read_all) {
    if (g_chip_type == 3) return kmx_get_chip_temp(chain_id, chip_temp);
    if (!chain_ok(chain_id) || !chip_temp) return 1;
    group_cnt = std::clamp(group_cnt, 1, 16);
    int &group = s_tmp_read_group[chain_id];
    if (group >= group_cnt) group = 0;
    // Chips are grouped by their 0-based index.
    for (int i = 0; i < chip_count(); i++) {
        if (!read_all && i % group_cnt != group) continue;
        if (!read_reg_temp(chain_id, i + 1, &chip_temp[i])) return i + 1;
    }
    group = read_all ? 0 : (group + 1) % group_cnt;
    return 0;
}

extern "C" bool kmx_get_chip_volt(uint8_t chain_id, int *chip_volt) {
    if (!chain_ok(chain_id) || !chip_volt) return false;
    for (int chip = 1; chip <= chip_count(); chip++) {
        uint8_t reg[12] = {};
        if (!kmx_cmd_read_register(chain_id, uint8_t(chip), reg, 12)) {
            kmx_logf(5, "failed to read voltage for chain%d chip%d", chain_id, chip);
            chip_volt[chip - 1] = 0;
            std::atomic_ref<int>(g_err_chipnum).store(chip);
            std::atomic_ref<int>(s_err_chip_of_chain[chain_id]).store(chip);
            return false;
        }
        chip_volt[chip - 1] = kmx_volt_to_mV(sensor_raw(reg));
    }
    std::atomic_ref<int>(g_err_chipnum).store(0);
    std::atomic_ref<int>(s_err_chip_of_chain[chain_id]).store(0);
    return true;
}

namespace {

// Sorted descending; lo is the lowest of all values, hi/avg over the valid.
template <class S, class T>
void summarise(const int *in, int min_valid, int lo_ok, int hi_ok, S &lo, S &hi, T &avg) {
    const int n = chip_count();
    std::vector<int> v(in, in + n);
    std::sort(v.begin(), v.end(), std::greater<int>());
    int valid = 0, top = KMX_NO_READING;
    long sum = 0;
    for (int x : v) {
        if (x < lo_ok || x > hi_ok) continue;
        if (!valid) top = x;
        valid++;
        sum += x;
    }
    if (n == 0 || valid < min_valid) {
        lo = hi = KMX_NO_READING;
        avg = KMX_NO_READING;
        return;
    }
    hi = S(top);
    lo = S(v.back());
    avg = T(float(sum) / float(valid));
}

}  // namespace

extern "C" void kmx_stat_chain_temp(int *chip_temp, c_temp *chain_temp) {
    summarise(chip_temp, chip_count() / 2 + 1, -39, 159, chain_temp->tmp_lo, chain_temp->tmp_hi,
              chain_temp->tmp_avg);
}

extern "C" void kmx_stat_chain_volt(int *chip_volt, c_volt *chain_volt) {
    summarise(chip_volt, 7, 1, 999, chain_volt->vol_lo, chain_volt->vol_hi, chain_volt->vol_avg);
}

extern "C" bool kmx_get_chain_temp(uint8_t chain_id, c_temp *chain_tmp) {
    // Only the FPGA hub runs the automatic sweep.
    if (!chain_ok(chain_id) || !(g_platform == ZYNQ_HUB_B3 || g_platform == ZYNQ_HUB_B13)) return false;
    if (g_chip_num <= 0) return false;
    enable_auto_cmd0a(chain_id, 100, 33, 24, 0, 0);
    const uint32_t base = HUB_SPI_BLOCK(chain_id);
    bool done = false;
    for (int i = 0; i < 1000 && !done; i++) {
        done = (Xil_SPI_In32(base + 368) >> 24) & 1;
        kos::sleep_us(100);
    }
    if (!done) {
        disable_auto_cmd0a(chain_id, 100, 33, 24, 0, 0);
        return false;
    }
    // Signed: a field below 0 degrees must not wrap the mean.
    const auto mean3 = [](uint32_t w) {
        int s = 0;
        for (int k = 0; k < 3; k++) s += kmx_temp_to_centigrade(int((w >> (10 * k)) & 0x3FF));
        return int16_t(s / 3);
    };
    chain_tmp->tmp_lo = mean3(Xil_SPI_In32(base + 360));
    chain_tmp->tmp_hi = mean3(Xil_SPI_In32(base + 364));
    chain_tmp->tmp_avg = float(kmx_temp_to_centigrade(int((Xil_SPI_In32(base + 368) & 0xFFFF) * 2 / unsigned(g_chip_num))));
    disable_auto_cmd0a(chain_id, 100, 33, 24, 0, 0);
    return true;
}

bool kmx_switch_to_volt_sensor(int chain_id) {
    int failed = 0;
    if (configure(chain_id, 0, false, &failed)) return true;
    // Sensors left in temperature mode answer a temperature code, which
    // reads as a plausible voltage (60 C as some 600 mV).
    kmx_logf(5, "chain%d: failed to switch the sensors to voltage mode", chain_id);
    if (chain_ok(chain_id)) {
        std::atomic_ref<int>(g_err_chipnum).store(failed);
        std::atomic_ref<int>(s_err_chip_of_chain[chain_id]).store(failed);
    }
    return false;
}

extern "C" bool kmx_chain_get_volt(uint8_t chain_id, c_volt *volt) {
    if (!chain_ok(chain_id) || !volt) return false;
    int mv[KMX_MAX_CHIP] = {};
    const bool ok = kmx_switch_to_volt_sensor(chain_id) && kmx_get_chip_volt(chain_id, mv);
    if (ok) {
        kmx_stat_chain_volt(mv, volt);
        kmx_record::shared_store(g_chains_info[chain_id].vol, int(volt->vol_avg));
        kmx_logf(3, "chain%d: Vmax=%d, Vmin=%d, Vavg=%.1f", chain_id, volt->vol_hi, volt->vol_lo,
                 double(volt->vol_avg));
    }
    kmx_configure_tvsensor(chain_id, 0, true);
    return ok;
}
