// The emulated machine's GPIO and fan devices, for kmx-sim and for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The shared backing file of a window (as plain storage uses it), mapped
// whole; null on failure. munmap(bytes) when done.
volatile uint32_t *map_window_file(uint32_t phys, size_t bytes);

// ---- SoC GPIO block (active window at 0x60050000) ---------------------------
// Backing file: the register words, then at kSocGpioExternal the levels
// outside circuits drive onto the pads. An input word reads
// (data & dir) | (external & ~dir), so outputs read back and inputs follow
// the outside level.
constexpr unsigned kSocGpioExternal = 0x10000;
// Set the outside level of a pad; false for a bad pad or an unusable file.
bool soc_pad_set_external(int pad, int level);
// The data bit the pad drives (0/1), -1 when unreadable.
int soc_pad_output(int pad);
// Whether slot `slot`'s power-enable and reset pads are both driven high
// (direction output, data 1): the chain's supply switch and reset release.
bool soc_chain_lines_on(int slot);
// Lay out the pads' outside levels from the machine description: plug
// detect per slot (0 = board present), button, strap codes.
bool soc_pads_boot();

// ---- sysfs GPIO controller ----------------------------------------------------
// Writing a number to /sys/class/gpio/export creates gpioN/{direction,value}
// with the line's outside level, or fails with EBUSY when gpioN exists and
// EINVAL when there is no such line.
int gpio_export_hook(const char *buf, size_t n);
int gpio_unexport_hook(const char *buf, size_t n);
// Outside level of a sysfs line from the description (plug pins, straps).
int sysfs_line_level(int pin);

// ---- fan PWM devices ------------------------------------------------------------
// /dev/pwmgen0.0 (requests 0x80046400 + n, value argument) and
// /dev/pwm_fan_devnode (0x6B00 + n). Period and on-count of each fan are kept
// in $KMX_SIM_DIR/fans, one line per device and fan:
//   "<device> fan<N> period <P> oncount <C>"
struct FanRequest {
    std::string device;
    unsigned long request;
    int value;
};
// Requests seen by this process, in order.
std::vector<FanRequest> fan_requests();
void fan_requests_clear();
// Fault injection for this process: the device cannot be opened, or one
// request fails (0: none).
void fan_device_fault(const std::string &device, bool open_fails, unsigned long failing_request);

}  // namespace sim
