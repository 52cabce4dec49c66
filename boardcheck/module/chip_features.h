// Per-chip-type knowledge of the board test: feature values, the machine-type
// table, the PLL tables, and 32-bit chip register access through command 0D.
#pragma once
#include <cstdint>

namespace bcmem {

constexpr int BC_CHAINS = 8;
constexpr int BC_MAX_CHIPS = 256;
constexpr int BC_MACHINE_TYPES = 33;

struct chip_feature {
    uint8_t flags[5];
    int job_rounds;
    int test_jobs;
    int cores;
    int result_len;  // words
    int job_len;  // words
    uint16_t clk_mul;  // M of the decoded PLL frequency
    uint8_t bist_fix;
    int chip_limit;  // percent
    int board_limit;  // percent
    float min_chip_volt;  // V
};

// The memory bring-up's chip fields next to the few that the machine type sets.
struct bc_chip {
    float volt;
    int counters[3];
    uint8_t marks[3];

    int ddr_speed_index;
    uint8_t ddr_train_failed;
    uint8_t ddr_recfg_needed;
    int ddr_recfg_count;
    uint8_t disabled;
    // Adjacent on purpose: the soft-BIST tests these four as one word.
    uint8_t cache_check_failed;
    uint8_t low_speed_train_failed;
    uint8_t recfg_failed;
    uint8_t dag_timeout;

    uint8_t block_desc[16][5];
    uint32_t fail_mask[16];
    uint16_t fail_count[16];
    uint16_t fail_total;
    uint16_t fail_spare;

    uint8_t valid_block[8];
    uint16_t last_cache_data;
};

struct bc_chain {
    int chip_count;
    unsigned chip_type;
    chip_feature feat;
    int work_result_len;
    int work_job_len;
    int spi_speed_index;
    uint8_t scan_done;
    int counters[2];
    uint8_t cmd_ret_failed;
    uint8_t core_bist_failed;
    uint8_t fail_chip;
    uint8_t bist_pass_mark[9];  // soft-BIST pass marks of chips 1..8
    uint16_t img0d[8];  // the chain's command-0D image
    bc_chip chips[BC_MAX_CHIPS];  // chip n at chips[n - 1]
};

extern bc_chain g_bc_chains[BC_CHAINS];
bc_chain &bc_chain_rec(int chain);
bc_chip &bc_chip_rec(int chain, int chip);
// A soft-BIST pass mark; chips beyond 8 count as unmarked.
bool bc_chip_marked(int chain, int chip);

// Defaults of the machine type in use (copied by apply_machine_type).
struct machine_limits {
    int max_freq, min_freq;
    int max_vid, min_vid;
    int prompt_vid;
    int freq_default;
    int vid_default;
};
extern machine_limits g_machine_limits;

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

struct pll_row {
    float freq;
    uint16_t word;
    uint8_t div1;
    uint8_t div2;
};
struct pll_table {
    const pll_row *rows;
    int count;
};
pll_table pll_table_get(int which);  // 1, 2 or 3
extern pll_table g_pll_in_use;
// Selects the table by chip type; an unknown type keeps the one in use.
void select_pll_table(unsigned chip_type);
// The first row at or above the frequency, never past the last row.
const pll_row &pll_row_find(const pll_table &t, float freq);

void set_chip_feature(int chain, unsigned chip_type, int mode);
void apply_machine_type(int chain, int machine_type);

void reg0d_write(int chain, int chip, uint32_t addr, uint32_t value);
uint32_t reg0d_read(int chain, int chip, uint32_t addr);
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

}  // namespace bcmem
