#include "drv/soc_gpio.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>

#include "drv/hub.h"
#include "drv/soc_pads.h"
#include "module/kmx_log.h"
#include "os/os.h"

kos::Window *map_gpio_base;
kos::Window *map_apb_sys_base;

namespace {

// One lock for every read-modify-write of the pad words: a word holds the
// lines of several chains, and chain threads drive them at the same time.
std::mutex s_pad_lock;

int map_window(kos::Window *&w, const char *name, uint32_t phys, const char *func) {
    if (w) return 0;  // mapped by an earlier start
    int fd = kos::mem_open(O_NONBLOCK);
    if (fd < 0) {
        kmx_logf(5, "%s,%d: %s failled: %d.\n", __FILE__, __LINE__, func, errno);
        return -1;
    }
    kos::Window *m = kos::window_map(fd, name, phys, SOC_GPIO_MAP_SIZE);
    const int err = errno;
    kos::mem_close(fd);
    if (!m) {
        kmx_logf(5, "%s,%d: %s failled: %d.\n", __FILE__, __LINE__, func, err);
        return -1;
    }
    w = m;
    return 0;
}

void unmap_window(kos::Window *&w, const char *name) {
    if (!w) return;
    kmx_logf(2, "unmap %s:vir:%p.\n", name, kos::window_base(w));
    kos::Window *old = w;
    w = nullptr;
    kos::window_unmap(old);
}

void apb(uint32_t off, uint32_t v) { kos::window_write32(map_apb_sys_base, off, v); }

void gpio_rmw(uint32_t off, uint32_t set, uint32_t clear) {
    std::lock_guard<std::mutex> g(s_pad_lock);
    if (!map_gpio_base) return;
    uint32_t v = kos::window_read32(map_gpio_base, off);
    kos::window_write32(map_gpio_base, off, (v | set) & ~clear);
}

void mux_words(bool test_variant) {
    soc_pads::mux_words(test_variant, apb, gpio_rmw);
}

}  // namespace

extern "C" {

int sarn_gpio_init(void) { return map_window(map_gpio_base, "soc_gpio_base", SOC_GPIO_PHY, __func__); }

int sarn_apb_sys_init(void) { return map_window(map_apb_sys_base, "soc_apb_sys_base", SOC_APBSYS_PHY, __func__); }

void group_signal_map_init(void) {
    for (unsigned i = 0; i < 12; i++) apb(soc_pads::kGroupWords + 4 * i, soc_pads::kGroupSignals[i]);
}

int gpio_mux_init(void) {
    mux_words(false);
    return 0;
}

int gpio_mux_init_test(void) {
    mux_words(true);
    return 0;
}

void soc_exit_gpio(void) {
    std::lock_guard<std::mutex> g(s_pad_lock);
    unmap_window(map_gpio_base, "soc_gpio_base");
    unmap_window(map_apb_sys_base, "soc_apb_sys_base");
}

int sarn_gpio_write(int gpio_id, int value, int type) {
    if (value < 0 || value > 1 || gpio_id >= 172 || type < 0 || type > 1) return -1;
    if (gpio_id < 0 || gpio_id >= soc_pads::kPadCount) {
        printf("func:%s;line:%d;not support gpio_id:%d", __func__, __LINE__, gpio_id);
        fflush(stdout);
        return -1;
    }
    const soc_pads::PadLoc &p = soc_pads::kPads[gpio_id];
    const uint32_t bit = 1u << p.bit;
    gpio_rmw(p.data_off + (type ? 4u : 0u), value ? bit : 0, value ? 0 : bit);
    return -1;
}

int sarn_gpio_read(int gpio_id) {
    if (gpio_id >= 172) {
        kmx_logf(5, "%s,%d: %s failled id = %d\n", __FILE__, __LINE__, __func__, gpio_id);
        return -1;
    }
    if (gpio_id < 0 || gpio_id >= soc_pads::kPadCount) {
        kmx_logf(5, "%s,%d: %s failled: not support gpio_id:%d\n", __FILE__, __LINE__, __func__, gpio_id);
        return -1;
    }
    std::lock_guard<std::mutex> g(s_pad_lock);
    if (!map_gpio_base) return -1;
    const soc_pads::PadLoc &p = soc_pads::kPads[gpio_id];
    return int((kos::window_read32(map_gpio_base, p.in_off) >> p.bit) & 1u);
}

}  // extern "C"
