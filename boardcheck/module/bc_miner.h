// The board test's miner object, chain and chip records, run options and
// the chain list.
#pragma once

#include <cstdint>

constexpr int BC_MAX_CHAINS = 8;
constexpr int BC_MAX_CHIPS = 256;

// Test modes.
enum {
    TEST_MODE_FASTCHECK = 0,
    TEST_MODE_PRE_FIN = 1,
    TEST_MODE_GRADING = 2,
    TEST_MODE_REPAIR = 3,
    TEST_MODE_SCAN = 4,
    TEST_MODE_PARALLEL = 5,
    TEST_MODE_DEBUG = 6,
};

constexpr int MACHINE_TYPE_UNKNOWN = 4;
constexpr int MACHINE_TYPE_PARALLEL = 32;

struct bc_chip {
    uint16_t good_cores;
    float temp;
    float volt;
    // The voltage above was read from the chip in this run (the machine
    // type's defaults are no reading).
    uint8_t volt_read;
    // The good-core count judges the chip on: below the minimum, and the
    // count it had then. Later reads may change good_cores.
    uint8_t cores_low;
    uint16_t judged_cores;
    uint8_t pll_lock;
    uint16_t nonces[8];
    uint16_t err_sum;
    float err_rate;
    uint8_t pass;
    // Defaults the machine type sets: three counters and three marks.
    int counters[3];
    uint8_t marks[3];

    // Memory bring-up: speed row, training and retry state.
    int ddr_speed_index;
    uint8_t ddr_train_failed;
    uint8_t ddr_recfg_needed;
    int ddr_recfg_count;
    uint8_t disabled;
    // Memory failures, adjacent on purpose: the soft-BIST tests these four
    // as one word.
    uint8_t cache_check_failed;
    uint8_t low_speed_train_failed;
    uint8_t recfg_failed;
    uint8_t dag_timeout;

    // Core BIST: per block its descriptor (block, then up to four good
    // cores), fail mask and fail count.
    uint8_t block_desc[16][5];
    uint32_t fail_mask[16];
    uint16_t fail_count[16];
    uint16_t fail_total;
    uint16_t fail_spare;
    int16_t good_sub_cores;  // of 400 (below 0 with more failing), as the core BIST counted them

    // Cache and DAG: the block each DAG hub runs on, the last cache word.
    uint8_t valid_block[8];
    uint16_t last_cache_data;
};

// Chip features as the chip-feature lookup fills them. feature[0] selects
// the temperature constant, feature[2] turns on the CRC check of replies,
// feature[3] the manual header for jobs and results, feature[4] inverts the
// fan duty.
struct bc_features {
    uint8_t feature[8];
    uint8_t job_rounds;
    uint16_t jobs_per_chip;
    uint16_t cores_per_chip;
    uint16_t result_len;  // words
    uint8_t job_len;      // words
    uint8_t clk_mult;     // M of the decoded PLL frequency
    uint8_t bist_fix;
    uint8_t chip_err_limit;
    uint8_t board_err_limit;
    float min_chip_volt;
};

struct bc_chain {
    float temp_min, temp_max, temp_avg;
    float volt_min, volt_max, volt_avg;
    unsigned total_good_cores;
    unsigned bad_sub_cores;  // memory chips: sub-cores the core BIST failed, summed
    int chip_num;
    bc_chip chips[BC_MAX_CHIPS];
    unsigned chip_type;
    bc_features feat;
    // failure flags
    uint8_t chip_type_not_found;
    uint8_t pll_unlocked;
    uint8_t temp_out_of_range;
    uint8_t volt_out_of_range;
    uint8_t chip_cores_low;
    uint8_t pll_cfg_failed;
    uint8_t chip_softbist_failed;
    uint8_t chip_num_wrong;
    uint8_t no_freq_or_vid;
    uint8_t board_softbist_high;
    uint8_t board_cores_low;
    uint8_t cmd_return_failed;
    uint8_t volt_spread;
    uint8_t volt_group_softbist_failed;
    uint8_t cores_below_full_after_fix;
    uint8_t core_bist_failed;
    uint8_t power_board_error;
    // A chip reply failed its CRC or header check (its command failed), and
    // the chip of the first such reply.
    uint8_t crc_error;
    uint8_t crc_error_chip;
    // The first state whose step failed this run (0: none). The failure
    // handler reads the chips again; whatever it reads, a chain that left
    // the road here is not a pass.
    uint8_t failed_state;
    // The memory bring-up is under way: once the chain's commands fail, its
    // register accesses are not sent any more.
    uint8_t mem_bringup;
    float board_err_rate;
    uint8_t failing_chip;
    // The chip whose fault ended the last voltage pass (0: none), and that
    // fault's error: 4 PLL unlocked, 10 no answer.
    uint8_t volt_stop_chip;
    uint8_t volt_stop_code;
    // The machine type the chip count gave (unknown until counted).
    int machine_type;
    float last_freq;
    uint16_t cur_freq, target_freq;
    uint8_t working_vid;
    uint8_t scan_done;
    uint8_t spi_speed;
    uint8_t bist_fix_done;
    uint8_t volt_spread_check;
    uint8_t volt_group;
    uint8_t grade;  // 0..5 = A..F
    // The frequency and voltage choice: the point's VIDs and the best point
    // of a grading scan.
    uint8_t start_vid;
    float best_err_rate;  // job error rate of the best point, %
    float gold_freq;      // MHz
    uint16_t gold_vid;
    // Working copies of the result and job lengths, two counters the
    // machine type clears.
    uint16_t work_result_len;
    uint8_t work_job_len;
    int counters[2];
    uint8_t bist_pass_mark[9];  // soft-BIST pass marks of chips 1..8
    uint16_t img09[8];          // the chain's command-09 image, word 0 = 0x0900
    uint8_t img09_set;          // the command-09 image has been built
    uint16_t img0d[8];          // the chain's command-0D image, word 0 = 0x0D00
};

// One row of a PLL table: frequency, feedback word, first and second
// divider.
struct bc_pll_row {
    float freq;
    uint16_t word;
    uint8_t div1;
    uint8_t div2;
};

struct bc_miner {
    const bc_pll_row *pll_table;  // the table of the machine type's chips
    int pll_rows;
    uint16_t freq_max, freq_min, freq_def;
    uint8_t vid_max, vid_min, vid_def, prompt_vid, vid_step;
    uint16_t work_vid, work_freq, target_freq, freq_step;
    uint16_t end_freq;  // scan mode
    uint8_t chain_num;
    uint8_t chain_list[BC_MAX_CHAINS];
    uint8_t plugged[BC_MAX_CHAINS];
    bc_chain *chains;
    uint8_t chip_regs_init;
    uint8_t psu_kind;
};

extern bc_miner *g_miner;

// Run options.
struct bc_options {
    int selected_chain;
    bool single_chain;
    int fixed_freq;
    int fixed_vid;
    bool fixed;  // both non-zero
    bool debug;  // -d: the bench debug menu on the console instead of a test
};
extern bc_options g_bc_opts;

// Parses the command line (argc/argv as main gets them); false on an
// invalid option value.
bool parse_options(int argc, char **argv);
// The first line of an argument file into argv form (entry 0 a blank);
// returns the count, -1 when the file cannot be read. `store` holds the
// texts: 8 entries of 12 bytes.
int read_arg_file(const char *path, char store[8][12], char *argv[8]);

// The chain a run tests: the connector chosen with -s (-1 when it holds
// no board), else the first detected chain.
int tested_chain(const bc_options &opts, const bc_miner &m);

void init_control_board(int mode);
int detect_spi_chain_plug(int mode);

int chain_list_next(int chain);
int chain_list_remove(int chain);
void chain_list_rebuild();

bc_chain *bc_chain_rec(int chain);  // nullptr when no records exist
// Chip 1..BC_MAX_CHIPS of a chain; nullptr when out of range or no records.
bc_chip *bc_chip_rec(int chain, int chip);
// A soft-BIST pass mark; chips beyond 8 count as unmarked.
bool bc_chip_marked(int chain, int chip);
