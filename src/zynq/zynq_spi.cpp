#include "zynq/zynq_spi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <string>
#include <unistd.h>

#include "module/kmx_log.h"
#include "os/os.h"
#include "os/spi.h"
#include "os/sysfs.h"

#define KMX_SPI_INIT_ENTRY {-1, PTHREAD_MUTEX_INITIALIZER}
ZYNQ_SPI_T s_spi[8] = {KMX_SPI_INIT_ENTRY, KMX_SPI_INIT_ENTRY, KMX_SPI_INIT_ENTRY, KMX_SPI_INIT_ENTRY,
                       KMX_SPI_INIT_ENTRY, KMX_SPI_INIT_ENTRY, KMX_SPI_INIT_ENTRY, KMX_SPI_INIT_ENTRY};

namespace {

[[noreturn]] void device_fail(int line) {
    kmx_logf(5, "%s,%d: %s.\n", __FILE__, line, strerror(errno));
    kos::terminate(0);
}

void write_text(const char *name, const char *text, int line) {
    const std::string path = kos::board_sysfs_path(name);
    int fd = kos::sysfs_open(path.c_str(), O_WRONLY);
    if (fd < 0) device_fail(line);
    if (kos::sysfs_write(fd, text, strlen(text)) < 0) device_fail(line);
    kos::sysfs_close(fd);
}

void ioctl_or_die(int fd, unsigned long request, void *arg, int line) {
    if (kos::spi_ioctl(fd, request, arg) < 0) device_fail(line);
}

// A handle that was never opened has fd -1: nothing may go to descriptor 0.
void need_open(const ZYNQ_SPI_T *spi, int line) {
    if (spi && spi->fd >= 0) return;
    errno = EBADF;
    device_fail(line);
}

}  // namespace

extern "C" {

void zynq_set_spi_speed(int hz) {
    kmx_logf(1, "set spi speed %d \n", hz);
    char text[24];
    snprintf(text, sizeof text, "%lld", (long long)hz * 16);
    write_text(ZYNQ_FCLK_RATE_FILE, text, __LINE__);
}

void zynq_spi_init(ZYNQ_SPI_T *spi, int bus) {
    if (access(kos::board_sysfs_path(ZYNQ_FCLK_RATE_FILE).c_str(), F_OK) != 0) write_text(ZYNQ_FCLK_EXPORT_FILE, "fclk1", __LINE__);
    zynq_set_spi_speed(ZYNQ_SPI_MAX_SPEED);
    char path[32];
    snprintf(path, sizeof path, "/dev/spidev%d.%d", bus, 0);
    const int fd = kos::spi_open(path);
    if (fd < 0) device_fail(__LINE__);
    uint8_t mode = ZYNQ_SPI_MODE, bits = ZYNQ_SPI_BITS;
    uint32_t speed = ZYNQ_SPI_MAX_SPEED;
    ioctl_or_die(fd, SPI_IOC_WR_MODE, &mode, __LINE__);
    ioctl_or_die(fd, SPI_IOC_RD_MODE, &mode, __LINE__);
    ioctl_or_die(fd, SPI_IOC_WR_BITS_PER_WORD, &bits, __LINE__);
    ioctl_or_die(fd, SPI_IOC_RD_BITS_PER_WORD, &bits, __LINE__);
    ioctl_or_die(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed, __LINE__);
    ioctl_or_die(fd, SPI_IOC_RD_MAX_SPEED_HZ, &speed, __LINE__);
    spi->fd = fd;
    pthread_mutex_init(&spi->lock, nullptr);
    kmx_logf(1, "SPI '%s': mode=%hhu, bits=%hhu, speed=%u \n", path, mode, bits, speed);
}

int zynq_spi_write(ZYNQ_SPI_T *spi, const uint8_t *buf, int len) {
    need_open(spi, __LINE__);
    pthread_mutex_lock(&spi->lock);
    const long n = kos::spi_write(spi->fd, buf, size_t(len));
    pthread_mutex_unlock(&spi->lock);
    if (n < 0) device_fail(__LINE__);
    return int(n);
}

int zynq_spi_read(ZYNQ_SPI_T *spi, uint8_t *buf, int len) {
    need_open(spi, __LINE__);
    pthread_mutex_lock(&spi->lock);
    const long n = kos::spi_read(spi->fd, buf, size_t(len));
    pthread_mutex_unlock(&spi->lock);
    if (n < 0) device_fail(__LINE__);
    return int(n);
}

void zynq_spi_exit(ZYNQ_SPI_T *spi) {
    if (!spi) {
        errno = EINVAL;
        device_fail(__LINE__);
    }
    if (spi->fd < 0) return;  // never opened
    kos::spi_close(spi->fd);
    spi->fd = -1;
}

int spi_send_data(ZYNQ_SPI_T *spi, const uint8_t *buf, int len) { return zynq_spi_write(spi, buf, len); }
int spi_recv_data(ZYNQ_SPI_T *spi, uint8_t *buf, int len) { return zynq_spi_read(spi, buf, len); }

int spi_send_data_in_word(ZYNQ_SPI_T *spi, const uint8_t *buf, int len) {
    for (int i = 0; i < len; i += 2) zynq_spi_write(spi, buf + i, len - i < 2 ? len - i : 2);
    return len;
}

int spi_recv_data_in_word(ZYNQ_SPI_T *spi, uint8_t *buf, int len) {
    for (int i = 0; i < len; i += 2) zynq_spi_read(spi, buf + i, len - i < 2 ? len - i : 2);
    return len;
}

}  // extern "C"
