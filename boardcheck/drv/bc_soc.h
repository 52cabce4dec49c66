// The board test on a SoC hub: the SoC GPIO and APB blocks, the checked pad
// wrappers and the slot functions over each chain's pads. Selected by the
// SoC-hub flag of the platform object.
#pragma once

// Maps the GPIO block and the APB system block (0 / -1, logged).
int bc_sarn_gpio_init();
int bc_sarn_apb_sys_init();
void bc_soc_gpio_release();
void bc_group_signal_map_init();
void bc_gpio_mux_init();
// Maps both blocks, sets the signal groups and the multiplexing; 0 when
// both blocks are mapped.
int bc_soc_init_hub_gpio();

// Checked pad access: ids up to 170, value and kind (0 data, 1 direction)
// each 0 or 1. A write always returns -1; a read the pad's input bit or -1.
int gpio_write(int id, int value, int kind);
int gpio_read(int id);

void soc_hub_set_power_en(int chain, int value);
void soc_hub_set_start_en(int chain, int value);
void soc_hub_set_reset(int chain, int value);
void soc_hub_set_led(int chain, int value);  // 0 or 1, other values ignored
int soc_hub_get_plug(int chain);             // 0 = board present
int soc_hub_get_button();                    // 0 = pressed
void soc_hub_set_green_led(int on);          // 0 or 1, other values ignored
void soc_hub_set_red_led(int on);
void soc_hub_set_pwm(int fan, int period, int duty);
