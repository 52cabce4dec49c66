// Character devices driven by ioctl requests that carry one int: either the
// value itself as the third argument or a pointer to an int the driver reads
// or fills (the watchdog's requests), and written to with write(2) (the
// watchdog's keep-alive). Under emulation the path names a device node the
// emulation registered (emulation.h).
#pragma once

#include <cerrno>
#include <cstddef>

namespace kos {

// open(2) of a device node; -1 with errno on failure.
int dev_open(const char *path, int flags);
// ioctl(fd, request, value): the value is the argument, not a pointer.
int dev_ioctl_int(int fd, unsigned long request, int value);
// ioctl(fd, request, out): the driver reads or stores the int at out.
int dev_ioctl_out(int fd, unsigned long request, int *out);
// write(2): bytes written or -1 with errno.
long dev_write(int fd, const void *buf, size_t len);
void dev_close(int fd);

// An emulated device node. Each open makes a new object (its destructor is
// the close); the ioctl calls return 0 or a negative errno.
class EmulatedDevice {
public:
    virtual ~EmulatedDevice() = default;
    virtual int ioctl_int(unsigned long request, int value) = 0;
    virtual int ioctl_out(unsigned long request, int *out) = 0;
    // Bytes taken or a negative errno; devices that take no data refuse.
    virtual long write(const void *buf, size_t len) {
        (void)buf;
        (void)len;
        return -EINVAL;
    }
};
// Returns the device for an open, or nullptr with errno set.
using DeviceFactory = EmulatedDevice *(*)(const char *path);
void register_emulated_device(const char *path, DeviceFactory factory);

}  // namespace kos
