// The memory bring-up of the chips of one chain: low-speed (3G) training,
// cache and DAG preparation, then the switch to high speed (10G) with a
// bounded number of retries per chip. Results stay in the chip records.
#pragma once


int dag_preparation(int chain, int chip_count);
// The chain's command-failure flag is set: its commands have stopped
// answering, so the memory steps still to come are skipped (the flag gives
// the verdict).
bool chain_commands_failing(int chain);
int ddr_chip_bringup(int chain, int chip);
void ddr_low_speed_train(int chain, int chip);
int ddr_cfg_high_speed(int chain, int seed);
int ddr_recfg_high_speed(int chain, int chip);
int ddr_recfg_retry(int chain, int chip, int seed);
void ddr_edc_setup(int chain, int chip);

