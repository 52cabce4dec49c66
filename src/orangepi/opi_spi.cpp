#include "orangepi/opi_spi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/spi/spidev.h>

#include "module/kmx_log.h"
#include "orangepi/opi_gpio.h"
#include "orangepi/opi_link_internal.h"
#include "os/os.h"
#include "os/spi.h"
#include "platform/kmx_platform.h"

opi_spi_config_t opi_spi_config = {1, 0, 1, 1500000, 16, 0};
int opi_spi_fd = -1;
pthread_mutex_t opi_spi_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define ENTRY() kmx_logf(1, "%s,%d: %s \n", __FILE__, __LINE__, __func__)

[[noreturn]] void para_erro(const char *fn, int line) {
    kmx_logf(5, "%s,%s() %d: para erro! \n", __FILE__, fn, line);
    kos::terminate(0);
}

[[noreturn]] void ioctl_fail(const char *path) {
    kmx_logf(5, "SPI: ioctl error on SPI device %s", path);
    kos::terminate(0);
}

void select_chain(uint8_t chain_id) {
    gpio_output(OPI_SEL_BIT0, chain_id & 1);
    gpio_output(OPI_SEL_BIT1, (chain_id >> 1) & 1);
    gpio_output(OPI_SEL_BIT2, (chain_id >> 2) & 1);
}

// A request with no reply data: sent, then its answer awaited.
bool request(uint8_t chain_id, uint8_t cmd, const uint8_t *data, int len, const char *fn) {
    if (!opi_send_cmd(chain_id, cmd, data, len)) {
        kmx_logf(4, "%s,%d: %s send fail !\n", __FILE__, __LINE__, fn);
        return false;
    }
    if (!opi_poll_rslt(chain_id, cmd, nullptr, 0)) {
        kmx_logf(4, "%s,%d: %s poll fail !\n", __FILE__, __LINE__, fn);
        return false;
    }
    return true;
}

bool request_value(uint8_t chain_id, uint8_t cmd, int val, const char *fn) {
    const uint8_t data[2] = {uint8_t(val), uint8_t(val >> 8)};
    return request(chain_id, cmd, data, 2, fn);
}

}  // namespace

namespace opi {

bool Poll::next(uint8_t word[2]) {
    while (left > 0) {
        left--;
        kos::sleep_us(1);
        if (opi_spi_read_write(chain, nullptr, word, 2)) return true;
    }
    return false;
}

int poll_budget() { return 4 * (g_chip_num > 0 ? g_chip_num : 0); }

bool wrapped_prefix(Poll &p, uint8_t b0, uint8_t b1) {
    uint8_t w[2];
    if (!p.next(w) || w[0] != b0 || w[1] != b1) return false;
    return p.next(w) && w[1] == 0;
}

bool read_data(uint8_t chain, uint8_t *buf, int n) {
    for (int i = 0; i + 1 < n; i += 2) {
        Poll p{chain, poll_budget()};
        if (!p.next(buf + i)) return false;
    }
    return true;
}

}  // namespace opi

extern "C" {

void opi_spi_init(void) {
    pthread_mutex_init(&opi_spi_lock, nullptr);
    if (gpio_init() != 0) {
        printf("gpio initial fail");
        fflush(stdout);
    }
    for (unsigned pin : {OPI_SEL_EN, OPI_SEL_BIT0, OPI_SEL_BIT1, OPI_SEL_BIT2}) {
        gpio_setcfg(pin, SUNXI_GPIO_OUTPUT);
        gpio_output(pin, 1);
    }
    char path[32];
    snprintf(path, sizeof path, "/dev/spidev%d.%d", opi_spi_config.bus, opi_spi_config.cs);
    const int fd = kos::spi_open(path);
    if (fd < 0) {
        kmx_logf(5, "SPI: Can not open SPI device %s \n", path);
        kos::terminate(0);
    }
    uint8_t mode = opi_spi_config.mode, bits = opi_spi_config.bits;
    uint32_t speed = opi_spi_config.speed;
    const struct {
        unsigned long request;
        void *arg;
    } steps[] = {{SPI_IOC_WR_MODE, &mode},         {SPI_IOC_RD_MODE, &mode},
                 {SPI_IOC_WR_BITS_PER_WORD, &bits}, {SPI_IOC_RD_BITS_PER_WORD, &bits},
                 {SPI_IOC_WR_MAX_SPEED_HZ, &speed}, {SPI_IOC_RD_MAX_SPEED_HZ, &speed}};
    for (const auto &s : steps) {
        if (kos::spi_ioctl(fd, s.request, s.arg) < 0) {
            kos::spi_close(fd);
            ioctl_fail(path);
        }
    }
    opi_spi_fd = fd;
    kmx_logf(2, "SPI '%s': mode=%hhu, bits=%hhu, speed=%u \n", path, mode, bits, speed);
}

void opi_spi_exit(void) {
    kos::spi_close(opi_spi_fd);
    opi_spi_fd = -1;
}

bool opi_spi_transfer(uint8_t chain_id, const void *tx, void *rx, int len) {
    if (len <= 0 || len > OPI_FRAME_LEN) return false;
    if (rx) memset(rx, 0xFF, size_t(len));
    struct spi_ioc_transfer tr;
    memset(&tr, 0, sizeof tr);
    tr.tx_buf = (unsigned long)tx;
    tr.rx_buf = (unsigned long)rx;
    tr.len = uint32_t(len);
    tr.speed_hz = opi_spi_config.speed;
    tr.delay_usecs = opi_spi_config.delay;
    tr.bits_per_word = opi_spi_config.bits;
    tr.cs_change = 0;
    pthread_mutex_lock(&opi_spi_lock);
    select_chain(chain_id);
    // Without the PIO no chain would be selected: the transfer must not go
    // out as if it had reached one.
    if (gpio_output(OPI_SEL_EN, 0) != 0) {
        pthread_mutex_unlock(&opi_spi_lock);
        kmx_logf(5, "SPI: chain select lines not mapped\n");
        return false;
    }
    kos::sleep_us(1);
    const int r = kos::spi_ioctl(opi_spi_fd, SPI_IOC_MESSAGE(1), &tr);
    kos::sleep_us(1);
    gpio_output(OPI_SEL_EN, 1);
    pthread_mutex_unlock(&opi_spi_lock);
    if (r <= 0) {
        kmx_logf(5, "SPI: ioctl error on SPI device: %d", r);
        return false;
    }
    return true;
}

bool opi_spi_read_write(uint8_t chain_id, const uint8_t *tx, uint8_t *rx, int len) {
    if (!rx) para_erro(__func__, __LINE__);
    if (len <= 0 || len > OPI_FRAME_LEN) {
        kmx_logf(5, "%s: length %d not supported\n", __func__, len);
        return false;
    }
    // An odd count goes out with a zero byte after it.
    const int words = (len + 1) / 2;
    uint16_t wtx[OPI_FRAME_LEN / 2] = {}, wrx[OPI_FRAME_LEN / 2];
    if (tx) {
        for (int i = 0; i < len; i++) wtx[i / 2] = uint16_t(wtx[i / 2] | tx[i] << (i % 2 ? 0 : 8));
    }
    if (!opi_spi_transfer(chain_id, wtx, wrx, 2 * words)) return false;
    for (int i = 0; i < len; i++) rx[i] = uint8_t(i % 2 ? wrx[i / 2] & 0xFF : wrx[i / 2] >> 8);
    return true;
}

void flush_spi(uint8_t chain_id) {
    static const uint8_t zeros[OPI_FRAME_LEN] = {};
    uint8_t rx[OPI_FRAME_LEN];
    opi_spi_read_write(chain_id, zeros, rx, OPI_FRAME_LEN);
}

bool opi_send_cmd(uint8_t chain_id, uint8_t cmd, const uint8_t *data, int len) {
    if (len > 0 && !data) para_erro(__func__, __LINE__);
    if (len < 0 || 4 + len > OPI_FRAME_LEN) {
        kmx_logf(5, "%s: data length %d not supported\n", __func__, len);
        return false;
    }
    uint8_t frame[OPI_FRAME_LEN] = {0x69, 0x96, cmd, 0x00};
    if (len > 0) memcpy(frame + 4, data, size_t(len));
    uint8_t rx[OPI_FRAME_LEN];
    if (!opi_spi_read_write(chain_id, frame, rx, (4 + len + 1) & ~1)) {
        kmx_logf(5, "send command fail !");
        return false;
    }
    return true;
}

bool opi_poll_rslt(uint8_t chain_id, uint8_t cmd, uint8_t *buf, int len) {
    (void)cmd;  // the reply does not repeat the request's code
    if (len < 0 || len > OPI_FRAME_LEN || (len > 0 && !buf)) return false;
    opi::Poll p{chain_id, opi::poll_budget()};
    uint8_t data[OPI_FRAME_LEN];
    if (!opi::wrapped_prefix(p, 0x69, 0x96) || !opi::read_data(chain_id, data, (len + 1) & ~1)) {
        kmx_logf(5, "%s,%d: poll fail !\n", __FILE__, __LINE__);
        return false;
    }
    if (len > 0) memcpy(buf, data, size_t(len));
    return true;
}

void opi_set_power_en(uint8_t chain_id, int val) {
    ENTRY();
    request_value(chain_id, 0x11, val, __func__);
}

void opi_set_start_en(uint8_t chain_id, int val) {
    ENTRY();
    request_value(chain_id, 0x12, val, __func__);
}

void opi_set_reset(uint8_t chain_id, int val) {
    ENTRY();
    request_value(chain_id, 0x13, val, __func__);
}

void opi_set_led(uint8_t chain_id, int val) {
    ENTRY();
    request_value(chain_id, 0x14, val, __func__);
}

// The plug query goes out with the LED's code and no data; the
// microcontroller tells the two apart by the request's length (4 bytes
// against 6).
int opi_get_plug(uint8_t chain_id) {
    ENTRY();
    if (!opi_send_cmd(chain_id, 0x14, nullptr, 0)) {
        kmx_logf(4, "%s,%d: %s send fail !\n", __FILE__, __LINE__, __func__);
        return -1;
    }
    uint8_t reply[2];
    if (!opi_poll_rslt(chain_id, 0x14, reply, 2)) {
        kmx_logf(4, "%s,%d: %s poll fail !\n", __FILE__, __LINE__, __func__);
        return -1;
    }
    return reply[0];
}

bool opi_set_vid(uint8_t chain_id, int vid) {
    ENTRY();
    return request_value(chain_id, 0x16, vid, __func__);
}

void opi_set_pwm(uint8_t fan_id, int frequency, int duty) {
    ENTRY();
    const uint32_t f = uint32_t(frequency);
    const uint8_t data[8] = {fan_id,        0x00, uint8_t(f), uint8_t(f >> 8), uint8_t(f >> 16), uint8_t(f >> 24),
                             uint8_t(duty), uint8_t(duty >> 8)};
    request(0, 0x17, data, 8, __func__);
}

void opi_get_pwm(uint8_t fan_id, int *frequency, int *duty) {
    (void)fan_id;
    (void)frequency;
    (void)duty;
}

void opi_set_spi_speed(uint8_t chain_id, int index) {
    ENTRY();
    request_value(chain_id, 0x18, index, __func__);
}

bool opi_chain_power_on(uint8_t chain_id, uint8_t mode) {
    ENTRY();
    (void)mode;  // the microcontroller has one power-on sequence
    return request(chain_id, 0x21, nullptr, 0, __func__);
}

bool opi_chain_power_down(uint8_t chain_id) {
    ENTRY();
    return request(chain_id, 0x22, nullptr, 0, __func__);
}

bool opi_chain_hw_reset(uint8_t chain_id) {
    ENTRY();
    return request(chain_id, 0x23, nullptr, 0, __func__);
}

bool opi_chain_power_on_all(void) {
    for (int i = 0; i < g_chain_num && i < KMX_MAX_CHAIN; i++) opi_chain_power_on(uint8_t(g_chain_id[i]), 0);
    return true;
}

bool opi_chain_power_down_all(void) {
    for (int i = 0; i < g_chain_num && i < KMX_MAX_CHAIN; i++) opi_chain_power_down(uint8_t(g_chain_id[i]));
    return true;
}

}  // extern "C"
