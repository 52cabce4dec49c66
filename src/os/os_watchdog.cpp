#include "os/watchdog.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "os/os.h"

#if KMX_EMULATION
#include "sim/devices/sim_devices.h"
#endif

namespace kos {

#if KMX_EMULATION
namespace {
int record(const std::string &line) {
    sim::record_line("hw_watchdog.log", line);
    return 0;
}
}  // namespace
#endif

int wdt_open(const char *path) {
#if KMX_EMULATION
    if (emulated()) {
        if (access((sim_dir() + "/hw_watchdog_busy").c_str(), F_OK) == 0) {
            errno = EBUSY;
            return -1;
        }
        record("open");
        return open("/dev/null", O_RDWR | O_CLOEXEC);
    }
#endif
    return open(path, O_RDWR | O_CLOEXEC);
}

int wdt_set_options(int fd, int options) {
#if KMX_EMULATION
    if (emulated()) return record("options " + std::to_string(options));
#endif
    return ioctl(fd, WDIOC_SETOPTIONS, &options);
}

int wdt_set_timeout(int fd, int seconds) {
#if KMX_EMULATION
    if (emulated()) return record("timeout " + std::to_string(seconds));
#endif
    return ioctl(fd, WDIOC_SETTIMEOUT, &seconds);
}

bool wdt_feed(int fd) {
#if KMX_EMULATION
    if (emulated()) return record("feed") == 0;
#endif
    const int one = 1;
    return write(fd, &one, sizeof one) == ssize_t(sizeof one);
}

void wdt_close(int fd) {
    if (fd >= 0) close(fd);
}

}  // namespace kos
