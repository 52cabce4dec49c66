// Character devices the library talks to besides the register windows:
// the supply's I2C bus, the regulator UARTs, the VID generator and the raw
// flash partitions. Each call is the plain Linux one on the board; inside an
// emulated machine it reaches the emulated device instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/i2c.h>

namespace kos {

// ---- I2C --------------------------------------------------------------------
// open(path, O_RDWR); -1 with errno on failure.
int i2c_open(const char *path);
// One I2C_RDWR transfer of `n` messages; the kernel's result (the message
// count) or -1 with errno.
int i2c_rdwr(int fd, struct i2c_msg *msgs, int n);
void i2c_close(int fd);

// ---- ttys -------------------------------------------------------------------
// open(path, flags | O_NOCTTY). Under emulation the regulator's side of the
// line is a pseudo-terminal: the descriptor is its slave end, so termios
// calls behave as on a serial port, and what was written is handed to the
// emulated regulator when the descriptor is closed.
int tty_open(const char *path, int flags);
long tty_write(int fd, const void *buf, size_t len);
void tty_close(int fd);

// ---- ioctl devices ------------------------------------------------------------
// Opens `path`, issues ioctl(request, arg) and closes; the ioctl's result or
// -1 with errno.
int dev_ioctl(const char *path, unsigned long request, unsigned long arg);

// ---- raw flash ----------------------------------------------------------------
// MEMERASE of [off, off+len) on an MTD character device (erased bytes read
// 0xFF). false with errno on failure.
bool mtd_erase(const char *mtd_path, uint32_t off, uint32_t len);
// Byte access to an MTD character device: open(path, O_RDWR), then reads and
// writes at byte offsets (the range must have been erased before it is
// written: programming only clears bits). -1 with errno on failure; a read
// may come back short.
int mtd_open(const char *mtd_path);
long mtd_pread(int fd, void *buf, size_t len, uint32_t off);
long mtd_pwrite(int fd, const void *buf, size_t len, uint32_t off);
// fsync of the device after a write (the emulated flash is a file on the
// machine's tmpfs, where it costs nothing).
void mtd_sync(int fd);
void mtd_close(int fd);

}  // namespace kos
