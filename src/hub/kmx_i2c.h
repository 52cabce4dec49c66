/* Power supply on I2C (/dev/i2c-0, address 0x01). Output of chain c is c+1. */
#ifndef KMX_I2C_H
#define KMX_I2C_H

#include <stdbool.h>
#include <stdint.h>

#include "drv/kmx_psu_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

extern char g_power_vendor[10];
extern char g_power_ver[10];
extern int g_power_errorcode;

float kmx_i2c_get_voltage(int chain);
float kmx_i2c_get_current(int chain);
float kmx_i2c_get_real_current(int chain);
int kmx_i2c_get_status(int chain, int status[3]);
float kmx_i2c_get_power(int chain);
bool kmx_soft_reset_power(int chain);
bool hub_set_power_en_i2c(int chain, int value);
bool hub_set_vid_i2c(uint8_t chain, int vid);
bool hub_set_vid_on_i2c(uint8_t chain, int vid);
bool kmx_i2c_set_timeout(int seconds);
bool kmx_i2c_is_sync_output(void);
int get_vendor_on_i2c(void);
int get_fwver_on_i2c(void);
int get_psu_errorcode_on_i2c(void);
int get_gp_fwver_on_i2c(void);
bool kmx_i2c_feed_watchdog(bool forced);


#ifdef __cplusplus
}
#endif

#endif
