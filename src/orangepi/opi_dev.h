/* Plain device wrappers of the single-board computer's module: an I2C
 * device bound to one address, a spidev device with its own mode and speed,
 * and a millisecond pause. The link above does not use them. */
#ifndef KMX_OPI_DEV_H
#define KMX_OPI_DEV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Descriptor, or -1 when the device cannot be opened or bound. */
int i2c_open(const char *dev, uint8_t address);
void i2c_close(int fd);
/* One write of len bytes to the bound address; the count or -1. */
int i2c_send(int fd, const uint8_t *buf, int len);

/* Opens with the mode, 8 bits per word and the speed; transfers made through
 * spi_xfer use that speed and `delay` microseconds. */
int spi_open(const char *dev, uint8_t mode, uint32_t speed, uint16_t delay);
void spi_close(int fd);
/* Full duplex; the count moved or -1. */
int spi_xfer(int fd, const uint8_t *tx, uint8_t *rx, int len);
int spi_read(int fd, uint8_t *buf, int len);
int spi_write(int fd, const uint8_t *buf, int len);

void delay(int ms);

#ifdef __cplusplus
}
#endif

#endif
