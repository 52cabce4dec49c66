/* Power supply on I2C (/dev/i2c-0). */
#ifndef KMX_I2C_H
#define KMX_I2C_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

extern char g_power_vendor[10];
extern char g_power_ver[10];
extern int g_power_errorcode;

bool kmx_i2c_is_sync_output(void);
float kmx_i2c_get_voltage(int chain);
int get_vendor_on_i2c(void);
int get_fwver_on_i2c(void);
int get_psu_errorcode_on_i2c(void);

#ifdef __cplusplus
}
#endif

#endif
