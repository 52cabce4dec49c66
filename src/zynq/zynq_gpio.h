/* Linux GPIO lines through sysfs and the fan PWM generator of the Zynq
 * direct-SPI boards. */
#ifndef KMX_ZYNQ_GPIO_H
#define KMX_ZYNQ_GPIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZYNQ_PWM_DEV "/dev/pwmgen0.0"

/* dir 0: output, anything else: input. An already exported pin keeps its
 * direction. */
void zynq_gpio_init(int pin, int dir);
void zynq_gpio_write(int pin, int val);
/* 0, 1, or -1 when the value file holds anything else. */
int zynq_gpio_read(int pin);
void zynq_gpio_exit(int pin);
void zynq_set_pwm(uint8_t fan_id, int frequency, int duty);
void zynq_get_pwm(uint8_t fan_id, int *frequency, int *duty);

#ifdef __cplusplus
}
#endif

#endif
