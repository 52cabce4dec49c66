/* Chip commands on the single-board computer's link (command-table slots of
 * platform 32): the chip frame behind an A5 5A wrapper. */
#ifndef KMX_OPI_CMD_H
#define KMX_OPI_CMD_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

bool init_opi_cmd(void);
bool exit_opi_cmd(void);
/* [A5 5A cmd chip data], padded to an even count. */
bool opi_send_command(uint8_t chain_id, uint8_t cmd, uint8_t chip_id, const uint8_t *data, int len);
/* Wrapped reply: A5 5A, a word [xx 00], the chip header (low nibble = cmd),
 * then len bytes; header and data (len + 2 bytes) go to buf. */
bool opi_poll_result(uint8_t chain_id, uint8_t cmd, uint8_t chip_id, uint8_t *buf, int len);

bool opi_cmd_reset(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out);
int opi_cmd_bist_start(uint8_t chain_id, uint8_t chip_id);
bool opi_cmd_bist_collect(uint8_t chain_id, uint8_t chip_id);
bool opi_cmd_bist_fix(uint8_t chain_id, uint8_t chip_id);
bool opi_cmd_write_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool opi_cmd_read_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool opi_cmd_read_write_reg0d(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out);
bool opi_cmd_read_result(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len);
bool opi_cmd_write_job(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len);

#ifdef __cplusplus
}
#endif

#endif
