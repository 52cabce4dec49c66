/* Chip commands of the direct-SPI platforms (command-table slots of
 * platforms 1 and 2). Replies are searched in the byte stream the link hands
 * back, 2 bytes at a time, at most 4 x g_chip_num bytes. */
#ifndef KMX_SPI_CMD_H
#define KMX_SPI_CMD_H

#include <stdbool.h>
#include <stdint.h>

#include "zynq/zynq_spi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Frame buffers; a command's data is at most SPI_CMD_MAX_DATA bytes. */
#define SPI_CMD_FRAME_LEN 2560
#define SPI_CMD_MAX_DATA (SPI_CMD_FRAME_LEN - 4)

extern const int spi_speed_table[6];

/* Opens the link of every chain found (by its slot). */
bool init_spi_cmd(int chain_num);
bool exit_spi_cmd(int chain_num);
/* [cmd, chip, data], padded to an even count; false when it does not fit. */
bool spi_send_command(ZYNQ_SPI_T *spi, uint8_t cmd, uint8_t chip_id, const uint8_t *data, int len);

void spi_set_spi_speed(uint8_t chain_id, int index);
bool spi_cmd_reset(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out);
int spi_cmd_bist_start(uint8_t chain_id, uint8_t chip_id);
bool spi_cmd_bist_collect(uint8_t chain_id, uint8_t chip_id);
bool spi_cmd_bist_fix(uint8_t chain_id, uint8_t chip_id);
bool spi_cmd_write_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool spi_cmd_read_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool spi_cmd_read_write_reg0d(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out);
bool spi_cmd_read_result(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len);
bool spi_cmd_write_job(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len);

#ifdef __cplusplus
}
#endif

#endif
