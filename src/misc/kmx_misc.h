/* Shell, U-Boot and system-information functions. */
#ifndef KMX_MISC_H
#define KMX_MISC_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Miner subtype, set by the mining program; -1 when unknown. */
extern int g_miner_subtype;

/* Shell: output into rst_buf (at most buf_size - 1 bytes, terminated); true
 * whenever the pipe opened. Bad arguments or a pipe that cannot be opened
 * end the process with status 0. */
bool misc_system(const char *cmd, char *rst_buf, int buf_size);
/* Output appended line by line into result; bytes stored, 0 on pipe failure. */
int kmx_get_shell_cmd_rst(char *cmd, char *result, int size);
bool misc_get_uboot_env(const char *key, char *rst_buf, int buf_size);
bool misc_set_uboot_env(const char *key, const char *value, char *rst_buf, int buf_size);
/* True when the machine is locked to the management server. */
bool kmx_read_lock(void);

int misc_get_vid_type(void);
bool misc_vid_type_is_i2c(void);
int misc_get_vendor(void);
/* Sensor technology of the chips: 0, 1, 2, or -1 for an unknown chip type. */
int kmx_get_chip_tech(void);
/* Monotonic milliseconds. */
uint64_t kmx_get_systime_ms(void);
/* Checks the chain's supply output; false when it is too low. */
bool misc_check_power_supply(int chain_id);

#ifdef __cplusplus
}
#endif

#endif
