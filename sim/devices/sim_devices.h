// Emulated character devices behind src/os/devices.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/i2c.h>
#include <string>

namespace sim {

// Supply on /dev/i2c-0 (address 0x01).
bool psu_present();
int psu_transfer(struct i2c_msg *msgs, int n);  // count or -1 with errno
// Whether supply output `out` (1..8, the output of slot out - 1) is on.
bool psu_output_on(int out);

// Regulator UART: whether the line exists ("uart": {"missing": true} drops
// it), and the bytes written on `path` during one open.
bool tty_present(const std::string &path);
// Regulator UART: the bytes written on `path` during one open.
void uart_received(const std::string &path, const uint8_t *data, size_t len);

// VID generator and other ioctl devices: one recorded request.
int ioctl_device(const std::string &path, unsigned long request, unsigned long arg);

// Raw flash: the image file standing for an MTD device, erase semantics.
std::string mtd_image(const std::string &mtd_path);
// Erases whole 0x20000-byte blocks only (EINVAL otherwise).
bool mtd_erase(const std::string &mtd_path, uint32_t off, uint32_t len);
// Byte access to the image: a write ANDs into what is there, as programming
// flash does. Faults armed in <sim dir>/mtd.faults fire once each, one line
// per fault: "open", "read", "short_read", "erase", "write" (the call fails
// with EIO; "write 2" lets two writes through first), "cut N" (power cut: once N more bytes are programmed,
// over as many writes as that takes, the write stops there and the process
// dies at once, as the board would lose power), "lose N" (the flash alone
// loses power: the same N bytes, then the write fails and so does every
// later open, read, erase and write, with EIO, while the line "dead" stays
// in the file; the program goes on and can be started again in place),
// "bad N" (block N, the 0x20000 bytes from N x 0x20000, is worn: every
// erase and write that reaches it fails with EIO, what the call holds before
// it being done; reads still work; the line stays, and so does the fault).
// Another line is refused (refusal.h). mtd.log gets "erase <image> <off>
// <len>" per erase, and "erase <image> <off> <len> failed" per erase that
// failed: the whole call's range for an "erase" fault, the worn block for a
// worn block (after the line of the blocks erased before it).
int mtd_open(const std::string &mtd_path);
long mtd_read(int fd, void *buf, size_t len, uint32_t off);
long mtd_program(int fd, const void *buf, size_t len, uint32_t off);

// Appends one line to a record file under the machine's state folder.
void record_line(const char *name, const std::string &line);

}  // namespace sim
