// sysfs attribute files (GPIO export, direction, value). These are the
// plain file calls; under emulation a registered path (the gpio export file)
// is also handed to the emulated controller on every write, which does what
// the kernel does there: create gpioN/ or refuse with EBUSY.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace kos {

int sysfs_open(const char *path, int flags);  // -1 with errno
ssize_t sysfs_write(int fd, const void *buf, size_t n);
ssize_t sysfs_read(int fd, void *buf, size_t n);
void sysfs_close(int fd);

// Emulated attribute: called with each write's bytes; returns 0 or an errno,
// which the write then fails with.
using SysfsWriteHook = int (*)(const char *buf, size_t n);
void register_sysfs_hook(const char *path, SysfsWriteHook hook);

}  // namespace kos
