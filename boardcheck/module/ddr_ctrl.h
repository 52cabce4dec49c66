// Static configuration, initialisation, timing programming, controller
// restart and retraining preparation of one memory channel of a chip.
#pragma once
#include <cstdint>


void gddr_mode_register_write(int chain, int chip, uint32_t ch, uint16_t word);
void gddr_static_config(int chain, int chip, uint32_t ch);
void gddr_init_controller(int chain, int chip, uint32_t ch);
void gddr_init_lanes(int chain, int chip, uint32_t ch);
void gddr_config_timing(int chain, int chip, uint32_t ch);
void gddr_reset_mode_registers(int chain, int chip, uint32_t ch);
void gddr_retrain_prepare(int chain, int chip, uint32_t ch);
void gddr_default_read_vref(int chain, int chip, uint32_t ch);
void gddr_lane_vref_fields(int chain, int chip, uint32_t ch);
void gddr_edc_enable(int chain, int chip, uint32_t ch);
void gddr_edc_exit(int chain, int chip, uint32_t ch);

