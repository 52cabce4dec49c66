/* The hub's per-chain SPI engine: register block, waits and primitives.
 * Chain c's block is at c * 0x200 of the SPI window. Results: 0 = success,
 * 1 = failure (a wait that timed out) unless said otherwise. */
#ifndef KMX_HUB_SPI_H
#define KMX_HUB_SPI_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HUB_SPI_CHAINS 8
#define HUB_SPI_BLOCK(c) ((uint32_t)(c) * 0x200u)
#define HUB_SPI_CFG 0x00
#define HUB_SPI_CTRL 0x04
#define HUB_SPI_AUTO_INTERVAL 0x0C
#define HUB_SPI_LEN 0x10
#define HUB_SPI_CMD 0x14
#define HUB_SPI_STATUS 0x18
#define HUB_SPI_CHIPNUM 0x1C
#define HUB_SPI_RX 0x20
#define HUB_SPI_HDR 0x60
#define HUB_SPI_TX 0x64
#define HUB_SPI_TEMP_CFG 0x160
#define HUB_SPI_TEMP_LO 0x168
#define HUB_SPI_TEMP_HI 0x16C
#define HUB_SPI_TEMP_AVG 0x170
#define HUB_SPI_CHAIN_EN 0x1200
#define HUB_SPI_RX_BYTES 64  /* receive buffer: 32 16-bit words */
#define HUB_SPI_TX_BYTES 252 /* transmit buffer after the header word */

/* Command register values. */
#define HUB_CMD_NEUTRAL 0x0
#define HUB_CMD_CLEAR 0x2
#define HUB_CMD_TEMP_SWEEP 0x4
#define HUB_CMD_PUSH_LAST 0xA5
#define HUB_CMD_PUSH_MORE 0xB5
#define HUB_CMD_SPLIT_LAST 0xA1
#define HUB_CMD_SPLIT_MORE 0xB1
#define HUB_CMD_SPLIT_CS_LOW 0x4000
#define HUB_CMD_AUTO_POLL 0x304
#define HUB_CMD_POP 0x800
#define HUB_CMD_AUTO_POP 0xB00
#define HUB_CMD_MANUAL_HDR 0x1000
#define HUB_CMD_MANUAL_PAD 0x3000

/* Status bits. */
#define HUB_ST_DONE 0x1u
#define HUB_ST_ERROR 0x4u
#define HUB_ST_RX_READY 0x10u
#define HUB_ST_PHY_BUSY 0x40u
#define HUB_ST_RX_WORDS(s) (((s) >> 8) & 0xFFu)
#define HUB_ST_TX_BUSY 0xFF000000u
#define HUB_ST_TX_NOT_EMPTY 0x03000000u

int hub_spi_init(uint8_t spi_id, int chip_num);
int hub_spi_reset(uint8_t spi_id);
int reset_hub(uint8_t spi_id);
int reset_rx_buffer(uint8_t spi_id);
void hub_spi_set_chipnum(uint8_t spi_id, int chip_num);
void hub_set_spi_speed(uint8_t spi_id, int index);
void soc_set_spi_speed(uint8_t spi_id, int index);

int wait_write_buf_empty(uint8_t spi_id, int timeout_us);
int wait_spi_idle(uint8_t spi_id, int timeout_us);
int wait_phy_idle(uint8_t spi_id, int timeout_us);
int wait_cmd_done(uint8_t spi_id, int timeout_us);
int clear_wait_st_idle(uint8_t spi_id, int timeout_us);
bool rece_queue_ready_check(uint8_t spi_id, int words, int timeout_us);
bool rece_queue_empty_check(uint8_t spi_id, int timeout_us);
int check_cmd_status(uint8_t spi_id);

int push_one_cmd(uint8_t spi_id, const uint8_t *tx, uint32_t len_cfg, int last);
int pop_one_rece(uint8_t spi_id, uint8_t *rx, uint32_t len_cfg);
int do_spi_cmd(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg);
int send_job_queue(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg, int last);
int send_job_queue_boardtest(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg, int last);
int send_one_cmd_split(uint8_t spi_id, const uint8_t *tx, uint32_t len_cfg, int last, int cs_low);

/* Manual (word by word) mode. */
int send_spi_header(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg);
int send_spi_header_manual(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg);
int spi_padding(uint8_t spi_id, uint8_t *rx, int words);

/* Automatic result polling. */
int enable_auto_nonce(uint8_t spi_id, uint16_t cmd08_cmd, uint32_t len_cfg);
int disable_auto_nonce(uint8_t spi_id);
bool rece_queue_has_nonce(uint8_t spi_id);
int read_nonce_buffer(uint8_t spi_id, uint8_t *buf, uint32_t len_cfg);

/* Automatic temperature sweep. */
void enable_auto_cmd0a(uint8_t spi_id, int threshold, int msb, int lsb, int large_en, int mode);
void disable_auto_cmd0a(uint8_t spi_id, int threshold, int msb, int lsb, int large_en, int mode);

#ifdef __cplusplus
}
#endif

#endif
