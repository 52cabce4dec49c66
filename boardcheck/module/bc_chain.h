// The board test's chain module: per-chain lines, board LEDs and button,
// fans, the pulse-pattern VID, the power sequences and the chips' sensors.
#pragma once

#include <cstdint>

void hub_set_power_en(int chain, int value);
void hub_set_start_en(int chain, int value);
void hub_set_reset(int chain, int value);
void hub_set_led(int chain, int value);
int hub_get_plug(int chain);
int hub_get_button();
void hub_set_green_led(int on);
void hub_set_red_led(int on);
void hub_set_pwm(int fan, int period, int duty);
bool hub_set_vid_vid(int chain, int vid);

int zynq_chain_power_on(int chain, int encore_mode, int test_mode);  // 1, 0 no board
int kmx_chain_power_down(int chain);                                   // 1
void zynq_chain_hw_reset(int chain);
void zynq_chain_power_on_all(int count, const uint8_t *chains);
void zynq_chain_power_down_all(int count, const uint8_t *chains);
int kmx_chain_preinit(int chain, int test_mode);

void kmx_fan_speed_set(int fan, int duty);
void kmx_fanctrl_set_bypass(bool on);

float kmx_temp_to_centigrade(int chain, int raw, int chip_type);
int kmx_volt_to_mV(int chain, int raw, int chip_type);
struct bc_stat {
    float highest, lowest, average;
};
void kmx_stat_chain_temp(const float *temps, bc_stat *out, int chain);
void kmx_stat_chain_volt(const float *volts, bc_stat *out, int chain, int chip_type);
// 0 temperature, 1 voltage; non-zero when the chips hold the setting.
int config_tv_sensor(int chain, int chip, int setting);
// The chain's chips lost their sensor selection (power or reset line).
void config_tv_sensor_forget(int chain);
void kmx_cfg_tsadc_divider(int chain, int freq, int chip_type);
// The sensor-divider image of command 0D for a clock of `freq` MHz.
void tsadc_divider_image(int freq, int chip_type, uint8_t img[12]);
