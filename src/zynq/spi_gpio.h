/* Control lines of the direct-SPI chains: sysfs GPIO pins per chain slot. */
#ifndef KMX_SPI_GPIO_H
#define KMX_SPI_GPIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const int pin_power_en[8];
extern const int pin_start_en[8];
extern const int pin_reset[8];
extern const int pin_led[8];
extern const int pin_plug[8];

void init_spi_gpio(int chain_num);
void exit_spi_gpio(int chain_num);
void spi_set_power_en(uint8_t chain_id, int val);
void spi_set_start_en(uint8_t chain_id, int val);
void spi_set_reset(uint8_t chain_id, int val);
void spi_set_led(uint8_t chain_id, int val);
/* 0 = board present. */
int spi_get_plug(uint8_t chain_id);

#ifdef __cplusplus
}
#endif

#endif
