// First forms of the steps that the frequency/voltage, check and job
// modules provide: each does the least the state machine needs and
// succeeds. Their modules replace them.
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/bc_steps.h"

int check_t_v(int chain, bool print) {
    (void)chain, (void)print;
    return 1;
}
int count_good_cores(int chain) {
    (void)chain;
    return 1;
}
int begin_check(int chain) {
    const bc_chain *c = bc_chain_rec(chain);
    return c ? int(c->chip_type) : 4;
}
int check_chip_voltage(int chain, int chip_type) {
    (void)chain, (void)chip_type;
    return 1;
}

int job_bist(int chain, int chip_type, int chips, int mode) {
    (void)chain, (void)chip_type, (void)chips, (void)mode;
    return 1;
}
