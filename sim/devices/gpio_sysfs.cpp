#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os.h"
#include "sim/devices/chip.h"
#include "sim/devices/gpio_devices.h"
#include "sim/devices/machine_desc.h"

namespace sim {

namespace {

const char kGpioDir[] = "/sys/class/gpio";
// The board's gpiochips cover lines 0..1023; the kernel refuses others.
constexpr int kMaxLine = 1023;

bool parse_pin(const char *buf, size_t n, int &pin) {
    std::string text(buf, n);
    const size_t end = text.find_first_of(std::string("\n\0", 2));
    if (end != std::string::npos) text.resize(end);
    if (text.empty()) return false;
    char *stop = nullptr;
    long v = strtol(text.c_str(), &stop, 10);
    if (*stop || v < 0 || v > kMaxLine) return false;
    pin = int(v);
    return true;
}

std::string pin_dir(int pin) { return std::string(kGpioDir) + "/gpio" + std::to_string(pin); }

}  // namespace

int sysfs_line_level(int pin) {
    if (pin >= 896 && pin <= 903) return board_seated(pin - 896) ? 0 : 1;  // plug detect
    json_t *straps = json_object_get(machine_desc(), "straps");
    const long long code = desc_int(straps, "board_code", 0);
    switch (pin) {  // board code strap lines, bit 3 .. bit 0
    case 943: return int((code >> 3) & 1);
    case 957: return int((code >> 2) & 1);
    case 935: return int((code >> 1) & 1);
    case 956: return int(code & 1);
    default: return 0;
    }
}

int gpio_export_hook(const char *buf, size_t n) {
    int pin;
    if (!parse_pin(buf, n, pin)) return EINVAL;
    const std::string dir = pin_dir(pin);
    if (mkdir(dir.c_str(), 0755) != 0) return errno == EEXIST ? EBUSY : errno;
    const std::string value = std::to_string(sysfs_line_level(pin)) + "\n";
    if (!kos::write_file_atomic((dir + "/direction").c_str(), "in\n") ||
        !kos::write_file_atomic((dir + "/value").c_str(), value))
        return EIO;
    return 0;
}

int gpio_unexport_hook(const char *buf, size_t n) {
    int pin;
    if (!parse_pin(buf, n, pin)) return EINVAL;
    const std::string dir = pin_dir(pin);
    unlink((dir + "/direction").c_str());
    unlink((dir + "/value").c_str());
    return rmdir(dir.c_str()) == 0 ? 0 : EINVAL;
}

}  // namespace sim
