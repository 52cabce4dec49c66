// Chain checks: every chip's clock, PLL lock, temperature and voltage
// (check_t_v), the voltages alone after a failure (check_chip_voltage), the
// good-core counts, the chip-type guess after a failed detection and the
// result lines of a scan point.
#include "module/bc_checks.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "drv/bc_links.h"
#include "module/bc_chain.h"
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/bc_steps.h"
#include "module/chip_reg.h"
#include "module/ddr_phy.h"
#include "module/test_log.h"
#include "os/os.h"

float temp_verdict(float degrees) {
    if (degrees > BC_TEMP_MAX) return 9999.0f;
    if (degrees < BC_TEMP_MIN) return -9999.0f;
    return degrees;
}

bool has_volt_limits(int chip_type) {
    return chip_type == 0 || chip_type == 10 || chip_type == 13 || chip_type == 14 || chip_type == 15;
}

bool volt_out_of_limits(int chip_type, float volts, float min_volts) {
    return has_volt_limits(chip_type) && (volts > BC_VOLT_MAX || volts < min_volts);
}

bool is_wide_type(int chip_type) { return chip_type == 0 || chip_type == 10 || chip_type == 14 || chip_type == 15; }

float scan_hash_rate(int chip_type, int chips, int freq, int cores, float job_err_rate) {
    const float ok = 1.0f - job_err_rate / 100.0f;
    if (is_wide_type(chip_type)) return float(chips) * (float(freq) / 2.0f * float(cores) * 4.0f) * ok / 1000000.0f;
    if (chip_type == 1) return float(freq) / 2.0f * 0.00426f * float(chips) * ok;
    return 0.0f;
}

namespace {

constexpr int kTries = 5;
constexpr int kMaxChips = 170;
const char *const kDashes = "----------------------------------------------------------------------\n";

int chips_of(const bc_chain &c) { return std::clamp(c.chip_num, 0, kMaxChips); }

bool read_cfg(int chain, int chip, uint8_t img[12]) {
    for (int i = 0; i < kTries; i++) {
        memset(img, 0, 12);
        if (kmx_cmd_read_register(chain, chip, img, 12)) return true;
    }
    return false;
}

void cmd_failed(bc_chain &c, int chip, const char *fmt, int chain) {
    c.cmd_return_failed = 1;
    c.failing_chip = uint8_t(chip);
    test_logf(5, TL_PLAIN, fmt, chain, chip);
}

// The chip's sensor divider for its clock, then its command-0D register.
bool read_reg0d(int chain, int chip, int freq, int chip_type, uint8_t reply[12]) {
    uint8_t img[12];
    tsadc_divider_image(freq, chip_type, img);
    for (int i = 0; i < kTries; i++) {
        memset(reply, 0, 12);
        if (kmx_cmd_read_write_reg0d(chain, chip, img, 12, reply)) return true;
    }
    return false;
}

void decode(int chain, const uint8_t img[12], int chip_type, cfg_fields *f) {
    memset(f, 0, sizeof *f);
    parse_cfg_reg(chain, img, f, unsigned(chip_type));
}

// The chip's configuration register, decoded; a chip that never answers
// fails the chain's commands with its number.
bool read_chip_cfg(int chain, bc_chain &c, int k, cfg_fields *f) {
    uint8_t img[12];
    if (!read_cfg(chain, k, img)) {
        cmd_failed(c, k, "chain%u: chip%u CMD 0A fail! \n", chain);
        return false;
    }
    decode(chain, img, int(c.chip_type), f);
    return true;
}

// The chip's command-0D register after its sensor divider, decoded; a chip
// that never answers fails the chain's commands with its number.
bool read_chip_0d(int chain, bc_chain &c, int k, int freq, int type, reg0d_fields *d) {
    uint8_t r[12];
    if (!read_reg0d(chain, k, freq, type, r)) {
        cmd_failed(c, k, "chain%d: chip%d CMD 0D fail! \n", chain);
        return false;
    }
    *d = reg0d_fields{};
    parse_reg0d(chain, r, d, unsigned(type));
    return true;
}

void stats_lines(int chain, bc_chain &c, bool print) {
    const int n = chips_of(c);
    // The statistics read as many values as the record's chip count says.
    std::vector<float> t(BC_MAX_CHIPS, 0.0f), v(BC_MAX_CHIPS, 0.0f);
    for (int i = 0; i < n; i++) t[size_t(i)] = c.chips[i].temp, v[size_t(i)] = c.chips[i].volt;
    bc_stat st{}, sv{};
    kmx_stat_chain_temp(t.data(), &st, chain);
    kmx_stat_chain_volt(v.data(), &sv, chain, int(c.chip_type));
    c.temp_max = st.highest, c.temp_min = st.lowest, c.temp_avg = st.average;
    c.volt_max = sv.highest, c.volt_min = sv.lowest, c.volt_avg = sv.average;
    if (!print) return;
    test_log(3, TL_PLAIN, kDashes);
    test_logf(3, TL_PLAIN, "chain%0d: T Max: %5.1f\tMin: %5.1f\tAVG: %5.1f\tDELTA: %0.1f\n", chain, double(st.highest),
              double(st.lowest), double(st.average), double(st.highest - st.lowest));
    test_logf(3, TL_PLAIN, "chain%0d: V Max: %5.3f\tMin: %5.3f\tAVG: %5.3f\tDELTA: %0.0fmv\n", chain, double(sv.highest),
              double(sv.lowest), double(sv.average), double((sv.highest - sv.lowest) * 1000.0f));
    test_log(3, TL_PLAIN, kDashes);
}

// Temperature pass; ends at the first chip out of range or unanswered.
// Type-8 chips carry no sensor in their configuration register: their
// temperature is the sensor value of their 0D register.
void temperature_pass(int chain, bc_chain &c, bool print) {
    if (!config_tv_sensor(chain, 0, 0)) return;
    const int type = int(c.chip_type);
    for (int k = 1; k <= chips_of(c); k++) {
        cfg_fields f;
        if (!read_chip_cfg(chain, c, k, &f)) return;
        bc_chip &chip = c.chips[k - 1];
        chip.good_cores = f.cores;
        chip.pll_lock = uint8_t(f.pll_lock);
        unsigned sensor = f.sensor;
        if (type == 8) {
            reg0d_fields d;
            if (!read_chip_0d(chain, c, k, f.pll_freq, type, &d)) return;
            sensor = d.sensor;
        }
        if (!print) continue;
        const float t = kmx_temp_to_centigrade(chain, int(sensor), type);
        const float verdict = temp_verdict(t);
        chip.temp = verdict;
        if (verdict == 9999.0f) {
            c.temp_out_of_range = 1;
            test_log(2, TL_PLAIN, "[Danger]:chip temp exceed 100 Celsius !!!\n");
            return;
        }
        if (verdict == -9999.0f) {
            // A chip too cold to read is as unusable as a hot one.
            c.temp_out_of_range = 1;
            test_log(2, TL_PLAIN, "[Danger]:chip temp below -40 Celsius !!!\n");
            return;
        }
        c.temp_out_of_range = 0;
    }
}

// The four memory-PLL lock registers of a type-13 chip; false when one
// reads 0.
bool memory_plls_locked(int chain, int chip, uint32_t locks[4]) {
    bool all = true;
    for (int i = 0; i < 4; i++) {
        locks[i] = ddr_phy_read(chain, chip, DDR_CHANNELS[i], 0x35);
        all = all && locks[i] != 0;
    }
    return all;
}

// The voltage pass ends at chip k for a fault of its own: 4 PLL unlocked,
// 10 no answer.
void volt_pass_stopped(bc_chain &c, int k, int code) {
    c.volt_stop_chip = uint8_t(k);
    c.volt_stop_code = uint8_t(code);
}

// Voltage pass with the lock and limit checks; ends at the first bad chip.
void voltage_pass(int chain, bc_chain &c, bool print) {
    const int type = int(c.chip_type);
    c.volt_stop_chip = c.volt_stop_code = 0;
    for (int k = 1; k <= chips_of(c); k++) {
        cfg_fields f;
        if (!read_chip_cfg(chain, c, k, &f)) return volt_pass_stopped(c, k, 10);
        bc_chip &chip = c.chips[k - 1];
        chip.pll_lock = uint8_t(f.pll_lock);
        float volt = float(kmx_volt_to_mV(chain, f.sensor, type)) / 1000.0f;
        reg0d_fields d;
        if (!read_chip_0d(chain, c, k, f.pll_freq, type, &d)) return volt_pass_stopped(c, k, 10);
        if (type == 8) volt = float(kmx_volt_to_mV(chain, d.sensor, type)) / 1000.0f;
        chip.volt = volt;
        chip.volt_read = 1;
        bool locked = chip.pll_lock != 0;
        if (type == 13 && print) {
            uint32_t p[4];
            const bool mem = memory_plls_locked(chain, k, p);
            // The memory PLLs run only once the system clock is up.
            if (f.pll_freq >= 31 && !mem) locked = false, chip.pll_lock = 0;
            test_logf(2, TL_PLAIN, "%03d\t%04d\t%02d\t%1d\t%1d\t%1d\t%1d\t%1d\t%5.1f\t%5.3f\n", k, f.pll_freq, f.cores,
                      f.pll_lock, p[0] != 0, p[1] != 0, p[2] != 0, p[3] != 0, double(chip.temp), double(volt));
        } else if (print) {
            test_logf(2, TL_PLAIN, "%03d\t%04d\t%02d\t%1d\t%1d\t%1d\t%5.1f\t%5.3f\t%d\n", k, f.pll_freq, f.cores, f.pll_lock,
                      d.aux_pll_lock, d.osc, double(chip.temp), double(volt), d.divider);
        }
        if (!locked) {
            c.pll_unlocked = 1;
            return volt_pass_stopped(c, k, 4);
        }
        c.pll_unlocked = 0;
        if (volt_out_of_limits(type, volt, c.feat.min_chip_volt)) c.volt_out_of_range = 1;
    }
}

}  // namespace

int check_t_v(int chain, bool print, int mode) {
    bc_chain *cp = bc_chain_rec(chain);
    if (!cp) {
        test_logf(5, TL_PLAIN, "chain%d: no chain record to check\n", chain);
        return 0;
    }
    bc_chain &c = *cp;
    if (mode != TEST_MODE_PARALLEL) read_iic_power(chain);
    test_logf(3, TL_PLAIN, "chain%d: check t v\n", chain);
    if (print) {
        test_log(2, TL_PLAIN, kDashes);
        test_log(2, TL_PLAIN,
                 c.chip_type == 13 ? "ChipID\tSysClk\tCore\tMPll\tP0Pll\tP1Pll\tP2Pll\tP3Pll\tT_Sens\tV_Sens\n"
                                   : "ChipID\tSysClk\tCore\tMPll\tAPll\tOSC\tT_Sens\tV_Sens\tSens_div\n");
    }
    temperature_pass(chain, c, print);
    if (!config_tv_sensor(chain, 0, 1)) {
        c.cmd_return_failed = 1;
        c.failing_chip = 1;
        return 0;
    }
    voltage_pass(chain, c, print);
    stats_lines(chain, c, print);
    if (c.volt_spread_check) {
        const int n = chips_of(c);
        for (int i = 0; i < n; i++)
            if (c.chips[i].volt - c.volt_avg > 0.034f) c.volt_spread = 1, c.volt_group = uint8_t(i / 4);
    }
    if (c.cmd_return_failed || c.volt_out_of_range || c.temp_out_of_range) return 0;
    return c.pll_unlocked ? 0 : 1;
}

int check_chip_voltage(int chain, int chip_type) {
    bc_chain *cp = bc_chain_rec(chain);
    if (!cp) {
        test_logf(5, TL_PLAIN, "chain%d: no chain record to check\n", chain);
        return 0;
    }
    bc_chain &c = *cp;
    if (!config_tv_sensor(chain, 0, 1)) {
        c.cmd_return_failed = 1;
        c.failing_chip = 1;
        return 0;
    }
    test_log(3, TL_PLAIN, "Chip_id\tVolt \n");
    float lowest = 10.0f;
    int lowest_chip = 0;
    for (int k = 1; k <= chips_of(c); k++) {
        uint8_t img[12];
        float volt;
        if (chip_type == 8) {
            reg0d_fields d;
            if (!read_chip_0d(chain, c, k, c.cur_freq, chip_type, &d)) return 0;
            volt = float(kmx_volt_to_mV(chain, d.sensor, chip_type)) / 1000.0f;
        } else {
            if (!read_cfg(chain, k, img)) {
                cmd_failed(c, k, "chain%u: chip%u CMD 0A fail! \n", chain);
                return 0;
            }
            cfg_fields f;
            decode(chain, img, chip_type, &f);
            volt = float(kmx_volt_to_mV(chain, f.sensor, chip_type)) / 1000.0f;
        }
        c.chips[k - 1].volt = volt;
        c.chips[k - 1].volt_read = 1;
        test_logf(3, TL_PLAIN, " %3d\t%5.3f\n", k, double(volt));
        if (volt < lowest) lowest = volt, lowest_chip = k;
    }
    if (has_volt_limits(chip_type) && lowest < c.feat.min_chip_volt) {
        c.volt_out_of_range = 1;
        c.failing_chip = uint8_t(lowest_chip);
        test_logf(5, TL_PLAIN, "chain%d: chip%d volt(%5.3fV) \n", chain, lowest_chip, double(lowest));
        return 0;
    }
    return 1;
}

int count_good_cores(int chain) {
    bc_chain *cp = bc_chain_rec(chain);
    if (!cp) return 1;
    bc_chain &c = *cp;
    const int type = int(c.chip_type);
    const unsigned cores = c.feat.cores_per_chip;
    const unsigned minimum = cores * 3 / 10;
    unsigned total = 0, bad_sub = 0;
    for (int i = 0; i < chips_of(c); i++) {
        bc_chip &chip = c.chips[i];
        const unsigned good = chip.good_cores;
        // The verdict's own readings: the chips' registers may be rewritten
        // (and read again) before the report.
        chip.cores_low = !is_wide_type(type) && good < minimum;
        chip.judged_cores = uint16_t(good);
        if (chip.cores_low) c.chip_cores_low = 1;
        if (type == 13) bad_sub += unsigned(400 - chip.good_sub_cores);
        if (c.bist_fix_done && good < cores) c.cores_below_full_after_fix = 1;
        total += good;
    }
    c.total_good_cores = total;
    c.bad_sub_cores = bad_sub;
    test_logf(3, TL_PLAIN, "chain%d: total good core is %d\n", chain, int(total));
    const uint16_t board_min = uint16_t(unsigned(chips_of(c)) * 8u * cores / 10u);
    if (!is_wide_type(type) && total < board_min) c.board_cores_low = 1;
    return 1;
}

int begin_check(int chain) {
    test_logf(3, TL_PLAIN, "chain%d: Begin to Check ... \n", chain);
    kmx_cmd_bist_start(chain, 0);
    kos::sleep_s(1);
    kmx_cmd_bist_collect(chain, 0);
    kos::sleep_s(1);
    uint8_t img[12] = {};
    const bool read = kmx_cmd_read_register(chain, 1, img, 12);
    const int type = read && ((img[3] >> 4) & 0x7) == 5 ? 10 : 4;
    // The register images follow the type settled on, for the commands
    // that come after.
    build_reg_images(chain, type);
    kmx_cfg_tsadc_divider(chain, type == 10 ? 30 : 60, type);
    return type;
}

void print_scan_result(int chain, int machine_type, int vid, int freq) {
    (void)machine_type;
    const bc_chain *cp = bc_chain_rec(chain);
    if (!cp) return;
    const bc_chain &c = *cp;
    const int n = chips_of(c);
    const float power = read_iic_power(chain);
    const float hash = scan_hash_rate(int(c.chip_type), n, freq, c.feat.cores_per_chip, c.board_err_rate);
    const unsigned all = unsigned(c.feat.cores_per_chip) * unsigned(n);
    const float bist = all ? 100.0f - float(c.total_good_cores) * 100.0f / float(all) : 0.0f;
    // Chip types without a hash rule print 0 rather than a division by 0.
    const float per_hash = hash > 0.0f ? power / hash : 0.0f;
    test_logf(3, TL_PLAIN,
              "RESULT: chain%d\t vid\t PLL\t V_avg\t T_avg\t bist_err_rate\t job_err_rate\t iic_power\t Hash\t Power/Hash\n",
              chain);
    test_logf(3, TL_PLAIN, "RESULT: chain%d\t %3d\t %4d\t %5.3f\t %5.1f\t %7.3f\t %7.3f\t %5.1f\t %7.3f\t %7.3f\n", chain, vid, freq,
              double(c.volt_avg), double(c.temp_avg), double(bist), double(c.board_err_rate), double(power), double(hash),
              double(per_hash));
    print_chip_table(chain, vid, freq);
}

void print_chip_table(int chain, int vid, int freq) {
    const bc_chain *cp = bc_chain_rec(chain);
    if (!cp) return;
    const bc_chain &c = *cp;
    test_log(3, TL_PLAIN, "ChipID\tVID\tFreq\tVsensor\tTsensor\tCores\tS_BIST_ER\tERR_SUM\n");
    for (int i = 0; i < chips_of(c); i++) {
        const bc_chip &ch = c.chips[i];
        test_logf(3, TL_PLAIN, "%3d\t%3d\t%4d\t%5.3f\t%5.1f\t%2d\t%7.3f \t%d\n", i + 1, vid, freq, double(ch.volt),
                  double(ch.temp), ch.good_cores, double(ch.err_rate), ch.err_sum);
    }
}

int vid_offset_from_voltage(int chain, int expected_cv, int chips_per_group) {
    const bc_chain *cp = bc_chain_rec(chain);
    if (!cp) return 0;
    const int real = int(float(chips_per_group) * cp->volt_avg * 100.0f);
    const int gap = expected_cv - real;
    const int off = gap > 45 ? 4 : gap > 35 ? 3 : gap > 20 ? 2 : gap > 10 ? 1 : 0;
    test_logf(3, TL_PLAIN, "chain%d: expect_vol = %d\treal_voltage = %d \t vid_offset = %d\n", chain, expected_cv, real, off);
    return off;
}
