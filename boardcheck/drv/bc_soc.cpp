// The board test on a SoC hub: the SoC GPIO and APB blocks, the checked pad
// wrappers and the slot functions that drive each chain's pads.
#include "drv/bc_soc.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

#include "drv/bc_links.h"
#include "drv/soc_gpio.h"
#include "drv/soc_pads.h"
#include "module/bc_platform.h"
#include "module/test_log.h"
#include "os/ioctl_dev.h"
#include "os/os.h"

namespace {

constexpr uint32_t kApbSysPhy = 0x60000000u;  // the SoC APB system block

kos::Window *s_gpio = nullptr;
kos::Window *s_apb = nullptr;

int map_block(kos::Window *&w, const char *name, uint32_t phys, const char *func) {
    if (w) return 0;
    const int fd = kos::mem_open(O_NONBLOCK);
    if (fd < 0) {
        test_logf(5, TL_PLAIN, "%s,%d: %s failled: %d.\n", __FILE__, __LINE__, func, errno);
        return -1;
    }
    w = kos::window_map(fd, name, phys, SOC_GPIO_MAP_SIZE);
    const int err = errno;
    kos::mem_close(fd);
    if (!w) {
        test_logf(5, TL_PLAIN, "%s,%d: %s failled: %d.\n", __FILE__, __LINE__, func, err);
        return -1;
    }
    return 0;
}

void apb(uint32_t off, uint32_t v) {
    if (s_apb) kos::window_write32(s_apb, off, v);
}

void gpio_rmw(uint32_t off, uint32_t set, uint32_t clear) {
    if (!s_gpio) return;
    kos::window_write32(s_gpio, off, (kos::window_read32(s_gpio, off) | set) & ~clear);
}

bool slot_ok(int chain) { return chain >= 0 && chain < 8; }

void pad_out(int pad, int value) {
    gpio_write(pad, 1, 1);
    gpio_write(pad, value, 0);
}

int pad_in(int pad) {
    gpio_write(pad, 0, 1);
    return gpio_read(pad);
}

constexpr const char *kFanDev = "/dev/pwm_fan_devnode";
constexpr unsigned long soc_fan_req(unsigned n) { return 0x6B00ul + n; }

}  // namespace

int bc_sarn_gpio_init() { return map_block(s_gpio, "soc_gpio_base", SOC_GPIO_PHY, "sarn_gpio_init"); }
int bc_sarn_apb_sys_init() { return map_block(s_apb, "soc_apb_sys_base", kApbSysPhy, "sarn_apb_sys_init"); }

void bc_soc_gpio_release() {
    for (kos::Window **w : {&s_gpio, &s_apb})
        if (*w) {
            kos::window_unmap(*w);
            *w = nullptr;
        }
}

void bc_group_signal_map_init() {
    for (unsigned i = 0; i < 12; i++) apb(soc_pads::kGroupWords + 4 * i, soc_pads::kGroupSignals[i]);
}

void bc_gpio_mux_init() { soc_pads::mux_words(false, apb, gpio_rmw); }

int bc_soc_init_hub_gpio() {
    const int ok = bc_sarn_gpio_init() | bc_sarn_apb_sys_init();
    bc_group_signal_map_init();
    bc_gpio_mux_init();
    return ok;
}

int gpio_write(int id, int value, int kind) {
    if (id > 170) {
        printf("func:%s;line:%d;not support gpio_id:%d", __func__, __LINE__, id);
        fflush(stdout);
        return -1;
    }
    if (id < 0 || (value != 0 && value != 1) || (kind != 0 && kind != 1)) return -1;
    const soc_pads::PadLoc &p = soc_pads::kPads[id];
    const uint32_t bit = 1u << p.bit;
    gpio_rmw(p.data_off + (kind ? 4u : 0u), value ? bit : 0, value ? 0 : bit);
    return -1;
}

int gpio_read(int id) {
    if (id > 170 || id < 0) {
        test_logf(5, TL_PLAIN, "%s,%d: %s failled: not support gpio_id:%d\n", __FILE__, __LINE__, "sarn_gpio_read", id);
        return -1;
    }
    if (!s_gpio) {
        test_logf(5, TL_PLAIN, "%s,%d: %s failled\n", __FILE__, __LINE__, "sarn_gpio_read");
        return -1;
    }
    const soc_pads::PadLoc &p = soc_pads::kPads[id];
    return int((kos::window_read32(s_gpio, p.in_off) >> p.bit) & 1u);
}

void soc_hub_set_power_en(int chain, int value) {
    if (!slot_ok(chain)) return;
    if (g_kmx_obj && (g_kmx_obj->flags & KMX_OBJ_I2C_PSU)) {
        set_power_on_i2c(chain, value);
        set_watchdog_time_i2c(600);
        kos::sleep_s(3);
    }
    pad_out(soc_pads::kSlotPads[chain].power, value & 1);
}

void soc_hub_set_start_en(int chain, int value) {
    if (slot_ok(chain)) pad_out(soc_pads::kSlotPads[chain].start, value & 1);
}

void soc_hub_set_reset(int chain, int value) {
    if (slot_ok(chain)) pad_out(soc_pads::kSlotPads[chain].reset, value & 1);
}

void soc_hub_set_led(int chain, int value) {
    if (slot_ok(chain) && (value == 0 || value == 1)) pad_out(soc_pads::kSlotPads[chain].led, value);
}

int soc_hub_get_plug(int chain) { return slot_ok(chain) ? pad_in(soc_pads::kSlotPads[chain].plug) : 1; }

int soc_hub_get_button() { return pad_in(soc_pads::kButtonPad); }

// Board LEDs light with the pad low.
void soc_hub_set_green_led(int on) {
    if (on == 0 || on == 1) pad_out(soc_pads::kGreenPad, on ? 0 : 1);
}
void soc_hub_set_red_led(int on) {
    if (on == 0 || on == 1) pad_out(soc_pads::kRedPad, on ? 0 : 1);
}

void soc_hub_set_pwm(int fan, int period, int duty) {
    if (fan < 0 || fan > 2) return;
    const int fd = kos::dev_open(kFanDev, O_RDWR);
    if (fd < 0) {
        test_logf(5, TL_PLAIN, "%s,%d: Open pwm device node fail!\n", __FILE__, __LINE__);
        return;
    }
    if (kos::dev_ioctl_int(fd, soc_fan_req(2u * unsigned(fan)), period) < 0)
        test_logf(5, TL_PLAIN, "%s,%d: set fan %d frequency fail\n", __FILE__, __LINE__, fan);
    else if (kos::dev_ioctl_int(fd, soc_fan_req(2u * unsigned(fan) + 1), duty * (period / 100)) < 0)
        test_logf(5, TL_PLAIN, "%s,%d: set fan %d duty fail \n", __FILE__, __LINE__, fan);
    kos::dev_close(fd);
}
