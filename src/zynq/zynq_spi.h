/* The direct-SPI platforms' chain links: one spidev device per chain slot,
 * clocked from a programmable-logic fabric clock shared by all chains. */
#ifndef KMX_ZYNQ_SPI_H
#define KMX_ZYNQ_SPI_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZYNQ_SPI_MODE 1
#define ZYNQ_SPI_BITS 8
#define ZYNQ_SPI_MAX_SPEED 1500000
#define ZYNQ_FCLK_RATE_FILE "/sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate"
#define ZYNQ_FCLK_EXPORT_FILE "/sys/devices/soc0/amba/f8007000.devcfg/fclk_export"

typedef struct ZYNQ_SPI_TAG {
    int fd; /* -1 while the link is not open */
    pthread_mutex_t lock;
} ZYNQ_SPI_T;

/* By chain slot. */
extern ZYNQ_SPI_T s_spi[8];

/* Device errors log the source line and end the process (status 0). */
void zynq_spi_init(ZYNQ_SPI_T *spi, int bus);
void zynq_set_spi_speed(int hz);
/* One write() or read() of the whole buffer under the link's lock. */
int zynq_spi_write(ZYNQ_SPI_T *spi, const uint8_t *buf, int len);
int zynq_spi_read(ZYNQ_SPI_T *spi, uint8_t *buf, int len);
void zynq_spi_exit(ZYNQ_SPI_T *spi);

int spi_send_data(ZYNQ_SPI_T *spi, const uint8_t *buf, int len);
int spi_recv_data(ZYNQ_SPI_T *spi, uint8_t *buf, int len);
/* The same in 2-byte transfers, each a locked call of its own. */
int spi_send_data_in_word(ZYNQ_SPI_T *spi, const uint8_t *buf, int len);
int spi_recv_data_in_word(ZYNQ_SPI_T *spi, uint8_t *buf, int len);

#ifdef __cplusplus
}
#endif

#endif
