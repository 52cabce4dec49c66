// The Linux hardware watchdog character device: open, the WDIOC_* requests
// that carry a pointer to an int, the keep-alive write and the close (a
// close after the magic 'V' write stops the card; any other close leaves it
// counting down). Inside an emulated machine the same calls reach the
// emulated watchdog in sim/devices.
#pragma once

#include <cstddef>

namespace kos {

// open(path, O_RDWR); -1 with errno on failure.
int wdt_open(const char *path);
// ioctl(fd, request, arg): the kernel's result, or -1 with errno.
int wdt_ioctl(int fd, unsigned long request, int *arg);
// write(2) of a keep-alive (or of the magic 'V'); bytes written or -1.
long wdt_write(int fd, const void *buf, size_t len);
void wdt_close(int fd);

// An emulated watchdog: one object per open; calls return 0 (write: the
// byte count) or a negative errno.
class EmulatedWatchdog {
public:
    virtual ~EmulatedWatchdog() = default;  // the close
    virtual int ioctl(unsigned long request, int *arg) = 0;
    virtual long write(const void *buf, size_t len) = 0;
};
// Returns the device for an open, or nullptr with errno set.
using WatchdogFactory = EmulatedWatchdog *(*)(const char *path);
void register_emulated_watchdog(const char *path, WatchdogFactory factory);

}  // namespace kos
