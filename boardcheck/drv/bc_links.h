// The board test's device links: the supply on I2C, the UART voltage ID,
// sysfs GPIO and the board-type pins.
#pragma once

#include <cstdint>

bool set_power_on_i2c(int chain, int on);
int set_watchdog_time_i2c(int seconds);
bool set_vol_on_i2c(int chain, int centivolts);
int get_vol_on_i2c(int chain);
int get_current_on_i2c(int chain);
int kmx_i2c_is_sync_output();  // the supply ID, 0 on failure
int iic_power_id_hook();       // the supply ID, logged
int iic_power_identify();      // sets g_miner's supply kind; returns the ID
float read_iic_power(int chain);
// Supply voltage in centivolts; above 1900 the supply gets 1400.
constexpr int kMaxSupplyCentivolts = 1900;
constexpr int kSafeSupplyCentivolts = 1400;
bool set_volt_hook(int chain, int centivolts);
// The output's voltage when the supply is on I2C, else 0 (no transfer).
int iic_volt_read(int chain);
bool i2c_set_vid(int chain, int vid);
int hub_set_power_en_i2c(int value);
void hub_i2c_reset(int bus);
void soc_hub_i2c_reset(int bus);
// PSU output for a chain by the supply kind.
int psu_output(int chain);

bool set_vid_uart(int chain, int vid);
void send_uart(int chain, int vid);
// The frame sent for a VID code.
void uart_vid_frame(uint8_t code, uint8_t frame[5]);

void sysfs_gpio_export(int gpio, bool input);
void sysfs_gpio_write(int gpio, bool high);
int sysfs_gpio_read(int gpio);

int get_ctrl_board_type_gpio();

