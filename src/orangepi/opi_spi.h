/* The single-board computer's chain link: one SPI bus shared by every chain,
 * a chain select driven through the H3 PIO, and the microcontroller on the
 * far side that carries out power, reset, LED, plug, VID, fan and speed
 * requests ([69 96 code 00 data], little-endian values). */
#ifndef KMX_OPI_SPI_H
#define KMX_OPI_SPI_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OPI_FRAME_LEN 2560

/* Chain select: PA0 bit 0, PD14 bit 1, PA1 bit 2; PA2 enable, active low. */
#define OPI_SEL_BIT0 0
#define OPI_SEL_BIT1 110
#define OPI_SEL_BIT2 1
#define OPI_SEL_EN 2

typedef struct opi_spi_config_s {
    int bus;
    int cs;
    uint8_t mode;
    uint32_t speed;
    uint8_t bits;
    uint16_t delay;
} opi_spi_config_t;

extern opi_spi_config_t opi_spi_config;
extern int opi_spi_fd;
extern pthread_mutex_t opi_spi_lock;

void opi_spi_init(void);
void opi_spi_exit(void);
/* One full-duplex transfer of len bytes of 16-bit words with the chain
 * selected; rx (when given) starts filled with 0xFF. */
bool opi_spi_transfer(uint8_t chain_id, const void *tx, void *rx, int len);
/* Bytes to and from the link's big-endian 16-bit words. */
bool opi_spi_read_write(uint8_t chain_id, const uint8_t *tx, uint8_t *rx, int len);
void flush_spi(uint8_t chain_id);

bool opi_send_cmd(uint8_t chain_id, uint8_t cmd, const uint8_t *data, int len);
bool opi_poll_rslt(uint8_t chain_id, uint8_t cmd, uint8_t *buf, int len);

void opi_set_power_en(uint8_t chain_id, int val);
void opi_set_start_en(uint8_t chain_id, int val);
void opi_set_reset(uint8_t chain_id, int val);
void opi_set_led(uint8_t chain_id, int val);
/* 0 = board present, -1 when the microcontroller did not answer. */
int opi_get_plug(uint8_t chain_id);
bool opi_set_vid(uint8_t chain_id, int vid);
void opi_set_pwm(uint8_t fan_id, int frequency, int duty);
void opi_get_pwm(uint8_t fan_id, int *frequency, int *duty);
void opi_set_spi_speed(uint8_t chain_id, int index);
bool opi_chain_power_on(uint8_t chain_id, uint8_t mode);
bool opi_chain_power_down(uint8_t chain_id);
bool opi_chain_hw_reset(uint8_t chain_id);
bool opi_chain_power_on_all(void);
bool opi_chain_power_down_all(void);

#ifdef __cplusplus
}
#endif

#endif
