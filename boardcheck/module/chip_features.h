// Per-chip-type knowledge of the board test: feature values, the machine-type
// table, the PLL tables, and 32-bit chip register access through command 0D.
#pragma once
#include <cstdint>

#include "module/bc_miner.h"

constexpr int BC_MACHINE_TYPES = 33;

struct machine_type_row {
    const char *model;
    unsigned chip_type;
    int chips;
    int max_freq, min_freq;
    int prompt_vid;
    int vid_other, max_vid, min_vid, vid_mode2;
    int freq_other, freq_mode2;
    int groups;
};
extern const machine_type_row g_machine_types[BC_MACHINE_TYPES + 1];

struct pll_table {
    const bc_pll_row *rows;
    int count;
};
pll_table pll_table_get(int which);  // 1, 2 or 3
// The table g_miner holds.
pll_table pll_table_in_use();
// Whether chip type `chip_type` has a PLL table.
bool has_pll_table(unsigned chip_type);
// Selects the table by chip type into g_miner; an unknown type keeps the
// one in use.
void select_pll_table(unsigned chip_type);
// The first row at or above the frequency, never past the last row.
const bc_pll_row &pll_row_find(const pll_table &t, float freq);

void set_chip_feature(int chain, unsigned chip_type, int mode);
// Limits, defaults and PLL table of the machine type into g_miner, its chip
// count and the per-chip defaults into the chain record.
void apply_machine_type(int chain, int machine_type);
// The model name of a machine type ("unknown" outside the table).
const char *machine_type_name(int machine_type);
int machine_type_min_freq(int machine_type);
// The chip count of a machine type's row (0 outside the table).
int machine_type_chips(int machine_type);

// 32-bit chip registers through command 0D; a read gives 0 on failure and
// a failure marks the chain's command-return flag with chip 1.
bool reg0d_write(int chain, int chip, uint32_t addr, uint32_t value);
uint32_t reg0d_read(int chain, int chip, uint32_t addr, bool *ok = nullptr);
int config_reg_bits(int chain, int chip, uint32_t addr, int hi, int lo, uint32_t value);
void gen_tsadc_divider(int chain, int chip, unsigned freq, unsigned chip_type, uint16_t img[8],
                       uint8_t cmd[12]);
// Packs PLL parameters p into the first 4 bytes of the configuration
// register (cur, 12 bytes, updated in place).
void make_pll_word(int chain, int chip, unsigned chip_type, unsigned freq, uint32_t p, uint8_t cur[12]);
int set_chip_pll_index(int chain, int chip, int index);

int ddr_pll_lock_a(int chain, int chip, int tries);
int ddr_pll_lock_b(int chain, int chip, int tries);
void set_ddr_cfg_bits(int chain, int chip, uint32_t channel);
void config_bank_regs_a(int chain, int chip);
void config_bank_regs_b(int chain, int chip);
void set_phy_pll(int chain, int chip);

// Memory-PLL table of the chip's core PLL: 13 rows.
struct mem_pll_row {
    unsigned freq;
    uint16_t feedback;
    uint8_t pre;
    uint8_t post;
};
extern const mem_pll_row g_mem_pll_rows[13];

