/* The H3's PIO block (physical 0x01C20800), mapped from /dev/mem: pin
 * configuration, data and pulls. Pins are numbered port x 32 + index. */
#ifndef KMX_OPI_GPIO_H
#define KMX_OPI_GPIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SUNXI_PIO_PHYS 0x01C20800u
#define SUNXI_GPIO_OUTPUT 1
#define SUNXI_GPIO_INPUT 0

#define SUNXI_PA(n) (n)
#define SUNXI_PD(n) (3 * 32 + (n))

/* 0, or -1 when the block cannot be mapped. */
int gpio_init(void);
/* Before gpio_init has mapped the block these change nothing and return
 * -1 (gpio_getcfg 0). */
int gpio_setcfg(unsigned pin, unsigned cfg);
unsigned gpio_getcfg(unsigned pin);
int gpio_output(unsigned pin, unsigned value);
int gpio_input(unsigned pin);
int gpio_pullup(unsigned pin, unsigned pull);

#ifdef __cplusplus
}
#endif

#endif
