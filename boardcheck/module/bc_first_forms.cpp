// First forms of the steps that the chip-feature, frequency/voltage,
// check, job and chip-memory modules provide: each does the least the state
// machine needs and succeeds. Their modules replace them.
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/bc_steps.h"

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

