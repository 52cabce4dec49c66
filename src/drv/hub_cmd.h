/* Chip commands sent through the hub's SPI engine (command table slots 2-14
 * of the hub platforms). All return true on success. */
#ifndef KMX_HUB_CMD_H
#define KMX_HUB_CMD_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Largest data length of a command with a reply (n + 2 words must fit the
 * 32-word receive buffer) and of a job frame (the transmit buffer). */
#define HUB_CMD_MAX_REPLY_LEN 60
#define HUB_CMD_MAX_JOB_LEN 252

bool init_hub_cmd(int chain_num, int chip_num);
bool exit_hub_cmd(int chain_num);

bool hub_cmd_reset_hub(uint8_t chain_id);
bool hub_cmd_clean_spi_chain(uint8_t chain_id);
bool hub_spi_clean_chain(uint8_t spi_id);
bool hub_cmd_reset(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out);
int hub_cmd_bist_start(uint8_t chain_id, uint8_t chip_id);
bool hub_cmd_bist_collect(uint8_t chain_id, uint8_t chip_id);
bool hub_cmd_bist_fix(uint8_t chain_id, uint8_t chip_id);
bool hub_cmd_write_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool hub_cmd_read_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool hub_cmd_read_write_reg0d(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out);
bool hub_cmd_write_job(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len);
bool hub_cmd_read_result(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len);
bool hub_cmd_auto_nonce(uint8_t chain_id, int mode, int len);
bool hub_cmd_read_nonce(uint8_t chain_id, uint8_t *res, int len);
bool hub_cmd_write_reg05(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool hub_cmd_read_reg06(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out);
void print_data_hex(const char *label, const uint8_t *buf, int len);

#ifdef __cplusplus
}
#endif

#endif
