#include "drv/hub_gpio.h"

#include <mutex>

#include "drv/hub.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace {

// s_led_lock serialises the LED word; the chain-line word is shared by all
// chain threads, so its read-modify-write is serialised too.
std::mutex s_led_lock;
std::mutex s_lines_lock;

void set_bit(uint32_t reg, unsigned bit, int value, std::mutex &lock) {
    std::lock_guard<std::mutex> g(lock);
    uint32_t v = Xil_Peripheral_In32(reg);
    if (value & 1)
        v |= 1u << bit;
    else
        v &= ~(1u << bit);
    Xil_Peripheral_Out32(reg, v);
}

}  // namespace

extern "C" {

void init_hub_gpio(void) {
    Xil_Peripheral_Out32(HUB_GPIO_CTRL, 0);
    kos::sleep_s(1);
    Xil_Peripheral_Out32(HUB_GPIO_CTRL, 3);
}

void hub_set_power_en(uint8_t chain_id, int value) {
    if (value == 0 && misc_vid_type_is_i2c()) return;
    set_bit(HUB_CHAIN_LINES, 18u + chain_id, value, s_lines_lock);
}

void hub_set_start_en(uint8_t chain_id, int value) { set_bit(HUB_CHAIN_LINES, chain_id, value, s_lines_lock); }

void hub_set_reset(uint8_t chain_id, int value) { set_bit(HUB_CHAIN_LINES, 9u + chain_id, value, s_lines_lock); }

void hub_set_led(uint8_t chain_id, int mode) {
    if (mode != 0 && mode != 1) return;
    set_bit(HUB_LED, chain_id, mode, s_led_lock);
}

int hub_get_plug(uint8_t chain_id) { return int((Xil_Peripheral_In32(HUB_INPUTS) >> chain_id) & 1u); }

int hub_get_button(void) { return int((Xil_Peripheral_In32(HUB_INPUTS) >> 16) & 1u); }

// Board LEDs are active low: any non-zero mode lights them.
void hub_set_green_led(int mode) { set_bit(HUB_LED, 9, mode ? 0 : 1, s_led_lock); }

void hub_set_red_led(int mode) { set_bit(HUB_LED, 10, mode ? 0 : 1, s_led_lock); }

void hub_set_pwm(uint8_t fan_id, int frequency, int duty) {
    kmx_logf(1, "%s,%d: fan_id %d, freq: %d duty: %d.\n", __FILE__, __LINE__, fan_id, frequency, duty);
    Xil_Peripheral_Out32(HUB_FAN_PERIOD(fan_id), uint32_t(frequency));
    Xil_Peripheral_Out32(HUB_FAN_ONCOUNT(fan_id), uint32_t(duty * (frequency / 100)));
    std::lock_guard<std::mutex> g(s_lines_lock);
    Xil_Peripheral_Out32(HUB_FAN_ENABLE, Xil_Peripheral_In32(HUB_FAN_ENABLE) | (1u << fan_id));
}

void hub_get_pwm(uint8_t fan_id, int *frequency, int *duty) {
    (void)fan_id;
    (void)frequency;
    (void)duty;
}

}  // extern "C"
