#include "module/chip_features.h"

#include <cstring>

#include "module/chip_reg.h"
#include "module/bc_platform.h"
#include "module/test_log.h"
#include "module/ddr_phy.h"
#include "module/phy_pll.h"
#include "os/os.h"


// ---- chip features ---------------------------------------------------------

void set_chip_feature(int chain, unsigned type, int mode)
{
    struct row {
        int rounds, jobs, cores, result, job;
        uint8_t fix;
        int chip_lim, board_lim;
        uint8_t flags[5];
    };
    // Rounds or jobs of -1 depend on the mode (filled below).
    static const row rows[16] = {
        {-1, -1, 32, 4, 0, 1, 99, 50, {1, 0, 1, 0, 0}},
        {5, 45, 9, 4, 47, 1, 80, 20, {0, 0, 1, 0, 0}},
        {3, 24, 8, 4, 49, 1, 90, 20, {0, 0, 1, 0, 0}},
        {2, 16, 8, 20, 45, 1, 90, 20, {0, 1, 1, 0, 0}},
        {5, 40, 8, 4, 45, 1, 90, 20, {0, 0, 1, 0, 0}},
        {3, 18, 6, 4, 49, 1, 90, 20, {0, 0, 1, 0, 1}},
        {5, 140, 28, 4, 111, 1, 90, 20, {0, 0, 1, 0, 1}},
        {5, 315, 63, 4, 61, 1, 90, 20, {0, 0, 1, 0, 1}},
        {2, 12, 6, 20, 45, 1, 90, 20, {0, 0, 1, 0, 1}},
        {5, 30, 6, 20, 45, 1, 90, 20, {0, 0, 1, 0, 0}},
        {-1, -1, 32, 4, 0, 1, 99, 50, {1, 0, 1, 0, 0}},
        {5, 160, 32, 677, 78, 1, 90, 20, {0, 0, 1, 0, 0}},
        {1, 19, 32, 677, 78, 0, 99, 50, {1, 0, 0, 1, 0}},
        {1, 400, 16, 21, 43, 1, 99, 20, {0, 0, 1, 0, 0}},
        {-1, -1, 60, 4, 0, 1, 99, 30, {1, 0, 1, 0, 0}},
        {-1, -1, 96, 4, 0, 1, 99, 30, {1, 0, 1, 0, 0}},
    };
    bc_chain *c = bc_chain_rec(chain);
    if (type >= 16) {
        test_logf(5, TL_PLAIN, "Failed! Can't find the chip type in [%s]!\n", "set_chip_feature");
        return;
    }
    if (!c) {
        test_logf(5, TL_PLAIN, "chain%d: no chain record for the chip features\n", chain);
        return;
    }
    const row &r = rows[type];
    bc_features &f = c->feat;
    const int b = mode == 2 ? 3 : 5;
    const bool low_modes = mode == 3 || mode == 4;
    f.job_rounds = uint8_t(r.rounds < 0 ? b : r.rounds);
    int jobs = r.jobs;
    if (type == 0 || type == 10)
        jobs = b * 128;
    else if (type == 14)
        jobs = mode == 2 ? 720 : 1200;
    else if (type == 15)
        jobs = mode == 2 ? 1152 : 1920;
    f.jobs_per_chip = uint16_t(jobs);
    f.cores_per_chip = uint16_t(r.cores);
    f.result_len = uint16_t(r.result);
    f.job_len = uint8_t(r.job);
    f.bist_fix = r.fix;
    f.chip_err_limit = uint8_t(r.chip_lim);
    f.board_err_limit = uint8_t(r.board_lim);
    memset(f.feature, 0, sizeof f.feature);
    memcpy(f.feature, r.flags, sizeof r.flags);
    f.clk_mult = type == 13 ? 50 : 12;
    switch (type) {
    case 0: f.min_chip_volt = low_modes ? 0.28f : 0.32f; break;
    case 10: f.min_chip_volt = low_modes ? 0.20f : 0.28f; break;
    case 13: f.min_chip_volt = 0.6f; break;
    case 14:
    case 15: f.min_chip_volt = low_modes ? 0.20f : 0.26f; break;
    default: f.min_chip_volt = 0; break;
    }
}

// ---- machine types ---------------------------------------------------------

// model, chip type, chips, max/min MHz, prompt VID, VID (other modes), max VID,
// min VID, VID (mode 2), MHz (other modes), MHz (mode 2), groups
const machine_type_row g_machine_types[BC_MACHINE_TYPES + 1] = {
    {"T0-68", 0, 68, 1400, 120, 8, 25, 31, 0, 8, 900, 1332, 2},
    {"T1-72", 1, 72, 1400, 120, 5, 26, 31, 0, 15, 606, 606, 6},
    {"T2-33", 2, 33, 1200, 120, 8, 12, 31, 0, 15, 1098, 1098, 3},
    {"T3-40", 3, 40, 1400, 120, 175, 175, 175, 0, 175, 1000, 1000, 1},
    {"unknown", 4, 170, 1400, 120, 5, 15, 31, 0, 15, 606, 606, 3},
    {"T5-57", 5, 57, 1200, 30, 8, 12, 31, 0, 15, 1098, 1098, 3},
    {"T6-51", 6, 51, 1400, 30, 8, 8, 31, 0, 15, 1000, 1000, 3},
    {"T7-45", 7, 45, 1400, 30, 8, 8, 31, 0, 15, 700, 700, 3},
    {"T8-80", 8, 80, 1400, 120, 175, 175, 175, 0, 175, 1000, 1000, 1},
    {"T9-80", 9, 80, 1400, 120, 175, 175, 175, 0, 175, 1000, 1000, 1},
    {"T11-12", 11, 12, 1500, 30, 156, 156, 255, 0, 156, 1200, 1200, 1},
    {"T12-12", 12, 12, 1500, 30, 156, 166, 255, 0, 166, 1250, 1250, 1},
    {"T10-99", 10, 99, 1400, 30, 5, 21, 31, 0, 15, 900, 1332, 3},
    {"T0-99", 0, 99, 1400, 30, 5, 13, 31, 0, 10, 900, 1332, 3},
    {"T10-164", 10, 164, 1400, 30, 5, 15, 31, 0, 15, 900, 1008, 4},
    {"T0-164", 0, 164, 1400, 30, 5, 13, 31, 0, 10, 900, 1332, 4},
    {"T10-105", 10, 105, 1400, 30, 5, 11, 31, 0, 8, 900, 1284, 3},
    {"T0-105", 0, 105, 1400, 30, 5, 8, 31, 0, 6, 900, 1220, 3},
    {"T0-140", 0, 140, 1400, 30, 5, 8, 31, 0, 6, 900, 1260, 4},
    {"T10-93", 10, 93, 1400, 30, 5, 18, 31, 0, 15, 900, 1332, 3},
    {"T10-140", 10, 140, 1400, 30, 5, 12, 31, 0, 8, 900, 1116, 4},
    {"T14-148", 14, 148, 1400, 120, 5, 18, 31, 0, 12, 798, 798, 4},
    {"T14-140", 14, 140, 1400, 120, 5, 25, 31, 0, 15, 798, 798, 4},
    {"T14-111", 14, 111, 1400, 120, 5, 14, 31, 0, 7, 798, 996, 3},
    {"T14-114", 14, 114, 1400, 120, 5, 14, 31, 0, 7, 798, 798, 3},
    {"T4-2", 4, 2, 1400, 120, 0, 0, 0, 0, 0, 900, 1332, 2},
    {"T1-120", 1, 120, 1400, 120, 5, 9, 31, 0, 6, 996, 996, 6},
    {"T15-70", 15, 70, 1400, 120, 5, 20, 31, 0, 15, 1000, 1000, 2},
    {"T15-74", 15, 74, 1400, 120, 5, 14, 31, 0, 12, 1000, 1308, 2},
    {"T15-105", 15, 105, 1400, 120, 5, 20, 31, 0, 15, 1000, 1000, 3},
    {"T15-111", 15, 111, 1400, 120, 5, 14, 31, 0, 12, 1000, 1050, 3},
    {"T0-63", 0, 63, 1400, 120, 8, 25, 31, 0, 8, 900, 1332, 2},
    {"T13-8", 13, 8, 1500, 30, 18, 18, 31, 0, 0, 480, 1332, 1},
    {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

const char *machine_type_name(int machine_type)
{
    if (machine_type < 0 || machine_type >= BC_MACHINE_TYPES)
        return "unknown";
    return g_machine_types[machine_type].model;
}

int machine_type_min_freq(int machine_type)
{
    if (machine_type < 0 || machine_type >= BC_MACHINE_TYPES)
        return 0;
    return g_machine_types[machine_type].min_freq;
}

int machine_type_chips(int machine_type)
{
    if (machine_type < 0 || machine_type >= BC_MACHINE_TYPES)
        return 0;
    return g_machine_types[machine_type].chips;
}

void apply_machine_type(int chain, int machine_type)
{
    bc_chain *cp = bc_chain_rec(chain);
    if (machine_type < 0 || machine_type >= BC_MACHINE_TYPES || !g_miner || !cp) {
        test_logf(5, TL_PLAIN, "chain%d: machine type %d not applied\n", chain, machine_type);
        return;
    }
    const machine_type_row &m = g_machine_types[machine_type];
    bc_chain &c = *cp;
    // The row's chips pick the PLL table. Machine type 3 names chip type 3,
    // which has none, for boards of type-8 chips: their own table is taken.
    select_pll_table(has_pll_table(m.chip_type) ? m.chip_type : c.chip_type);
    g_miner->freq_max = uint16_t(m.max_freq);
    g_miner->freq_min = uint16_t(m.min_freq);
    g_miner->vid_max = uint8_t(m.max_vid);
    g_miner->vid_min = uint8_t(m.min_vid);
    g_miner->prompt_vid = uint8_t(m.prompt_vid);
    g_miner->freq_def = uint16_t(m.freq_other);
    g_miner->vid_def = uint8_t(m.vid_other);
    // The chip array holds BC_MAX_CHIPS (more than any row's count), so the
    // row's count never reaches past it.
    c.chip_num = m.chips;
    c.spi_speed = 0;
    c.scan_done = 0;
    c.counters[0] = c.counters[1] = 0;
    c.work_result_len = c.feat.result_len;
    c.work_job_len = c.feat.job_len;
    for (bc_chip &chip : c.chips) {
        chip.volt = 123.0f;
        chip.volt_read = 0;
        chip.counters[0] = chip.counters[1] = chip.counters[2] = 123;
        chip.marks[0] = chip.marks[1] = chip.marks[2] = 1;
    }
}

// ---- PLL tables ------------------------------------------------------------

namespace {

struct pll_tables {
    bc_pll_row t1[358], t2[403], t3[89];
    int n1 = 0, n2 = 0, n3 = 0;

    // Rows of the 12 MHz rule: the post-divider power falls as the frequency
    // doubles so that the feedback word stays within 80..200.
    static bc_pll_row row12(float f)
    {
        uint8_t s = f < 60 ? 5 : f < 120 ? 4 : f < 300 ? 3 : f < 600 ? 2 : f < 1200 ? 1 : 0;
        return {f, uint16_t(f * float(1 << s) / 12.0f + 0.5f), 1, s};
    }
    static void span(bc_pll_row *t, int &n, float from, float to, float step, bool last)
    {
        for (float f = from; last ? f <= to + 0.01f : f < to - 0.01f; f += step)
            t[n++] = row12(f);
    }
    static void t1_tail(bc_pll_row *t, int &n)
    {
        span(t, n, 120, 150, 1.5f, false);
        span(t, n, 150, 240, 3, false);
        span(t, n, 240, 300, 1.5f, false);
        span(t, n, 300, 600, 3, false);
        span(t, n, 600, 1200, 6, false);
        span(t, n, 1200, 2004, 12, true);
    }
    void add3(float f)
    {
        uint8_t d2 = f < 1000 ? 2 : 1;
        t3[n3++] = {f, uint16_t(f * d2 / 5.0f + 0.5f), 5, d2};
    }
    void span3(float from, float to, float step)
    {
        for (float f = from; f < to - 0.01f; f += step)
            add3(f);
    }

    pll_tables()
    {
        t1_tail(t1, n1);
        span(t2, n2, 30, 75, 1.5f, false);
        span(t2, n2, 75, 120, 3, false);
        t1_tail(t2, n2);

        span3(30, 75, 7.5f);
        span3(75, 120, 15);
        span3(120, 150, 7.5f);
        span3(150, 240, 15);
        span3(240, 300, 7.5f);
        span3(300, 600, 15);
        for (float f : {600.f, 630.f, 640.f, 645.f, 660.f, 690.f, 720.f, 750.f, 780.f, 800.f, 810.f, 840.f,
                        870.f, 900.f, 930.f, 960.f, 990.f, 1000.f, 1020.f, 1050.f, 1080.f, 1110.f, 1140.f,
                        1170.f, 1200.f, 1250.f, 1260.f, 1300.f, 1320.f, 1380.f, 1400.f, 1440.f, 1500.f, 1560.f,
                        1600.f, 1620.f})
            add3(f);
        for (float f = 1680; f <= 1980.01f; f += 60)
            add3(f);
        for (int i = 0; i < n3; i++) {
            if (t3[i].freq == 60.0f)
                t3[i] = {60.0f, 96, 5, 6};
            else if (t3[i].freq == 800.0f)
                t3[i] = {800.0f, 80, 5, 0};
        }
    }
};

const pll_tables &tables()
{
    static const pll_tables t;
    return t;
}

}  // namespace

pll_table pll_table_get(int which)
{
    const pll_tables &t = tables();
    switch (which) {
    case 1: return {t.t1, t.n1};
    case 2: return {t.t2, t.n2};
    case 3: return {t.t3, t.n3};
    default: return {nullptr, 0};
    }
}

pll_table pll_table_in_use()
{
    if (!g_miner)
        return {nullptr, 0};
    return {g_miner->pll_table, g_miner->pll_rows};
}

namespace {

// The PLL table of a chip type, 0 for a type without one.
int pll_table_of(unsigned type)
{
    switch (type) {
    case 0: case 1: case 8: case 14: case 15: return 1;
    case 5: case 6: case 7: case 10: case 12: return 2;
    case 13: return 3;
    default: return 0;
    }
}

}  // namespace

bool has_pll_table(unsigned type)
{
    return pll_table_of(type) != 0;
}

void select_pll_table(unsigned type)
{
    const int which = pll_table_of(type);
    if (!which) {
        test_logf(5, TL_PLAIN, "Failed! Chip type wrong!\n");
        return;
    }
    if (!g_miner)
        return;
    const pll_table t = pll_table_get(which);
    g_miner->pll_table = t.rows;
    g_miner->pll_rows = t.count;
}

const bc_pll_row &pll_row_find(const pll_table &t, float freq)
{
    int i = 0;
    while (i + 1 < t.count && t.rows[i].freq < freq)
        i++;
    return t.rows[i];
}

// ---- register access through command 0D ----------------------------------

namespace {

void put_be(uint8_t *p, uint16_t w)
{
    p[0] = uint8_t(w >> 8);
    p[1] = uint8_t(w);
}

// Puts the sensor divider of the frequency that chip 1 runs at into the
// chain's 0D image and builds the command bytes.
void refresh_divider(int chain, int chip, uint8_t cmd[12])
{
    uint8_t cfg[12] = {};
    cfg_fields f{};
    if (kmx_cmd_read_register(chain, 1, cfg, 12))
        parse_cfg_reg(chain, cfg, &f, 13);
    gen_tsadc_divider(chain, chip, f.pll_freq, 13, bc_chain_rec(chain)->img0d, cmd);
}

// Sends the chain's 0D image to the chip up to 5 times until it answers.
bool send_reg0d(int chain, int chip, uint8_t reply[12])
{
    bc_chain &c = *bc_chain_rec(chain);
    // The memory bring-up of a chain whose commands have failed is being
    // skipped: the access would fail after all its tries.
    if (c.mem_bringup && c.cmd_return_failed)
        return false;
    uint8_t cmd[12];
    refresh_divider(chain, chip, cmd);
    for (int i = 0; i < 5; i++)
        if (kmx_cmd_read_write_reg0d(chain, chip, cmd, 12, reply))
            return true;
    c.cmd_return_failed = 1;
    c.failing_chip = 1;
    test_logf(5, TL_PLAIN, "chain%d: chip%d CMD 0D fail! \n", chain, 1);
    return false;
}

bool no_record(int chain)
{
    if (bc_chain_rec(chain))
        return false;
    test_logf(5, TL_PLAIN, "chain%d: no chain record for command 0D\n", chain);
    return true;
}

}  // namespace

bool reg0d_write(int chain, int chip, uint32_t addr, uint32_t value)
{
    if (no_record(chain))
        return false;
    uint16_t *img = bc_chain_rec(chain)->img0d;
    img[0] = uint16_t(chip | 0x0D00);
    img[1] = 0x3E02;
    img[2] = 0;
    img[3] = uint16_t((addr >> 16) | 0x10);
    img[4] = uint16_t(addr);
    img[5] = uint16_t(value >> 16);
    img[6] = uint16_t(value);
    img[7] = 0;
    uint8_t reply[12];
    return send_reg0d(chain, chip, reply);
}

uint32_t reg0d_read(int chain, int chip, uint32_t addr, bool *ok)
{
    if (ok)
        *ok = false;
    if (no_record(chain))
        return 0;
    uint16_t *img = bc_chain_rec(chain)->img0d;
    img[0] = uint16_t(chip | 0x0D00);
    img[1] = 0x3E02;
    img[2] = 0;
    img[3] = uint16_t(addr >> 16);
    img[4] = uint16_t(addr);
    img[5] = img[6] = img[7] = 0;
    uint8_t reply[12] = {};
    if (!send_reg0d(chain, chip, reply))
        return 0;
    if (ok)
        *ok = true;
    return uint32_t(reply[8]) << 24 | uint32_t(reply[9]) << 16 | uint32_t(reply[10]) << 8 | reply[11];
}

int config_reg_bits(int chain, int chip, uint32_t addr, int hi, int lo, uint32_t value)
{
    if (lo > hi || hi > 31 || lo < 0) {
        test_logf(5, TL_PLAIN,
                "ERROR: Config to addr[0x%x] via bits:  start_bit is high than stop_bit\r\n", addr);
        return 0;
    }
    const uint32_t width = uint32_t(hi - lo + 1);
    const uint32_t mask = (width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1)) << lo;
    // A failed read would turn the write into one that clears every other
    // bit of the register: the field is left alone then (the failure is
    // already flagged).
    bool ok = false;
    uint32_t v = reg0d_read(chain, chip, addr | 0x8000, &ok);
    if (!ok)
        return 0;
    v = (v & ~mask) | ((value << lo) & mask);
    return reg0d_write(chain, chip, addr, v) ? 1 : 0;
}

void gen_tsadc_divider(int chain, int chip, unsigned freq, unsigned type, uint16_t img[8], uint8_t cmd[12])
{
    unsigned div = (freq / 2 * 1000) / (type == 15 ? 41600 : 25600);
    if (div < 1)
        div = 1;
    test_logf(1, TL_MINER, "Generate tsadc_divider: 0x%0x, pll:%0d \n", div, freq);
    (void)chain;
    const uint8_t d = uint8_t(div);
    if (type == 13)
        img[1] = uint16_t((img[1] & 0x00FF) | d << 8);
    else if (type == 12)
        ;  // ORed into the command only (below): the image keeps its base
           // word, so dividers of earlier calls do not pile up
    else if (type == 8)
        img[3] = uint16_t((img[3] & 0x00FF) | d << 8);
    else
        img[3] = uint16_t((img[3] & 0xFF00) | d);
    bool skip = type == 3 || type == 8 || type == 10 || type == 13 || type == 14 || type == 15;
    uint16_t w5 = img[5];
    if (!skip && chip % 3 == 1)
        w5 |= 0x8000;
    const uint16_t w3 = type == 12 ? uint16_t(img[3] | d) : img[3];
    for (int i = 1; i <= 6; i++)
        put_be(cmd + 2 * (i - 1), i == 5 ? w5 : i == 3 ? w3 : img[i]);
}

void make_pll_word(int chain, int chip, unsigned type, unsigned freq, uint32_t p, uint8_t cur[12])
{
    (void)chain;
    (void)freq;
    const uint16_t fb = p & 0xFF;
    const uint16_t pre = (p >> 16) & 0x1F;
    const uint16_t post = (p >> 24) & 0x7;
    const bool third = chip % 3 == 1;
    uint16_t w0, w1;
    if (type == 13) {
        w0 = uint16_t((((p >> 16) << 8) & 0x3FFF) | fb);
        w1 = uint16_t(((((p >> 8) << 4) & 0xFF) | post) << 8);
    } else {
        const bool lc = type == 10 || type == 14 || type == 15;
        w0 = uint16_t((lc ? (fb ^ 0xC000) : fb) | pre * 512 | (p & 0x100));
        const uint16_t t = uint16_t(post * 16);
        if (lc)
            w1 = uint16_t(t + 0x4008);
        else if (type == 12)
            w1 = uint16_t(0x4000 | t);
        else if (type >= 5 && type <= 7)
            w1 = uint16_t((third ? 0x4A00 : 0x4000) + t);
        else {
            const uint16_t u = uint16_t(((p >> 24) & 3) * 64);
            w1 = third ? uint16_t(0x4A00 + u) : uint16_t(0x4000 | u);
        }
        if (!lc)
            w1 |= 0x2;
    }
    put_be(cur, w0);
    put_be(cur + 2, w1);
    if (type == 15)
        cur[7] |= 0x20;
}

const mem_pll_row g_mem_pll_rows[13] = {
    {30, 96, 5, 7},    {60, 96, 5, 6},    {120, 96, 5, 5},   {240, 96, 5, 4},   {480, 96, 5, 1},
    {640, 256, 5, 2},  {850, 85, 5, 0},   {960, 96, 5, 0},   {1200, 240, 5, 1}, {1300, 260, 5, 1},
    {1400, 280, 5, 1}, {1500, 300, 5, 1}, {1600, 320, 5, 1},
};

int set_chip_pll_index(int chain, int chip, int index)
{
    if (index < 0 || index >= 13)
        return 0;
    if (no_record(chain))
        return 0;
    uint8_t cfg[12] = {};
    // Without the chip's register the image would clear bytes 3 to 11 on
    // every chip: nothing is written then.
    if (!kmx_cmd_read_register(chain, chip, cfg, 12)) {
        test_logf(5, TL_PLAIN, "set %d PLL faile", index);
        return 0;
    }
    const mem_pll_row &r = g_mem_pll_rows[index];
    cfg[0] = uint8_t((cfg[0] & 0xC0) | (r.pre & 0x3F));
    cfg[1] = uint8_t(r.feedback);
    cfg[2] = uint8_t(((r.feedback >> 8) << 4) | (r.post & 0x7));
    if (index > 4)
        cfg[9] &= uint8_t(~0x0C);
    bool ok = kmx_cmd_write_register(chain, 0, cfg, 12);
    if (!ok)
        test_logf(5, TL_PLAIN, "set %d PLL faile", index);
    // The new core clock changes the sensor divider: the image carries it
    // to the chips with the next command (resending the image itself would
    // repeat its last register write on every chip).
    uint8_t cmd[12];
    refresh_divider(chain, 0, cmd);
    return ok ? 1 : 0;
}

// ---- DDR helpers on the register spaces -----------------------------------

static int ddr_pll_lock(int chain, int chip, int tries, uint32_t want)
{
    for (int i = 0; i < tries; i++) {
        uint32_t v = 0xFFFFFFFFu;
        for (uint32_t ch : DDR_CHANNELS)
            v &= ddr_phy_read(chain, chip, ch, 0x35);
        if (v == want) {
            test_logf(2, TL_PLAIN, "ddr pll locked\n");
            return 1;
        }
        kos::sleep_ms(1);
    }
    return 0;
}

int ddr_pll_lock_a(int chain, int chip, int tries) { return ddr_pll_lock(chain, chip, tries, 1); }
int ddr_pll_lock_b(int chain, int chip, int tries) { return ddr_pll_lock(chain, chip, tries, 2); }

void set_ddr_cfg_bits(int chain, int chip, uint32_t ch)
{
    ddr_ctl_write_field(chain, chip, ch, 0, 3, 3, 1);
    ddr_ctl_cfg_write_field(chain, chip, ch, 0, 4, 4, 0);
    ddr_ctl_cfg_write_field(chain, chip, ch, 1, 14, 14, 1);
    ddr_ctl_cfg_write_field(chain, chip, ch, 1, 13, 13, 0);
    ddr_ctl_cfg_write_field(chain, chip, ch, 1, 13, 13, 1);
    ddr_ctl_cfg_write_field(chain, chip, ch, 1, 14, 14, 0);
    ddr_phy_write_field(chain, chip, ch, 0, 0, 0, 0);
    ddr_phy_write_field(chain, chip, ch, 0, 0, 0, 1);
    ddr_ctl_cfg_write_field(chain, chip, ch, 3, 29, 20, 1023);
    ddr_ctl_cfg_write_field(chain, chip, ch, 1, 16, 16, 0);
}

void config_bank_regs_a(int chain, int chip)
{
    for (uint32_t ch : DDR_CHANNELS) {
        for (uint32_t r : {0x515u, 0x517u, 0x525u, 0x527u})
            ddr_phy_write_field(chain, chip, ch, r, 29, 29, 0);
        for (uint32_t r : {0x511u, 0x521u})
            ddr_phy_write_field(chain, chip, ch, r, 31, 30, 0);
        for (uint32_t r : {0x510u, 0x520u})
            ddr_phy_write_field(chain, chip, ch, r, 23, 23, 0);
    }
}

void config_bank_regs_b(int chain, int chip)
{
    for (uint32_t ch : DDR_CHANNELS) {
        for (uint32_t r : {0x515u, 0x517u, 0x525u, 0x527u})
            ddr_phy_write_field(chain, chip, ch, r, 9, 9, 0);
        for (uint32_t r : {0x515u, 0x517u, 0x525u, 0x527u})
            ddr_phy_write_field(chain, chip, ch, r, 13, 13, 1);
    }
}

void set_phy_pll(int chain, int chip)
{
    test_logf(3, TL_PLAIN, "chain%d: set PHY pll 187.5M\n", chain);
    config_phy_pll_187p5M(chain, chip);
}

