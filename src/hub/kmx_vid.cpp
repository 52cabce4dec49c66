#include "hub/kmx_vid_internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>

#include "drv/uart_line.h"
#include "drv/hub.h"
#include "hub/kmx_i2c.h"
#include "module/kmx_log.h"
#include "os/devices.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

// Initialised once, statically, and never destroyed: threads of the mining
// program may hold them until the process ends.
pthread_mutex_t g_i2c_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_vid_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_uart_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_set_vid_lock = PTHREAD_MUTEX_INITIALIZER;

vidmap_t *pMap = nullptr;
int g_chip_cols = 1;

namespace {

// The descriptor is copied: a caller may pass one from its stack.
vidmap_t s_map;

constexpr const char *kVidGen = "/dev/vidgen0.0";
constexpr unsigned long kVidGenSelect = 0x80046401ul;
constexpr unsigned long kVidGenSet = 0x80046400ul;

struct Lock {
    explicit Lock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~Lock() { pthread_mutex_unlock(&m_); }
    pthread_mutex_t &m_;
};

int get_vid_value(int vid) {
    if (!pMap) {
        kmx_logf(5, "%s,%d: vid map invalid\n", __FILE__, __LINE__);
        return -1;
    }
    if (vid < 0 || vid >= pMap->tab_len) {
        kmx_logf(5, "%s,%d: vid out of range\n", __FILE__, __LINE__);
        return -1;
    }
    return pMap->tab[vid];
}

bool send_uart(const char *path, uint8_t code, bool soc) {
    int fd = kos::tty_open(path, O_WRONLY);
    if (fd < 0) {
        kmx_logf(5, "%s,%d:open %s failled: %d.\n", __FILE__, __LINE__, path, errno);
        kos::terminate(0);
    }
    if (soc && !soc_uart_init(fd, 9600, 0, 8, 1, 'N')) {
        kos::tty_close(fd);
        return false;
    }
    kmx_logf(1, "%s,%d:open %s vid: %d.\n", __FILE__, __LINE__, path, code);
    uint8_t frame[5];
    build_uart_vid_frame(code, frame);
    if (kos::tty_write(fd, frame, sizeof frame) != long(sizeof frame)) {
        kmx_logf(5, "%s,%d:write tty failled: %d.\n", __FILE__, __LINE__, errno);
        kos::tty_close(fd);
        kos::terminate(0);
    }
    kos::tty_close(fd);
    return true;
}

// A failed lookup sends nothing: an arbitrary code byte could put an
// extreme voltage on the regulator.
bool hub_set_vid_uart(uint8_t chain, int vid) {
    kmx_logf(5, "%s,%d: %s chain_id:%d;vid:%d", __FILE__, __LINE__, "hub_set_vid_uart", chain, vid);
    const int code = get_vid_value(vid);
    if (code < 0) return false;
    Lock g(g_uart_lock);
    Xil_Peripheral_Out32(16, (1u << chain) | 0x10000u);  // select the chain, route the UART
    return send_uart("/dev/ttyPS1", uint8_t(code & 0xFF), false);
}

bool soc_hub_set_vid_uart(uint8_t chain, int vid) {
    if (chain > 8) {
        kmx_logf(5, "%s,%d: %s failled ! chain_id:%d;vid:%d", __FILE__, __LINE__, "soc_hub_set_vid_uart", chain, vid);
        return false;
    }
    const int code = get_vid_value(vid);
    if (code < 0) return false;
    const std::string path = "/dev/ttySARN" + std::to_string(chain);
    Lock g(g_uart_lock);
    return send_uart(path.c_str(), uint8_t(code & 0xFF), true);
}

bool hub_set_vid_vid(uint8_t chain, int vid) {
    uint32_t seq[3];
    encode_vid_waveform(vid, seq);
    {
        Lock g(g_vid_lock);
        Xil_Peripheral_Out32(128, 25000);
        Xil_Peripheral_Out32(132, seq[0]);
        Xil_Peripheral_Out32(136, seq[1]);
        Xil_Peripheral_Out32(140, seq[2]);
        Xil_Peripheral_Out32(156, 0x40050);
        Xil_Peripheral_Out32(16, 1u << chain);
        Xil_Peripheral_Out32(12, 1);
    }
    kos::sleep_ms(100);
    return true;
}

// Registers 4, 16 and 12 are shared by every channel: the lock keeps two
// chains' writes apart.
bool soc_hub_set_vid_vid(uint8_t chain, int vid) {
    uint32_t seq[3];
    encode_vid_waveform(vid, seq);
    const uint32_t ch = 0x80u + 0x20u * chain;
    {
        Lock g(g_vid_lock);
        Soc_Peripheral_Out32(4, Soc_Peripheral_In32(4) | 1u);
        Soc_Peripheral_Out32(16, 0x1FF);
        Soc_Peripheral_Out32(ch + 0x00, 25000);
        Soc_Peripheral_Out32(ch + 0x04, seq[0]);
        Soc_Peripheral_Out32(ch + 0x08, seq[1]);
        Soc_Peripheral_Out32(ch + 0x0C, seq[2]);
        Soc_Peripheral_Out32(ch + 0x1C, 0x40050);
        Soc_Peripheral_Out32(12, 1u << chain);
    }
    kos::sleep_ms(100);
    return true;
}

bool is_i2c_type(int t) { return t == 3 || t == 4 || t == 5 || t == 7; }

void vidgen(unsigned long request, unsigned long arg) {
    if (kos::dev_ioctl(kVidGen, request, arg) < 0) {
        kmx_logf(5, "%s,%d: %s.\n", __FILE__, __LINE__, strerror(errno));
        kos::terminate(0);
    }
}

}  // namespace

extern "C" {

// The locks are static and live for the process; nothing to create or
// destroy here.
void hub_vid_init(void) {}
void hub_vid_deinit(void) {}

void build_uart_vid_frame(uint8_t code, uint8_t frame[5]) {
    frame[0] = 0xAA;
    frame[1] = 0x02;
    frame[2] = 0x01;
    frame[3] = code;
    frame[4] = uint8_t(0x100 - (code + 3));
}

void encode_vid_waveform(int vid, uint32_t seq[3]) {
    uint32_t s[16];
    for (int i = 0; i < 8; i++) {
        const bool one = (vid >> i) & 1;
        s[i] = one ? 7 : 1;
        s[8 + i] = one ? 1 : 7;
    }
    seq[0] = 0xFFu | s[0] << 16 | s[1] << 20 | s[2] << 24 | s[3] << 28;
    seq[1] = 0;
    for (int i = 0; i < 8; i++) seq[1] |= s[4 + i] << (4 * i);
    seq[2] = s[12] | s[13] << 4 | s[14] << 8 | s[15] << 12;
}

bool hub_set_vid(uint8_t chain_id, int vid) {
    const int t = g_vid_type;
    if (is_i2c_type(t)) return hub_set_vid_i2c(chain_id, vid);
    if (t == 10 || t == 11 || t == 12) return hub_set_vid_uart(chain_id, vid);
    return hub_set_vid_vid(chain_id, vid);
}

bool soc_hub_set_vid(uint8_t chain_id, int vid) {
    const int t = g_vid_type;
    if (is_i2c_type(t)) return hub_set_vid_i2c(chain_id, vid);
    if ((t >= 10 && t <= 13)) return soc_hub_set_vid_uart(chain_id, vid);
    return soc_hub_set_vid_vid(chain_id, vid);
}

int zynq_gpio_b3_vid_set(int level) {
    vidgen(kVidGenSet, unsigned(level) | 0x100u);
    return 0;
}

int zynq_gpio_b13_vid_set(int chain, int level) {
    vidgen(kVidGenSelect, unsigned(chain));
    vidgen(kVidGenSet, unsigned(level) | 0x100u);
    return 0;
}

bool spi_set_vid(uint8_t chain_id, int vid) {
    switch (g_platform) {
    case ZYNQ_SPI_B13:
        zynq_gpio_b13_vid_set(chain_id, vid);
        return true;
    case ZYNQ_SPI_B3:
        if (vid != 0) zynq_gpio_b3_vid_set(vid);
        return true;
    default:
        kmx_logf(5, "platform[%d] error in set vid \n", g_platform);
        return false;
    }
}

int soc_uart_init(int fd, int speed, int flow_ctrl, int databits, int stopbits, int parity) {
    struct termios opt;
    if (tcgetattr(fd, &opt) != 0) {
        kmx_logf(5, "%s,%d: %s failled: %d.\n", __FILE__, __LINE__, "tcgetattr", errno);
        return 0;
    }
    static const struct {
        int speed;
        speed_t code;
    } speeds[] = {{115200, B115200}, {19200, B19200}, {9600, B9600}, {4800, B4800},
                  {2400, B2400},     {1200, B1200},   {300, B300}};
    for (const auto &s : speeds)
        if (s.speed == speed) {
            cfsetispeed(&opt, s.code);
            cfsetospeed(&opt, s.code);
        }
    if (flow_ctrl == 0) opt.c_cflag &= ~CRTSCTS;
    opt.c_cflag |= CLOCAL | CREAD;
    opt.c_cflag &= ~CSIZE;
    switch (databits) {
    case 5: opt.c_cflag |= CS5; break;
    case 6: opt.c_cflag |= CS6; break;
    case 7: opt.c_cflag |= CS7; break;
    case 8: opt.c_cflag |= CS8; break;
    default:
        kmx_logf(5, "%s,%d: %s failled\n", __FILE__, __LINE__, "databits");
        return 0;
    }
    switch (parity) {
    case 'n':
    case 'N':
        opt.c_cflag &= ~PARENB;
        opt.c_iflag &= ~INPCK;
        break;
    case 'o':
    case 'O':
        opt.c_cflag |= PARODD | PARENB;
        opt.c_iflag |= INPCK;
        break;
    case 'e':
    case 'E':
        opt.c_cflag |= PARENB;
        opt.c_cflag &= ~PARODD;
        opt.c_iflag |= INPCK;
        break;
    case 's':
    case 'S':
        opt.c_cflag &= ~PARENB;
        opt.c_cflag &= ~CSTOPB;
        break;
    default:
        kmx_logf(5, "%s,%d: %s failled\n", __FILE__, __LINE__, "parity");
        return 0;
    }
    switch (stopbits) {
    case 1: opt.c_cflag &= ~CSTOPB; break;
    case 2: opt.c_cflag |= CSTOPB; break;
    default:
        kmx_logf(5, "%s,%d: %s failled:\n", __FILE__, __LINE__, "stopbits");
        return 0;
    }
    uart_line_raw(&opt);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &opt) != 0) {
        kmx_logf(5, "%s,%d: %s failled: %d.\n", __FILE__, __LINE__, "tcsetattr", errno);
        return 0;
    }
    return 1;
}

void kmx_vidmap_init(vidmap_t *pData) {
    if (!pData || !pData->tab) {
        kmx_logf(5, "vidmap init: no map given");
        return;
    }
    s_map = *pData;
    pMap = &s_map;
    if (s_map.tab_len > 64) kmx_logf(5, "vid map size is too long");
    kmx_logf(3, "vidmap init, size:%d", s_map.tab_len);
}

int kmx_i2c_get_volt_by_vid(int vid) {
    int v = get_vid_value(vid);
    if (v <= 0) return -1;
    if (g_vid_type == 3 && v > 1530) v = 1530;
    return v;
}

// Without a column count there is no per-chip voltage to give.
int kmx_get_chip_volt_by_vid(int vid) {
    const int v = kmx_i2c_get_volt_by_vid(vid);
    if (v < 0 || g_chip_cols <= 0) return -1;
    return int(float(v) * 10.0f / float(g_chip_cols) + 0.5f);
}

int kmx_get_vid_by_volt(int volt) {
    if (!pMap) {
        kmx_logf(5, "%s,%d: vid map invalid\n", __FILE__, __LINE__);
        return -1;
    }
    if (pMap->tab_len <= 0) return -1;
    for (int vid = pMap->tab_len - 1; vid >= 1; vid--)
        if (kmx_get_chip_volt_by_vid(vid) >= volt) return vid;
    return 0;
}

}  // extern "C"
