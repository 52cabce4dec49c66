#include "drv/uart_line.h"
#include "drv/bc_links.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <termios.h>

#include "drv/bc_hub.h"
#include "drv/bc_soc.h"
#include "drv/kmx_psu_frame.h"
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/test_log.h"
#include "os/devices.h"
#include "os/os.h"
#include "os/sysfs.h"

namespace {

constexpr const char *kI2c = "/dev/i2c-0";
constexpr uint16_t kPsuAddr = 0x01;

// One transfer: write-only when reply is null, else the request and a
// 12-byte read.
bool transfer(const uint8_t *req, int len, uint8_t *reply, bool read) {
    const int fd = kos::i2c_open(kI2c);
    if (fd < 0) {
        if (read)
            test_logf(5, TL_PLAIN, "%s,%d:open %s failled: %d.\n", __FILE__, __LINE__, kI2c, errno);
        else
            test_logf(5, TL_PLAIN, "%s,%d:open %s failled: \n", __FILE__, __LINE__, kI2c);
        return false;
    }
    struct i2c_msg msgs[2];
    msgs[0].addr = kPsuAddr;
    msgs[0].flags = 0;
    msgs[0].len = uint16_t(len);
    msgs[0].buf = const_cast<uint8_t *>(req);
    msgs[1].addr = kPsuAddr;
    msgs[1].flags = I2C_M_RD;
    msgs[1].len = 12;
    msgs[1].buf = reply;
    if (reply) memset(reply, 0, 12);
    const bool ok = kos::i2c_rdwr(fd, msgs, reply ? 2 : 1) >= 0;
    if (!ok) {
        if (read)
            test_logf(5, TL_PLAIN, "%s,%d:write iic failled: %d.\n", __FILE__, __LINE__, errno);
        else
            test_logf(5, TL_PLAIN, "%s,%d:write iic failled: \n", __FILE__, __LINE__);
    }
    kos::i2c_close(fd);
    if (!ok) hub_i2c_reset(0);
    return ok;
}

bool write_cmd(uint8_t cmd, const uint8_t *payload, int n) {
    uint8_t req[32];
    return transfer(req, kmx_psu_build_frame(cmd, payload, n, req), nullptr, false);
}

// A read command's 12-byte reply, checked; false (logged) on any failure.
bool read_cmd(uint8_t cmd, const uint8_t payload[4], uint8_t reply[12]) {
    uint8_t req[32];
    if (!transfer(req, kmx_psu_build_frame(cmd, payload, 4, req), reply, true)) return false;
    const int c = kmx_psu_check_reply(reply, 12);
    if (c == -1) test_logf(5, TL_PLAIN, "%s,%d:No data or bad data received\n", __FILE__, __LINE__);
    if (c == -2) test_logf(5, TL_PLAIN, "%s,%d:check sum error\n", __FILE__, __LINE__);
    return c == 0;
}

int output_value(uint8_t cmd, int chain) {
    const uint8_t p[4] = {uint8_t(psu_output(chain)), 0, 0, 0};
    uint8_t r[12];
    return read_cmd(cmd, p, r) ? (r[8] | r[9] << 8) : -1;
}

bool soc_hub() { return g_kmx_obj && (g_kmx_obj->flags & KMX_OBJ_SOC_HUB); }

bool soc_uart_9600_8n1(int fd) {
    struct termios opt;
    if (tcgetattr(fd, &opt) != 0) {
        test_logf(5, TL_PLAIN, "%s,%d: %s failled: %d.\n", __FILE__, __LINE__, "tcgetattr", errno);
        return false;
    }
    cfsetispeed(&opt, B9600);
    cfsetospeed(&opt, B9600);
    opt.c_cflag &= ~(CRTSCTS | CSIZE | PARENB | CSTOPB);
    opt.c_cflag |= CLOCAL | CREAD | CS8;
    opt.c_iflag &= ~INPCK;
    uart_line_raw(&opt);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &opt) != 0) {
        test_logf(5, TL_PLAIN, "%s,%d: %s failled: %d.\n", __FILE__, __LINE__, "tcsetattr", errno);
        return false;
    }
    return true;
}

}  // namespace

int psu_output(int chain) { return (g_miner && g_miner->psu_kind == 0) ? 4 : chain + 1; }

bool set_power_on_i2c(int chain, int on) {
    test_logf(2, TL_PLAIN, "%s() chain:%d, val:%d\n", "set_power_on_i2c", psu_output(chain) == 4 ? 3 : chain, on);
    const uint8_t p[2] = {uint8_t(psu_output(chain)), uint8_t(on ? 1 : 2)};
    return write_cmd(0x85, p, 2);
}

int set_watchdog_time_i2c(int seconds) {
    test_logf(2, TL_PLAIN, "%s() time_val:%d\n", "set_watchdog_time_i2c", seconds);
    const uint8_t p[1] = {uint8_t(seconds / 30)};
    return write_cmd(0x70, p, 1) ? 1 : 0;
}

bool set_vol_on_i2c(int chain, int centivolts) {
    test_logf(2, TL_PLAIN, "%s() chain:%d, vol:%d\n", "set_vol_on_i2c", chain, centivolts);
    const uint8_t p[4] = {uint8_t(psu_output(chain)), 0, uint8_t(centivolts), uint8_t(centivolts >> 8)};
    return write_cmd(0x83, p, 4);
}

int get_vol_on_i2c(int chain) { return output_value(0x02, chain); }
int get_current_on_i2c(int chain) { return output_value(0x06, chain); }

int kmx_i2c_is_sync_output() {
    const uint8_t p[4] = {0x55, 0xAA, 0, 0};
    uint8_t r[12];
    return read_cmd(0x08, p, r) ? r[8] : 0;
}

int iic_power_id_hook() {
    const int id = kmx_i2c_is_sync_output();
    test_logf(3, TL_PLAIN, "iic power ID: %d\n", id);
    return id;
}

int iic_power_identify() {
    const int id = iic_power_id_hook();
    int kind = 2;
    if (id == 1) kind = 0;
    else if (id == 3) kind = 1;
    else test_logf(4, TL_PLAIN, "IIC power ID Error: %d\n", id);
    if (g_miner) g_miner->psu_kind = uint8_t(kind);
    return id;
}

float read_iic_power(int chain) {
    if (!g_kmx_obj || !(g_kmx_obj->flags & KMX_OBJ_I2C_PSU)) return 0.0f;
    const int current = get_current_on_i2c(chain);
    kos::sleep_s(1);
    const int volt = get_vol_on_i2c(chain);
    const float power = (current > 0 && volt > 0) ? float(current) * float(volt) / 10000.0f : 0.0f;
    if (g_miner && g_miner->psu_kind != 0) {
        test_logf(3, TL_PLAIN, "chain%0d: iic power current: %d\n", chain, current);
        test_logf(3, TL_PLAIN, "chain%0d: iic power vlotage: %d\n", chain, volt);
        test_logf(3, TL_PLAIN, "chain%0d: iic power: %6.1fW\n", chain, double(power));
    } else {
        test_logf(3, TL_PLAIN, "Miner: iic power back current: %d\n", current);
        test_logf(3, TL_PLAIN, "Miner: iic power back vlotage: %d\n", volt);
        test_logf(3, TL_PLAIN, "Miner: iic power: %6.1fW\n", double(power));
    }
    return power;
}

bool set_volt_hook(int chain, int centivolts) {
    // Above what the boards take, the supply is set to a safe 14.00 V.
    if (centivolts > kMaxSupplyCentivolts) centivolts = kSafeSupplyCentivolts;
    return set_vol_on_i2c(chain, centivolts);
}

int iic_volt_read(int chain) {
    if (!g_kmx_obj || !(g_kmx_obj->flags & KMX_OBJ_I2C_PSU)) return 0;
    return get_vol_on_i2c(chain);
}

bool i2c_set_vid(int chain, int vid) {
    if (vid < 0 || vid > 31 || !g_kmx_obj || !g_kmx_obj->vid_map) return false;
    return set_vol_on_i2c(chain, int(g_kmx_obj->vid_map[vid]));
}

int hub_set_power_en_i2c(int value) { return value; }

void hub_i2c_reset(int bus) {
    if (soc_hub()) {
        soc_hub_i2c_reset(bus);
        return;
    }
    Xil_Zynq_Out32(0x224, 1);
    kos::sleep_s(1);
    Xil_Zynq_Out32(0x224, 0);
    kos::sleep_s(1);
    test_log(3, TL_PLAIN, "i2c hw reset done");
}

void soc_hub_i2c_reset(int bus) {
    const uint32_t bit = bus == 0 ? 1u << 10 : 1u << 22;
    Soc_Apbsys_Out32(24, Soc_Apbsys_In32(24) & ~bit);
    kos::sleep_s(1);
    Soc_Apbsys_Out32(24, Soc_Apbsys_In32(24) | bit);
    kos::sleep_s(1);
    test_logf(3, TL_PLAIN, "[%s] i2c hw reset done", "soc_hub_i2c_reset");
}

// ---- UART voltage ID -----------------------------------------------------------

void uart_vid_frame(uint8_t code, uint8_t f[5]) {
    f[0] = 0xAA;
    f[1] = 0x02;
    f[2] = 0x01;
    f[3] = code;
    f[4] = uint8_t(-int(code) - 3);
}

bool set_vid_uart(int chain, int vid) {
    test_logf(2, TL_PLAIN, "%s() chain_id:%d vid:%d\n", "set_vid_uart", chain, vid);
    Xil_Peripheral_Out32(16, (1u << chain) | 0x10000u);
    send_uart(chain, vid);
    return true;
}

void send_uart(int chain, int vid) {
    if (vid < 0 || vid > 31 || !g_kmx_obj || !g_kmx_obj->vid_map) {
        test_logf(5, TL_PLAIN, "chain%d: vid %d out of range\n", chain, vid);
        return;
    }
    char dev[32];
    if (soc_hub())
        snprintf(dev, sizeof dev, "/dev/ttySARN%d", chain);
    else
        snprintf(dev, sizeof dev, "/dev/ttyPS1");
    const int fd = kos::tty_open(dev, O_WRONLY);
    if (fd < 0) {
        test_logf(5, TL_PLAIN, "%s,%d:open %s failled: \n", __FILE__, __LINE__, dev);
        return;
    }
    // The SoC's regulator lines run at 9600 8N1; a line that cannot be set
    // so gets nothing.
    if (soc_hub() && !soc_uart_9600_8n1(fd)) {
        kos::tty_close(fd);
        return;
    }
    uint8_t f[5];
    uart_vid_frame(uint8_t(g_kmx_obj->vid_map[vid]), f);
    if (kos::tty_write(fd, f, sizeof f) != long(sizeof f))
        test_logf(5, TL_PLAIN, "%s,%d:write tty failled: %d.\n", __FILE__, __LINE__, errno);
    kos::tty_close(fd);
}

// ---- sysfs GPIO --------------------------------------------------------------------

namespace {
bool sysfs_put(const char *path, const char *text, size_t n) {
    const int fd = kos::sysfs_open(path, O_WRONLY);
    if (fd < 0) {
        test_logf(5, TL_PLAIN, "%s,%d: %s.\n", __FILE__, __LINE__, strerror(errno));
        return false;
    }
    const bool ok = kos::sysfs_write(fd, text, n) == ssize_t(n);
    const int err = errno;
    kos::sysfs_close(fd);
    errno = err;
    return ok;
}
}  // namespace

void sysfs_gpio_export(int gpio, bool input) {
    char num[16];
    const int n = snprintf(num, sizeof num, "%d", gpio);
    const int fd = kos::sysfs_open("/sys/class/gpio/export", O_WRONLY);
    if (fd < 0) {
        test_logf(5, TL_PLAIN, "%s,%d: %s.\n", __FILE__, __LINE__, strerror(errno));
    } else {
        const bool ok = kos::sysfs_write(fd, num, size_t(n)) == n;
        const int err = errno;
        kos::sysfs_close(fd);
        if (!ok && err == EBUSY) return;  // already exported: keep its direction
        if (!ok) test_logf(5, TL_PLAIN, "%s,%d: %d,%s.\n", __FILE__, __LINE__, err, strerror(err));
    }
    char path[64];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/direction", gpio);
    if (!(input ? sysfs_put(path, "in", 3) : sysfs_put(path, "out", 4)))
        test_logf(5, TL_PLAIN, "%s,%d: %s.\n", __FILE__, __LINE__, strerror(errno));
}

void sysfs_gpio_write(int gpio, bool high) {
    char path[64];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", gpio);
    if (!sysfs_put(path, high ? "1" : "0", 2)) test_logf(5, TL_PLAIN, "%s,%d: %s.\n", __FILE__, __LINE__, strerror(errno));
}

int sysfs_gpio_read(int gpio) {
    char path[64];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", gpio);
    const int fd = kos::sysfs_open(path, O_RDONLY);
    if (fd < 0) {
        test_logf(5, TL_PLAIN, "%s,%d: %s.\n", __FILE__, __LINE__, strerror(errno));
        return -1;
    }
    char c = 0;
    if (kos::sysfs_read(fd, &c, 1) != 1) test_logf(5, TL_PLAIN, "%s,%d: %s.\n", __FILE__, __LINE__, strerror(errno));
    kos::sysfs_close(fd);
    return c == '0' ? 0 : c == '1' ? 1 : -1;
}

int get_ctrl_board_type_gpio() {
    if (soc_hub()) {
        const int pads[4] = {161, 144, 145, 146};
        int v[4];
        for (int i = 0; i < 4; i++) {
            gpio_write(pads[i], 0, 1);
            v[i] = gpio_read(pads[i]) & 1;
        }
        return v[0] << 3 | v[1] << 2 | v[2] << 1 | v[3];
    }
    const int pins[4] = {957, 943, 935, 956};
    int v[4];
    for (int i = 0; i < 4; i++) {
        sysfs_gpio_export(pins[i], true);
        v[i] = sysfs_gpio_read(pins[i]) & 1;
    }
    return v[1] << 3 | v[0] << 2 | v[2] << 1 | v[3];
}
