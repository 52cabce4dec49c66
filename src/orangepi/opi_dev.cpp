#include "orangepi/opi_dev.h"

#include <cstring>
#include <linux/i2c-dev.h>
#include <linux/spi/spidev.h>
#include <map>
#include <mutex>

#include "os/devices.h"
#include "os/os.h"
#include "os/spi.h"

namespace {

std::mutex s_lock;
std::map<int, uint8_t> s_i2c_addr;  // by descriptor
struct SpiSetting {
    uint32_t speed;
    uint16_t delay;
};
std::map<int, SpiSetting> s_spi_setting;

}  // namespace

extern "C" {

int i2c_open(const char *dev, uint8_t address) {
    const int fd = kos::i2c_open(dev);
    if (fd < 0) return -1;
    std::lock_guard<std::mutex> g(s_lock);
    s_i2c_addr[fd] = address;
    return fd;
}

void i2c_close(int fd) {
    {
        std::lock_guard<std::mutex> g(s_lock);
        s_i2c_addr.erase(fd);
    }
    kos::i2c_close(fd);
}

int i2c_send(int fd, const uint8_t *buf, int len) {
    uint8_t addr;
    {
        std::lock_guard<std::mutex> g(s_lock);
        auto it = s_i2c_addr.find(fd);
        if (it == s_i2c_addr.end() || !buf || len <= 0) return -1;
        addr = it->second;
    }
    struct i2c_msg msg;
    msg.addr = addr;
    msg.flags = 0;
    msg.len = uint16_t(len);
    msg.buf = const_cast<uint8_t *>(buf);
    return kos::i2c_rdwr(fd, &msg, 1) == 1 ? len : -1;
}

int spi_open(const char *dev, uint8_t mode, uint32_t speed, uint16_t delay) {
    const int fd = kos::spi_open(dev);
    if (fd < 0) return -1;
    uint8_t bits = 8;
    if (kos::spi_ioctl(fd, SPI_IOC_WR_MODE, &mode) < 0 || kos::spi_ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0 ||
        kos::spi_ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) < 0) {
        kos::spi_close(fd);
        return -1;
    }
    std::lock_guard<std::mutex> g(s_lock);
    s_spi_setting[fd] = SpiSetting{speed, delay};
    return fd;
}

void spi_close(int fd) {
    {
        std::lock_guard<std::mutex> g(s_lock);
        s_spi_setting.erase(fd);
    }
    kos::spi_close(fd);
}

int spi_xfer(int fd, const uint8_t *tx, uint8_t *rx, int len) {
    SpiSetting set{0, 0};
    {
        std::lock_guard<std::mutex> g(s_lock);
        auto it = s_spi_setting.find(fd);
        if (it == s_spi_setting.end() || len <= 0) return -1;
        set = it->second;
    }
    struct spi_ioc_transfer tr;
    memset(&tr, 0, sizeof tr);
    tr.tx_buf = (unsigned long)tx;
    tr.rx_buf = (unsigned long)rx;
    tr.len = uint32_t(len);
    tr.speed_hz = set.speed;
    tr.delay_usecs = set.delay;
    tr.bits_per_word = 8;
    return kos::spi_ioctl(fd, SPI_IOC_MESSAGE(1), &tr);
}

int spi_read(int fd, uint8_t *buf, int len) { return int(kos::spi_read(fd, buf, size_t(len))); }

int spi_write(int fd, const uint8_t *buf, int len) { return int(kos::spi_write(fd, buf, size_t(len))); }

void delay(int ms) {
    if (ms > 0) kos::sleep_ms(uint64_t(ms));
}

}  // extern "C"
