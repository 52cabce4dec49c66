// The test steps the per-chain state machine runs. Each returns 1 for
// success and 0 for failure and keeps its reason in the chain record.
#pragma once

#include <cstdint>

// ---- chain bring-up ------------------------------------------------------------
int set_board_leds(int green, int red);
int set_chain_led(int chain, int value);
int set_chain_spi_speed(int chain);
int power_on_and_detect(int chain, int machine_type, int mode);
int bist_and_get_chipnum(int chain, int *machine_type, int mode);
int init_chip_registers(int chain, int chip_type, int machine_type);
int chip_bist(int chain, bool mask, bool bist_fix);
int chain_power_off(int chain);
int send_cmd04_endless(int chain);
int chip_type_from_reset(uint8_t reply0);
// Builds the chain's command-09 image (and marks it set) and its command-0D
// image for a chip type; sends nothing.
void build_reg_images(int chain, int chip_type);
int machine_type_for(int chip_type, int chips, int mode);

// ---- frequency and voltage choice ----------------------------------------------
int input_parameters(int chain, int mode, int machine_type);
int get_freq_and_vid(int chain, int chip_type, int machine_type, int mode);
// Ramps the chips' PLL from `current` to `target` MHz; chip 0 = all chips.
int set_chain_pll(int chain, int chip, int machine_type, int current, int target);

// ---- checks ----------------------------------------------------------------------
// Mode 5 (parallel) leaves the supply's power unread.
int check_t_v(int chain, bool print, int mode = 1);
int count_good_cores(int chain);
int begin_check(int chain);  // works out a chip type: 10 or 4
int check_chip_voltage(int chain, int chip_type);
void print_scan_result(int chain, int machine_type, int vid, int freq);
void print_chip_table(int chain, int vid, int freq);
// VID steps to add for a chain whose chips read below the expected string
// voltage (centivolts); logged.
int vid_offset_from_voltage(int chain, int expected_cv, int chips_per_group);

// ---- jobs, memory ------------------------------------------------------------------
int job_bist(int chain, int chip_type, int chips, int mode);



