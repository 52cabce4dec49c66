#include "os/watchdog.h"

#include <fcntl.h>
#include <linux/watchdog.h>

#include "os/ioctl_dev.h"

namespace kos {

int wdt_open(const char *path) { return dev_open(path, O_RDWR); }

int wdt_set_options(int fd, int options) { return dev_ioctl_out(fd, WDIOC_SETOPTIONS, &options); }

int wdt_set_timeout(int fd, int seconds) { return dev_ioctl_out(fd, WDIOC_SETTIMEOUT, &seconds); }

bool wdt_feed(int fd) {
    const int one = 1;
    return dev_write(fd, &one, sizeof one) == long(sizeof one);
}

void wdt_close(int fd) { dev_close(fd); }

}  // namespace kos
