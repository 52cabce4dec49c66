// Character devices driven by ioctl requests that carry one int: either the
// value itself as the third argument or a pointer to an int the driver fills.
// Under emulation the path names an emulated device from sim/devices.
#pragma once

namespace kos {

// open(2) of a device node; -1 with errno on failure.
int dev_open(const char *path, int flags);
// ioctl(fd, request, value): the value is the argument, not a pointer.
int dev_ioctl_int(int fd, unsigned long request, int value);
// ioctl(fd, request, out): the driver stores an int at out.
int dev_ioctl_out(int fd, unsigned long request, int *out);
void dev_close(int fd);

// An emulated device node. Each open makes a new object; both calls return
// 0 or a negative errno.
class EmulatedDevice {
public:
    virtual ~EmulatedDevice() = default;
    virtual int ioctl_int(unsigned long request, int value) = 0;
    virtual int ioctl_out(unsigned long request, int *out) = 0;
};
// Returns the device for an open, or nullptr with errno set.
using DeviceFactory = EmulatedDevice *(*)(const char *path);
void register_emulated_device(const char *path, DeviceFactory factory);

}  // namespace kos
