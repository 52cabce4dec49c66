// The hardware watchdog device (/dev/watchdog): options, time-out and feeds.
// On the board these are the kernel's watchdog ioctls and a 4-byte write;
// inside an emulated machine nothing is armed: each call is appended to
// <sim dir>/hw_watchdog.log ("open", "options N", "timeout N", "feed"), and
// while <sim dir>/hw_watchdog_busy exists the open fails with EBUSY.
#pragma once

namespace kos {

int wdt_open(const char *path);  // -1 with errno
int wdt_set_options(int fd, int options);
int wdt_set_timeout(int fd, int seconds);
bool wdt_feed(int fd);  // writes the int 1
void wdt_close(int fd);

}  // namespace kos
