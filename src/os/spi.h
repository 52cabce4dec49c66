// spidev character devices (/dev/spidevB.C): open, the mode/word/speed and
// transfer ioctls, and the half-duplex read()/write() the direct links use.
// On the board these are the plain Linux calls; inside an emulated machine
// the node is an emulated SPI device (registered by the emulation, see
// emulation.h) that answers as the chips (or the link's microcontroller)
// would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kos {

// open(path, O_RDWR); -1 with errno on failure.
int spi_open(const char *path);
// ioctl(fd, request, arg) for the SPI_IOC_* requests; the kernel's result
// (for SPI_IOC_MESSAGE the bytes moved) or -1 with errno.
int spi_ioctl(int fd, unsigned long request, void *arg);
long spi_write(int fd, const void *buf, size_t n);
long spi_read(int fd, void *buf, size_t n);
void spi_close(int fd);

// Where a board sysfs file outside /sys/class (the fabric clock's) is
// opened: the path itself on the board; under emulation the same path below
// the machine's state folder, where the emulated clock keeps its files.
std::string board_sysfs_path(const char *path);

// An emulated spidev node; one object per open. Results as above, with a
// negative errno in place of -1.
class EmulatedSpi {
public:
    virtual ~EmulatedSpi() = default;
    virtual int ioctl(unsigned long request, void *arg) = 0;
    virtual long write(const uint8_t *buf, size_t n) = 0;
    virtual long read(uint8_t *buf, size_t n) = 0;
};
// Returns the device for an open of `path`, or nullptr with errno set.
using SpiFactory = EmulatedSpi *(*)(const char *path);
void register_emulated_spi(SpiFactory factory);

}  // namespace kos
