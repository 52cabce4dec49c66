// First forms of the steps that the chip-feature, frequency/voltage,
// check, job and chip-memory modules provide: each does the least the state
// machine needs and succeeds. Their modules replace them.
#include <cstring>

#include "module/bc_miner.h"
#include "module/chip_features.h"
#include "module/bc_platform.h"
#include "module/bc_steps.h"

// Fills the chain record's features from the chip-feature table of the
// chip-memory modules until the two record sets are one.
void set_chip_feature(int chain, int chip_type, int mode) {
    bc_chain *c = bc_chain_rec(chain);
    if (!c || chip_type < 0) return;
    bcmem::set_chip_feature(chain, unsigned(chip_type), mode);
    const bcmem::chip_feature &f = bcmem::bc_chain_rec(chain).feat;
    memcpy(c->feat.feature, f.flags, sizeof f.flags);
    c->feat.job_rounds = uint8_t(f.job_rounds);
    c->feat.jobs_per_chip = uint16_t(f.test_jobs);
    c->feat.cores_per_chip = uint16_t(f.cores);
    c->feat.result_len = uint8_t(f.result_len > 255 ? 255 : f.result_len);
    c->feat.job_len = uint8_t(f.job_len);
    c->feat.clk_mult = uint8_t(f.clk_mul);
    c->feat.bist_fix = f.bist_fix;
    c->feat.chip_err_limit = uint8_t(f.chip_limit);
    c->feat.board_err_limit = uint8_t(f.board_limit);
    c->feat.min_chip_volt = f.min_chip_volt;
}
void apply_machine_type(int chain, int machine_type) { (void)chain, (void)machine_type; }
const char *machine_type_name(int machine_type) {
    (void)machine_type;
    return "unknown";
}
int machine_type_min_freq(int machine_type) {
    (void)machine_type;
    return 0;
}

int input_parameters(int chain, int mode, int machine_type) {
    (void)chain, (void)mode, (void)machine_type;
    return 1;
}
int get_freq_and_vid(int chain, int chip_type, int machine_type, int mode) {
    (void)chain, (void)chip_type, (void)machine_type, (void)mode;
    return 1;
}
int set_chain_pll(int chain, int from, int to) {
    (void)from;
    if (bc_chain *c = bc_chain_rec(chain)) c->cur_freq = uint16_t(to);
    return 1;
}

int core_bist(int chain) {
    (void)chain;
    return 1;
}
int dag_preparation(int chain, int chips) {
    (void)chain, (void)chips;
    return 1;
}
