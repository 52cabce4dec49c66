#include "drv/hub_gpio.h"

#include <fcntl.h>
#include <mutex>

#include "drv/hub.h"
#include "drv/soc_gpio.h"
#include "drv/soc_pads.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/ioctl_dev.h"
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

// Chain lines exist for slots 0..7; other ids would reach other bits.
bool chain_ok(uint8_t chain_id, const char *fn) {
    if (chain_id < 8) return true;
    kmx_logf(5, "%s: chain %d out of range\n", fn, chain_id);
    return false;
}

bool fan_ok(uint8_t fan_id, const char *fn) {
    if (fan_id < KMX_FAN_COUNT) return true;
    kmx_logf(5, "%s: fan %d out of range\n", fn, fan_id);
    return false;
}

// ---- SoC pads ---------------------------------------------------------------

using soc_pads::kButtonPad;
using soc_pads::kGreenPad;
using soc_pads::kRedPad;
using soc_pads::kSlotPads;

void pad_out(int pad, int value) {
    sarn_gpio_write(pad, 1, 1);
    sarn_gpio_write(pad, value, 0);
}

int pad_in(int pad) {
    sarn_gpio_write(pad, 0, 1);
    return sarn_gpio_read(pad);
}

// Board LEDs are active low; modes other than 0 and 1 do nothing.
void soc_board_led(int pad, int mode) {
    if (mode != 0 && mode != 1) return;
    std::lock_guard<std::mutex> g(s_led_lock);
    pad_out(pad, mode ? 0 : 1);
}

// The fan device's requests: 0x6B00 + n, no size in the number.
constexpr unsigned long soc_fan_req(unsigned n) { return 0x6B00ul + n; }

}  // namespace

extern "C" {

void init_hub_gpio(void) {
    Xil_Peripheral_Out32(HUB_GPIO_CTRL, 0);
    kos::sleep_s(1);
    Xil_Peripheral_Out32(HUB_GPIO_CTRL, 3);
}

void hub_set_power_en(uint8_t chain_id, int value) {
    if (!chain_ok(chain_id, __func__)) return;
    if (value == 0 && misc_vid_type_is_i2c()) return;
    set_bit(HUB_CHAIN_LINES, 18u + chain_id, value, s_lines_lock);
}

void hub_set_start_en(uint8_t chain_id, int value) {
    if (chain_ok(chain_id, __func__)) set_bit(HUB_CHAIN_LINES, chain_id, value, s_lines_lock);
}

void hub_set_reset(uint8_t chain_id, int value) {
    if (chain_ok(chain_id, __func__)) set_bit(HUB_CHAIN_LINES, 9u + chain_id, value, s_lines_lock);
}

void hub_set_led(uint8_t chain_id, int mode) {
    if (mode != 0 && mode != 1) return;
    if (chain_ok(chain_id, __func__)) set_bit(HUB_LED, chain_id, mode, s_led_lock);
}

int hub_get_plug(uint8_t chain_id) {
    if (!chain_ok(chain_id, __func__)) return 1;  // reads as "no board"
    return int((Xil_Peripheral_In32(HUB_INPUTS) >> chain_id) & 1u);
}

int hub_get_button(void) { return int((Xil_Peripheral_In32(HUB_INPUTS) >> 16) & 1u); }

// Board LEDs are active low: any non-zero mode lights them.
void hub_set_green_led(int mode) { set_bit(HUB_LED, 9, mode ? 0 : 1, s_led_lock); }

void hub_set_red_led(int mode) { set_bit(HUB_LED, 10, mode ? 0 : 1, s_led_lock); }

void hub_set_pwm(uint8_t fan_id, int frequency, int duty) {
    kmx_logf(1, "%s,%d: fan_id %d, freq: %d duty: %d.\n", __FILE__, __LINE__, fan_id, frequency, duty);
    if (!fan_ok(fan_id, __func__)) return;
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

// ---- SoC hub ------------------------------------------------------------------

void soc_init_hub_gpio(void) {
    sarn_gpio_init();
    sarn_apb_sys_init();
    group_signal_map_init();
    gpio_mux_init();
}

void soc_hub_set_power_en(uint8_t chain_id, int value) {
    if (!chain_ok(chain_id, __func__)) return;
    if (value == 0 && misc_vid_type_is_i2c() && g_miner_subtype != 6) return;
    pad_out(kSlotPads[chain_id].power, value);
}

void soc_hub_set_start_en(uint8_t chain_id, int value) {
    if (chain_ok(chain_id, __func__)) pad_out(kSlotPads[chain_id].start, value);
}

void soc_hub_set_reset(uint8_t chain_id, int value) {
    if (chain_ok(chain_id, __func__)) pad_out(kSlotPads[chain_id].reset, value);
}

void soc_hub_set_led(uint8_t chain_id, int mode) {
    if (mode != 0 && mode != 1) return;
    if (!chain_ok(chain_id, __func__)) return;
    std::lock_guard<std::mutex> g(s_led_lock);
    pad_out(kSlotPads[chain_id].led, mode);
}

int soc_hub_get_plug(uint8_t chain_id) {
    if (!chain_ok(chain_id, __func__)) return 1;
    return pad_in(kSlotPads[chain_id].plug);
}

int soc_hub_get_button(void) { return pad_in(kButtonPad); }

void soc_hub_set_green_led(int mode) { soc_board_led(kGreenPad, mode); }

void soc_hub_set_red_led(int mode) { soc_board_led(kRedPad, mode); }

void soc_hub_set_pwm(uint8_t fan_id, int frequency, int duty) {
    // Fan 3's period request would be fan 0's period read.
    if (!fan_ok(fan_id, __func__)) return;
    int fd = kos::dev_open(SOC_FAN_DEV, O_RDWR);
    if (fd < 0) {
        kmx_logf(1, "%s,%d: Open pwm device node fail!\n", __FILE__, __LINE__);
        return;
    }
    kmx_logf(1, "%s,%d: fan_id %d, freq: %d duty: %d.\n", __FILE__, __LINE__, fan_id, frequency, duty);
    if (kos::dev_ioctl_int(fd, soc_fan_req(2u * fan_id), frequency) < 0)
        kmx_logf(5, "%s,%d: set fan %d frequency fail\n", __FILE__, __LINE__, fan_id);
    else if (kos::dev_ioctl_int(fd, soc_fan_req(2u * fan_id + 1), duty * (frequency / 100)) < 0)
        kmx_logf(5, "%s,%d: set fan %d duty fail \n", __FILE__, __LINE__, fan_id);
    kos::dev_close(fd);
}

void soc_hub_get_pwm(uint8_t fan_id, int *frequency, int *duty) {
    if (!fan_ok(fan_id, __func__)) return;
    int f = 0, d = 0;
    if (!frequency) frequency = &f;
    if (!duty) duty = &d;
    int fd = kos::dev_open(SOC_FAN_DEV, O_RDWR);
    if (fd < 0) {
        kmx_logf(1, "%s,%d: Open pwm device node fail!\n", __FILE__, __LINE__);
        return;
    }
    kmx_logf(1, "%s,%d: get fan_id %d  freq and duty!\n", __FILE__, __LINE__, fan_id);
    if (kos::dev_ioctl_out(fd, soc_fan_req(2u * fan_id + 6), frequency) < 0)
        kmx_logf(5, "%s,%d: get fan %d frequency fail\n", __FILE__, __LINE__, fan_id);
    else if (kos::dev_ioctl_out(fd, soc_fan_req(2u * fan_id + 7), duty) < 0)
        kmx_logf(5, "%s,%d: get fan %d duty fail \n", __FILE__, __LINE__, fan_id);
    else
        kmx_logf(5, "%s,%d: get fan %d  frequency: %d, duty: %d\n", __FILE__, __LINE__, fan_id, *frequency, *duty);
    kos::dev_close(fd);
}

}  // extern "C"
