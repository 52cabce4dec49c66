/* Hub GPIO lines (chain power, start, reset, LED, plug), board LEDs, button,
 * fan PWM and the legacy per-chain temperature statistics. */
#ifndef KMX_HUB_GPIO_H
#define KMX_HUB_GPIO_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KMX_MAX_FAN 8
/* Fans the back-ends drive; larger ids reach other registers or requests. */
#define KMX_FAN_COUNT 3
#define SOC_FAN_DEV "/dev/pwm_fan_devnode"

/* Peripheral window offsets of the FPGA hub. */
#define HUB_GPIO_CTRL 0x04
#define HUB_FAN_ENABLE 0x08
#define HUB_CHAIN_LINES 0x20
#define HUB_LED 0x24
#define HUB_INPUTS 0x28
#define HUB_FAN_PERIOD(f) (0x40 + 8 * (f))
#define HUB_FAN_ONCOUNT(f) (0x44 + 8 * (f))

typedef struct kmx_temp_s {
    int final_temp_avg;
    int final_temp_hi;
    int final_temp_lo;
    int temp_highest[3];
    int temp_lowest[3];
} kmx_temp_s;

struct kmx_fan_temp_s {
    int fd;
    int last_valid_temp;
    int speed;
    int last_fan_speed;
    int last_fan_temp;
    kmx_temp_s *kmx_temp;
    int temp_average;
    int temp_highest;
    int temp_lowest;
};

void init_hub_gpio(void);
void hub_set_power_en(uint8_t chain_id, int value);
void hub_set_start_en(uint8_t chain_id, int value);
void hub_set_reset(uint8_t chain_id, int value);
void hub_set_led(uint8_t chain_id, int mode);
int hub_get_plug(uint8_t chain_id);
int hub_get_button(void);
void hub_set_green_led(int mode);
void hub_set_red_led(int mode);
void hub_set_pwm(uint8_t fan_id, int frequency, int duty);
void hub_get_pwm(uint8_t fan_id, int *frequency, int *duty);

void soc_init_hub_gpio(void);
void soc_hub_set_power_en(uint8_t chain_id, int value);
void soc_hub_set_start_en(uint8_t chain_id, int value);
void soc_hub_set_reset(uint8_t chain_id, int value);
void soc_hub_set_led(uint8_t chain_id, int mode);
int soc_hub_get_plug(uint8_t chain_id);
int soc_hub_get_button(void);
void soc_hub_set_green_led(int mode);
void soc_hub_set_red_led(int mode);
void soc_hub_set_pwm(uint8_t fan_id, int frequency, int duty);
void soc_hub_get_pwm(uint8_t fan_id, int *frequency, int *duty);

#ifdef __cplusplus
}
#endif

#endif
