#include "zynq/zynq_gpio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "drv/hub_gpio.h"
#include "module/kmx_log.h"
#include "os/ioctl_dev.h"
#include "os/os.h"
#include "os/sysfs.h"

namespace {

constexpr unsigned long kPwmBase = 0x80046400ul;

[[noreturn]] void gpio_fail(int line) {
    kmx_logf(5, "%s,%d: %s.\n", __FILE__, line, strerror(errno));
    kos::terminate(0);
}

int open_or_die(const char *path, int flags, int line) {
    int fd = kos::sysfs_open(path, flags);
    if (fd < 0) gpio_fail(line);
    return fd;
}

}  // namespace

extern "C" {

void zynq_gpio_init(int pin, int dir) {
    int fd = open_or_die("/sys/class/gpio/export", O_WRONLY, __LINE__);
    char num[16];
    const int n = snprintf(num, sizeof num, "%d", pin);
    if (kos::sysfs_write(fd, num, size_t(n)) < 0) {
        if (errno == EBUSY) {  // exported before: leave its direction alone
            kos::sysfs_close(fd);
            return;
        }
        const int err = errno;
        kmx_logf(5, "%s,%d: %d,%s.\n", __FILE__, __LINE__, err, strerror(err));
        kos::sysfs_close(fd);
        kos::terminate(0);
    }
    kos::sysfs_close(fd);

    char path[64];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/direction", pin);
    fd = open_or_die(path, O_WRONLY, __LINE__);
    // The terminating zero goes out with the text.
    const bool out = dir == 0;
    if (kos::sysfs_write(fd, out ? "out" : "in", out ? 4 : 3) < 0) gpio_fail(__LINE__);
    kos::sysfs_close(fd);
}

void zynq_gpio_write(int pin, int val) {
    char path[64];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", pin);
    int fd = open_or_die(path, O_WRONLY, __LINE__);
    if (kos::sysfs_write(fd, val ? "1" : "0", 2) < 0) {
        if (!val) gpio_fail(__LINE__);
        kmx_logf(5, "%s,%d: %s,%s.\n", __FILE__, __LINE__, strerror(errno), path);
        kos::terminate(0);
    }
    kos::sysfs_close(fd);
}

int zynq_gpio_read(int pin) {
    char path[64];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", pin);
    int fd = open_or_die(path, O_RDONLY, __LINE__);
    char c = 0;
    if (kos::sysfs_read(fd, &c, 1) < 0) gpio_fail(__LINE__);
    kos::sysfs_close(fd);
    return c == '0' ? 0 : c == '1' ? 1 : -1;
}

void zynq_gpio_exit(int pin) { (void)pin; }

void zynq_set_pwm(uint8_t fan_id, int frequency, int duty) {
    // Other ids would issue requests of other meaning on the device.
    if (fan_id >= KMX_FAN_COUNT) {
        kmx_logf(5, "%s,%d: fan_id %d out of range\n", __FILE__, __LINE__, fan_id);
        return;
    }
    int fd = kos::dev_open(ZYNQ_PWM_DEV, O_RDWR);
    if (fd < 0) {
        kmx_logf(5, "open %s fail\n", ZYNQ_PWM_DEV);
        return;
    }
    const unsigned long req = kPwmBase + 2ul * fan_id;
    // The generator counts the inverted duty.
    if (kos::dev_ioctl_int(fd, req, frequency) < 0)
        kmx_logf(5, "set fan%d frequency fail \n", fan_id);
    else if (kos::dev_ioctl_int(fd, req + 1, (100 - duty) * (frequency / 100)) < 0)
        kmx_logf(5, "set fan%d duty fail \n", fan_id);
    kos::dev_close(fd);
}

void zynq_get_pwm(uint8_t fan_id, int *frequency, int *duty) {
    (void)fan_id;
    (void)frequency;
    (void)duty;
}

}  // extern "C"
