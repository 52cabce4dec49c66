#include "orangepi/opi_gpio.h"

#include <atomic>
#include <fcntl.h>

#include "os/os.h"

namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kMapBase = SUNXI_PIO_PHYS & ~(kPage - 1);
constexpr uint32_t kPioOff = SUNXI_PIO_PHYS - kMapBase;

// SUNXI_IO_BASE: the mapping of the two pages holding the PIO block.
std::atomic<kos::Window *> s_io_base{nullptr};

// Port n's registers are nine words from the block's start.
uint32_t reg(unsigned pin, unsigned word) { return kPioOff + 36u * (pin >> 5) + 4u * word; }

bool field(unsigned pin, unsigned word, unsigned shift, unsigned bits, unsigned value) {
    kos::Window *w = s_io_base.load();
    if (!w) return false;
    const uint32_t off = reg(pin, word);
    const uint32_t mask = ((1u << bits) - 1) << shift;
    const uint32_t old = kos::window_read32(w, off);
    kos::window_write32(w, off, (old & ~mask) | ((value << shift) & mask));
    return true;
}

}  // namespace

extern "C" {

int gpio_init(void) {
    if (s_io_base.load()) return 0;
    const int fd = kos::mem_open(O_SYNC);
    if (fd < 0) return -1;
    kos::Window *w = kos::window_map(fd, "h3_pio", kMapBase, 2 * kPage);
    kos::mem_close(fd);
    if (!w) return -1;
    kos::Window *expected = nullptr;
    if (!s_io_base.compare_exchange_strong(expected, w)) kos::window_unmap(w);
    return 0;
}

int gpio_setcfg(unsigned pin, unsigned cfg) {
    const unsigned idx = pin & 31;
    return field(pin, (idx >> 3) & 3, 4 * (idx & 7), 4, cfg) ? 0 : -1;
}

unsigned gpio_getcfg(unsigned pin) {
    kos::Window *w = s_io_base.load();
    if (!w) return 0;
    const unsigned idx = pin & 31;
    return (kos::window_read32(w, reg(pin, (idx >> 3) & 3)) >> (4 * (idx & 7))) & 0xF;
}

int gpio_output(unsigned pin, unsigned value) { return field(pin, 4, pin & 31, 1, value ? 1 : 0) ? 0 : -1; }

int gpio_input(unsigned pin) {
    kos::Window *w = s_io_base.load();
    if (!w) return -1;
    return int((kos::window_read32(w, reg(pin, 4)) >> (pin & 31)) & 1);
}

int gpio_pullup(unsigned pin, unsigned pull) {
    const unsigned idx = pin & 31;
    return field(pin, idx < 16 ? 7 : 8, 2 * (idx & 15), 2, pull) ? 0 : -1;
}

}  // extern "C"
