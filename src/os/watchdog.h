// The hardware watchdog device (/dev/watchdog): options, time-out and feeds.
// These are the kernel's watchdog ioctls and a 4-byte write, through the
// device-node calls of ioctl_dev.h, so that inside an emulated machine they
// reach the same emulated card as every other user of /dev/watchdog.
#pragma once

namespace kos {

int wdt_open(const char *path);  // -1 with errno
int wdt_set_options(int fd, int options);
int wdt_set_timeout(int fd, int seconds);
bool wdt_feed(int fd);  // writes the int 1
void wdt_close(int fd);

}  // namespace kos
