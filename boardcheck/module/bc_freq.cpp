// Frequency and voltage choice of the chain under test: the working pair
// (fixed, default or typed), the scan and grading points, and the PLL ramp
// in steps of at most three table rows.
#include "module/bc_freq.h"

#include <cstdio>
#include <cstring>

#include "module/bc_chain.h"
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/bc_steps.h"
#include "module/chip_features.h"
#include "module/chip_reg.h"
#include "module/test_log.h"
#include "os/os.h"

namespace {

constexpr int kNoChain = 255;
constexpr int kPllTries = 5;
constexpr int kMaxGradePoints = 8;

// VID points: the first four entries of each row are used.
struct vid_row {
    int machine_types[2];
    uint16_t vids[4];
};
const vid_row kVidRows[17] = {
    {{11, -1}, {161, 166, 171, 177}}, {{5, -1}, {9, 12, 15, 18}},    {{12, 19}, {15, 18, 20, 23}},
    {{14, -1}, {23, 25, 27, 29}},     {{17, -1}, {7, 8, 9, 10}},      {{16, -1}, {8, 9, 11, 12}},
    {{21, 23}, {12, 13, 15, 16}},     {{22, -1}, {24, 26, 28, 30}},   {{26, -1}, {6, 7, 8, 9}},
    {{24, -1}, {14, 15, 16, 18}},     {{20, -1}, {10, 12, 13, 15}},   {{18, -1}, {7, 9, 11, 12}},
    {{27, -1}, {19, 22, 25, 28}},     {{28, -1}, {12, 13, 15, 18}},   {{29, -1}, {19, 22, 25, 28}},
    {{30, -1}, {15, 16, 18, 20}},     {{32, -1}, {0, 0, 0, 0}},
};

struct grade_point {
    float rate, freq;
    uint16_t vid;
};

// Program-wide state of the scan.
uint8_t s_point = 0;
bool s_raise = false;
int s_last_chain = kNoChain;
float s_best_rate = 999.9f;
// set_chain_pll: the chain of the last call and whether its SPI speed was
// already raised on the way up.
int s_pll_last_chain = kNoChain;
bool s_speed_raised = false;
grade_point s_grade[BC_MAX_CHAINS][kMaxGradePoints];

const machine_type_row *type_row(int machine_type) {
    if (machine_type < 0 || machine_type >= BC_MACHINE_TYPES) return nullptr;
    return &g_machine_types[machine_type];
}

int chip_type_of(int machine_type) {
    const machine_type_row *m = type_row(machine_type);
    return m ? int(m->chip_type) : -1;
}

pll_table table_for(int machine_type) {
    switch (chip_type_of(machine_type)) {
    case 0: case 1: case 8: case 14: case 15: return pll_table_get(1);
    case 5: case 6: case 7: case 10: case 12: return pll_table_get(2);
    case 13: return pll_table_get(3);
    default: return pll_table_get(1);
    }
}

// The row at or below the frequency: the row before the first row above it,
// row 0 when the frequency is below every row.
int row_at_or_below(const pll_table &t, float freq) {
    int i = 0;
    while (i < t.count && t.rows[i].freq <= freq) i++;
    return i > 0 ? i - 1 : 0;
}

// A number typed at a prompt, asked again while outside lo..hi. At the end
// of the input a default outside the range would be asked for ever: the
// range's end nearest to it is taken instead.
int prompt_in_range(int def, int lo, int hi) {
    for (;;) {
        const int v = read_console_number(def);
        if (v >= lo && v <= hi) return v;
        test_logf(3, TL_PLAIN, "Invalid frequency : %dMHz", v);
        if (feof(stdin)) {
            const int taken = v < lo ? lo : hi;
            test_logf(4, TL_PLAIN, "No more input: take %dMHz\n", taken);
            return taken;
        }
    }
}

// A value of the command line inside lo..hi, else the default with a warning.
int fixed_or_default(int value, int lo, int hi, int def, const char *bad, const char *good) {
    if (value < lo || value > hi) {
        test_logf(4, TL_PLAIN, bad, value, def);
        return def;
    }
    test_logf(3, TL_PLAIN, good, value);
    return value;
}

}  // namespace

int vid_row_index(int machine_type, int mode) {
    if (mode == TEST_MODE_PRE_FIN) return 0;
    for (int r = 0; r < 17; r++)
        for (int t : kVidRows[r].machine_types)
            if (t == machine_type) return r;
    return -1;
}

int vid_point_count(int machine_type, int mode) {
    if (mode == TEST_MODE_PRE_FIN || machine_type == MACHINE_TYPE_PARALLEL) return 1;
    const int r = vid_row_index(machine_type, mode);
    // A machine type without VID points still tests one point: with none
    // the scan would be done before anything ran and the board would pass.
    return r >= 0 ? 4 : 1;
}

int vid_point(int machine_type, int mode, int index) {
    const int r = vid_row_index(machine_type, mode);
    if (r < 0 || index < 0 || index > 3) return 0;
    return kVidRows[r].vids[index];
}

int pll_target_for(int machine_type, int freq) {
    const pll_table t = table_for(machine_type);
    if (!t.rows || t.count == 0) return freq;
    return int(t.rows[row_at_or_below(t, float(freq))].freq);
}

void freq_choice_reset() {
    s_point = 0;
    s_raise = false;
    s_last_chain = kNoChain;
    s_best_rate = 999.9f;
    s_pll_last_chain = kNoChain;
    s_speed_raised = false;
    memset(s_grade, 0, sizeof s_grade);
}

int input_parameters(int chain, int mode, int machine_type) {
    (void)chain;
    test_log(3, TL_SECTION, "input parameters");
    const machine_type_row *m = type_row(machine_type);
    if (!g_miner || !m) {
        test_logf(5, TL_PLAIN, "input parameters: no limits for machine type %d\n", machine_type);
        return 0;
    }
    const int def_freq = mode == TEST_MODE_GRADING ? m->freq_mode2 : m->freq_other;
    const int def_vid = mode == TEST_MODE_GRADING ? m->vid_mode2 : m->vid_other;
    int freq = def_freq, vid = def_vid;
    if (mode == TEST_MODE_SCAN) {
        test_logf(3, TL_PLAIN, "input start PLL frequency MHz(Rang %d ~ %d  default 900):\n", m->min_freq, m->max_freq);
        freq = prompt_in_range(900, m->min_freq, m->max_freq);
        test_logf(3, TL_PLAIN, "start PLL frequency: %dMHz", freq);
        test_logf(3, TL_PLAIN, "input end PLL frequency MHz(Rang %d ~ %d  default 1332):", m->min_freq, m->max_freq);
        const int end = prompt_in_range(1332, m->min_freq, m->max_freq);
        test_logf(3, TL_PLAIN, "end PLL frequency: %dMHz", end);
        test_log(3, TL_PLAIN, "input frequency step MHz(Rang 0 ~ 100  default 6):");
        const int step = prompt_in_range(6, 0, 100);
        g_miner->end_freq = uint16_t(end);
        g_miner->freq_step = uint16_t(step);
        vid = 156;
    } else if (g_bc_opts.fixed) {
        test_logf(3, TL_PLAIN, "input working PLL frequency MHz(Rang %d ~ %d  default 200):\n", m->min_freq, m->max_freq);
        freq = fixed_or_default(g_bc_opts.fixed_freq, m->min_freq, m->max_freq, def_freq,
                                "Invalid frequency : %dMHz Use default: %dMHz\n", "working PLL frequency: %dMHz\n");
        test_logf(3, TL_PLAIN, "input Working VID value(Rang %d ~ %d  default %d):\n", m->min_vid, m->max_vid, def_vid);
        vid = fixed_or_default(g_bc_opts.fixed_vid, m->min_vid, m->max_vid, def_vid, "Invalid VID: %d! Use default: %d\n",
                               "Working VID :%d\n");
    }
    g_miner->work_freq = uint16_t(freq);
    g_miner->work_vid = uint16_t(vid);
    g_miner->target_freq = uint16_t(pll_target_for(machine_type, freq));
    return 1;
}

int chain_current_freq(int chain, int chip_type) {
    uint8_t cfg[12] = {};
    const bc_chain *c = bc_chain_rec(chain);
    if (!c || !kmx_cmd_read_register(chain, 1, cfg, 12)) return -1;
    cfg_fields f = {};
    parse_cfg_reg(chain, cfg, &f, unsigned(chip_type));
    return f.pll_freq;
}

int get_freq_and_vid(int chain, int chip_type, int machine_type, int mode) {
    bc_chain *c = bc_chain_rec(chain);
    const machine_type_row *m = type_row(machine_type);
    if (!c || !g_miner || !m) {
        test_logf(5, TL_PLAIN, "chain%d: no frequency and vid for machine type %d\n", chain, machine_type);
        return 0;
    }
    const bool per_chain = chip_type == 1;
    const int points = vid_point_count(machine_type, mode);
    if (per_chain) {
        if (chain != s_last_chain) {
            s_point = 0;
            s_raise = false;
            if (mode == TEST_MODE_SCAN)
                test_logf(3, TL_PLAIN, "chain%d: Start scan frequency(%d ~ %d) and vid(%d)\n ", chain, g_miner->work_freq,
                          g_miner->end_freq, vid_point(machine_type, mode, 0));
            else
                test_logf(3, TL_SECTION, "chain%d: get frequency and vid", chain);
        }
    } else {
        test_log(3, TL_SECTION, "Miner: get frequency and vid\n");
    }
    const int read = chain_current_freq(chain, chip_type);
    const int current = read < 0 ? 0 : read;
    if (mode != TEST_MODE_SCAN) {
        c->cur_freq = uint16_t(current);
        c->target_freq = g_miner->target_freq;
    } else {
        // The previous point's result, with the VID and frequency it ran at.
        if (s_point > 0) print_scan_result(chain, machine_type, c->working_vid, c->cur_freq);
        c->cur_freq = uint16_t(current);
        if (current < g_miner->work_freq) {
            c->target_freq = g_miner->work_freq;
        } else if (current < g_miner->end_freq) {
            if (s_point == points) {
                c->target_freq = uint16_t(current + g_miner->freq_step);
                s_raise = true;
            } else {
                c->target_freq = uint16_t(current);
            }
        } else if (s_point == points) {
            s_raise = false;
        } else {
            c->target_freq = uint16_t(current);
        }
    }
    const bool scanning = mode == TEST_MODE_SCAN || mode == TEST_MODE_PARALLEL;
    c->scan_done = s_point == points && (!scanning || current >= g_miner->end_freq);

    if (s_raise) {
        s_raise = false;
        c->start_vid = uint8_t(vid_point(machine_type, mode, points - 1));
        c->working_vid = uint8_t(vid_point(machine_type, mode, 0));
    } else if (s_point == 0) {
        c->start_vid = uint8_t(c->target_freq < 300 ? m->prompt_vid : m->vid_mode2);
        c->working_vid = uint8_t((mode == TEST_MODE_PRE_FIN || mode == TEST_MODE_REPAIR) ? g_miner->work_vid
                                                                                      : vid_point(machine_type, mode, 0));
    } else {
        c->start_vid = uint8_t(vid_point(machine_type, mode, s_point - 1));
        c->working_vid = uint8_t(vid_point(machine_type, mode, s_point));
    }

    if (mode == TEST_MODE_GRADING) {
        if (per_chain) {
            if (s_point == 0) {
                s_best_rate = 999.9f;
            } else if (c->board_err_rate < s_best_rate) {
                s_best_rate = c->board_err_rate;
                c->best_err_rate = c->board_err_rate;
                c->gold_freq = float(current);
                c->gold_vid = uint16_t(vid_point(machine_type, mode, s_point - 1));
                c->grade = uint8_t(s_best_rate < 4.0f ? 0 : s_best_rate < 8.0f ? 1 : s_best_rate < 12.0f ? 2 : 3);
            }
        } else if (s_point > 0) {
            for (int i = 0; i < g_miner->chain_num; i++) {
                const int ch = g_miner->chain_list[i];
                const bc_chain *rc = bc_chain_rec(ch);
                if (rc)
                    record_grade_point(ch, points, s_point - 1, rc->board_err_rate, float(current),
                                       vid_point(machine_type, mode, s_point - 1));
            }
        }
    }

    if (!c->scan_done)
        s_point = uint8_t(s_point >= points ? 1 : s_point + 1);
    else
        s_point = 0;
    s_last_chain = chain;

    // The working VID of the point goes to the board's supply now: the
    // checks and the PLL ramp that follow run at the voltage chosen for it.
    if (c->working_vid <= 31 && !kmx_set_vid(chain, c->working_vid))
        test_logf(5, TL_PLAIN, "chain%d: set working vid %d failed\n", chain, c->working_vid);
    return 1;
}

void record_grade_point(int chain, int count, int index, float rate, float freq, int vid) {
    if (chain < 0 || chain >= BC_MAX_CHAINS || index < 0 || index >= kMaxGradePoints) return;
    if (count > kMaxGradePoints) count = kMaxGradePoints;
    s_grade[chain][index] = {rate, freq, uint16_t(vid)};
    if (index != count - 1) return;
    bc_chain *c = bc_chain_rec(chain);
    if (!c) return;
    float lowest = 100.0f;
    int low = 0;
    for (int i = 0; i < count; i++)
        if (s_grade[chain][i].rate < lowest) lowest = s_grade[chain][i].rate, low = i;
    // The first later point well above the lowest bounds the choice: the
    // point before it. Without one the last point is taken.
    int chosen = count - 1;
    for (int i = low + 1; i < count; i++)
        if (s_grade[chain][i].rate >= lowest + 2.0f) {
            chosen = i - 1;
            break;
        }
    const grade_point &p = s_grade[chain][chosen];
    c->best_err_rate = p.rate;
    c->gold_freq = p.freq;
    c->gold_vid = p.vid;
    c->grade = uint8_t(count - 1 - chosen);
}

int set_chain_pll(int chain, int chip, int machine_type, int current, int target) {
    test_logf(3, TL_PLAIN, "chain%d: set pll %7.2f\n", chain, double(target));
    if (chain != s_pll_last_chain) s_speed_raised = false;
    s_pll_last_chain = chain;
    bc_chain *c = bc_chain_rec(chain);
    if (!c || !c->img09_set) {
        test_log(5, TL_PLAIN, "FATAL ERROR: Please init cmd09 default value before cfg pll !!!\n");
        return 0;
    }
    const int chip_type = chip_type_of(machine_type);
    const pll_table t = table_for(machine_type);
    int row = row_at_or_below(t, float(current));
    if (current == target) {
        test_logf(2, TL_PLAIN, "start_freq = %7.2fMH\t target_pll = %7.2fMHz\n", double(current), double(target));
        return 1;
    }
    uint8_t cfg[12] = {};
    bool read = false;
    for (int i = 0; i < kPllTries && !read; i++) read = kmx_cmd_read_register(chain, chip, cfg, 12);
    if (!read) {
        c->pll_cfg_failed = 1;
        test_log(5, TL_PLAIN, "Failed: Configure PLL Failed!!!\n");
        return 0;
    }
    const bool speed_types = chip_type == 0 || chip_type == 10 || chip_type == 14 || chip_type == 15;
    const float goal = float(target);
    int ok = 1;
    for (;;) {
        int next = row;
        if (goal >= t.rows[row].freq) {
            for (int k = 1; k <= 3 && row + k < t.count && t.rows[row + k].freq <= goal; k++) next = row + k;
        } else if (goal < t.rows[0].freq) {
            next = 0;
        } else {
            next = row - 3 < 0 ? 0 : row - 3;
            for (int k = 1; k <= 3 && row - k >= 0; k++)
                if (t.rows[row - k].freq <= goal) {
                    next = row - k;
                    break;
                }
        }
        if (next == row) break;
        row = next;
        const bc_pll_row &r = t.rows[row];
        const uint32_t p = uint32_t(r.word) | uint32_t(r.div1) << 16 | uint32_t(r.div2) << 24;
        make_pll_word(chain, chip, unsigned(chip_type), unsigned(r.freq), p, cfg);
        if (chip_type == 13 || r.freq > 500.0f) cfg[9] &= uint8_t(~0x0C);
        bool written = false;
        for (int n = 1; n <= kPllTries && !written; n++) {
            test_logf(2, TL_PLAIN, "cmd09 chip %2d main pll %7.1f MHz, %2d times, %0d %0d %0d\n", chip, double(r.freq), n,
                      r.word, r.div1, r.div2);
            written = kmx_cmd_write_register(chain, chip, cfg, 12);
            if (!written && n < kPllTries) test_logf(4, TL_PLAIN, "Retry: Configure PLL retry %d times!\n", n);
        }
        if (!written) {
            c->pll_cfg_failed = 1;
            c->last_freq = r.freq;
            test_log(5, TL_PLAIN, "Failed: Configure PLL Failed!!!\n");
            return 0;
        }
        kos::sleep_ms(2);
        if (speed_types && r.freq >= 309.0f && !s_speed_raised) {
            kmx_set_spi_speed(chain, 3);
            s_speed_raised = true;
        }
        const bool more = goal >= t.rows[row].freq ? (row + 1 < t.count && t.rows[row + 1].freq <= goal)
                                                    : (row > 0 && goal < t.rows[row].freq);
        if (!more) break;
    }
    const int speed = target > 1000 ? 4 : target > 309 ? (chip_type == 13 ? 2 : 3) : 0;
    c->spi_speed = uint8_t(speed);
    kmx_set_spi_speed(chain, speed);
    kmx_cfg_tsadc_divider(chain, target, chip_type);
    c->cur_freq = uint16_t(t.rows[row].freq);
    return ok;
}
