// Register windows and the chains' SPI engines.
#include "drv/bc_hub.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "module/bc_platform.h"
#include "module/test_log.h"
#include "os/os.h"

namespace {

struct HubWin {
    const char *name;
    uint32_t phys;
    uint32_t size;
    kos::Window *win;
};

HubWin g_fpga[3] = {
    {"spi", 0x43C30000u, 0x2000u, nullptr},
    {"peripheral", 0x43C00000u, 0x1000u, nullptr},
    {"zynq", 0xF8000000u, 0x1000u, nullptr},
};
HubWin g_soc[3] = {
    {"spi", 0x10000000u, 0x10000u, nullptr},
    {"vid_vid", 0x602F0000u, 0x10000u, nullptr},
    {"apb_sys", 0x60000000u, 0x10000u, nullptr},
};

void map_list(HubWin *list, int count, const char *fn) {
    test_logf(3, TL_PLAIN, "max range: 0x%x.[%s]\n", unsigned(2 * sysconf(_SC_PAGESIZE)), fn);
    test_logf(3, TL_PLAIN, "total: %d dev will mmap.\n", count);
    const int fd = kos::mem_open(O_SYNC);
    if (fd < 0) {
        test_logf(5, TL_PLAIN, "open /dev/mem:%s\n", strerror(errno));
        return;
    }
    int done = 0;
    for (int i = 0; i < count; i++) {
        HubWin &w = list[i];
        if (!w.win) w.win = kos::window_map(fd, w.name, w.phys, w.size);
        void *base = w.win ? kos::window_base(w.win) : nullptr;
        if (w.win) {
            done++;
            test_logf(3, TL_PLAIN, "mmap %s:phy:0x%08x => vir:%p size:0x%x ok.\n", w.name, w.phys, base, w.size);
        } else {
            test_logf(5, TL_PLAIN, "mmap %s:phy:0x%08x => vir:%p size:0x%x fail.\n", w.name, w.phys, base, w.size);
        }
    }
    kos::mem_close(fd);
    test_logf(3, TL_PLAIN, "total: %d dev mmap done.\n", done);
}

bool soc_hub() { return g_kmx_obj && (g_kmx_obj->flags & KMX_OBJ_SOC_HUB); }

// An unmapped window reads 0 and drops writes: the failure was logged at
// start-up and the test steps then fail on the replies that never come.
uint32_t win_in(const HubWin &w, uint32_t off) { return w.win ? kos::window_read32(w.win, off & (w.size - 1)) : 0; }
void win_out(HubWin &w, uint32_t off, uint32_t v) {
    if (w.win) kos::window_write32(w.win, off & (w.size - 1), v);
}

uint32_t rd(int c, uint32_t off) { return Xil_SPI_In32(uint32_t(c) * 512 + off); }
void wr(int c, uint32_t off, uint32_t v) { Xil_SPI_Out32(uint32_t(c) * 512 + off, v); }
uint32_t status(int c) { return rd(c, BC_SPI_STATUS); }

constexpr uint32_t kSpeed[6] = {0x20000, 0x40000, 0x80000, 0x100000, 0x200100, 0x330100};
constexpr double kSpeedMhz[6] = {0.39062, 0.78125, 1.5625, 3.125, 6.25, 9.96};

}  // namespace

void hub_hardware_init() { map_list(g_fpga, 3, "hub_hardware_init"); }
void soc_hub_hardware_init() { map_list(g_soc, 3, "soc_hub_hardware_init"); }
void hub_hardware_release() {
    for (HubWin *list : {g_fpga, g_soc})
        for (int i = 0; i < 3; i++) {
            kos::window_unmap(list[i].win);
            list[i].win = nullptr;
        }
}
bool hub_spi_mapped() { return (soc_hub() ? g_soc[0] : g_fpga[0]).win != nullptr; }

void Xil_SPI_Out32(uint32_t offset, uint32_t value) { win_out(soc_hub() ? g_soc[0] : g_fpga[0], offset, value); }
uint32_t Xil_SPI_In32(uint32_t offset) { return win_in(soc_hub() ? g_soc[0] : g_fpga[0], offset); }
void Xil_Peripheral_Out32(uint32_t offset, uint32_t value) { win_out(soc_hub() ? g_soc[1] : g_fpga[1], offset, value); }
uint32_t Xil_Peripheral_In32(uint32_t offset) { return win_in(soc_hub() ? g_soc[1] : g_fpga[1], offset); }
void Xil_Zynq_Out32(uint32_t offset, uint32_t value) { win_out(g_fpga[2], offset, value); }
uint32_t Xil_Zynq_In32(uint32_t offset) { return win_in(g_fpga[2], offset); }
void Soc_Apbsys_Out32(uint32_t offset, uint32_t value) { win_out(g_soc[2], offset, value); }
uint32_t Soc_Apbsys_In32(uint32_t offset) { return win_in(g_soc[2], offset); }

// ---- engine ------------------------------------------------------------------

int hub_spi_reset(int chain) {
    wr(chain, BC_SPI_CTRL, 0x10);
    kos::sleep_us(1);
    wr(chain, BC_SPI_CTRL, 0x1F);
    return 0;
}

void hub_spi_init(int chain, int chips) {
    const uint32_t bit = 1u << chain;
    Xil_SPI_Out32(BC_SPI_CHAIN_EN, Xil_SPI_In32(BC_SPI_CHAIN_EN) & ~bit);
    kos::sleep_us(1);
    Xil_SPI_Out32(BC_SPI_CHAIN_EN, Xil_SPI_In32(BC_SPI_CHAIN_EN) | bit);
    (void)Xil_SPI_In32(BC_SPI_CHAIN_EN);
    hub_spi_reset(chain);
    wr(chain, BC_SPI_CFG, uint32_t(chips) << 24 | 0x41002);
    wr(chain, BC_SPI_CHIPNUM, 0xF00FF);
    Xil_SPI_Out32(8, 0);
}

void hub_spi_set_chipnum(int chain, int chips) {
    wr(chain, BC_SPI_CFG, (rd(chain, BC_SPI_CFG) & 0x00FFFFFFu) | (uint32_t(chips) & 0xFF) << 24);
}

int hub_set_spi_speed(int chain, int index) {
    if (index < 0 || index > 5) {
        test_logf(5, TL_PLAIN, "chain%d: spi speed index %d out of range\n", chain, index);
        return 0;
    }
    uint32_t v = rd(chain, BC_SPI_CFG);
    test_logf(1, TL_HUB, "read_data before:%lx select:%d\n", (unsigned long)v, index);
    wr(chain, BC_SPI_CFG, (v & ~0x00FF0000u) | kSpeed[index]);
    v = rd(chain, BC_SPI_CFG);
    test_logf(1, TL_HUB, "read_data:%lx\n", (unsigned long)v);
    test_logf(1, TL_HUB, "SPI speed -> %.3f\n", kSpeedMhz[index]);
    return 1;
}

int reset_rx_buffer(int chain) {
    wr(chain, BC_SPI_CTRL, rd(chain, BC_SPI_CTRL) & ~0x4u);
    kos::sleep_ms(1);
    wr(chain, BC_SPI_CTRL, rd(chain, BC_SPI_CTRL) | 0x4u);
    return 0;
}

int wait_spi_idle(int chain, int us) {
    const int polls = us / 20 > 0 ? us / 20 : 1;
    for (int i = 0; i < polls; i++) {
        const uint32_t st = status(chain);
        if (!(st & 0xFF000040u) || st == 0x70000070u) return 0;
        kos::sleep_us(20);
    }
    test_log(5, TL_PLAIN, "wait spi idle failed!");
    return 1;
}

int wait_write_buf_empty(int chain) {
    uint32_t st = 0;
    for (int i = 0; i < 1000; i++) {
        st = status(chain);
        if (!(st & 0x03000000u)) return 0;
        kos::sleep_us(10);
    }
    test_logf(5, TL_PLAIN, "Wait command write queue empty timeout!spi=%0d i=%0ld status=%8lx \n", chain, 10000L,
              (unsigned long)st);
    return 1;
}

int clear_wait_st_idle(int chain, int polls) {
    int i = 0;
    uint32_t st = 0;
    for (; i < polls; i++) {
        st = status(chain);
        if (st < 0x1000000u) break;
        kos::sleep_us(1);
    }
    if (i == polls) {
        test_logf(3, TL_PLAIN, "clear_wait_st_idle Wait SPI status clear timeout! i=%lu status=%8lu \n",
                  (unsigned long)i, (unsigned long)st);
        return 1;
    }
    wr(chain, BC_SPI_CMD, 0x800);
    kos::sleep_us(1);
    wr(chain, BC_SPI_CMD, 2);
    st = status(chain);
    if (st >> 24)
        test_logf(3, TL_PLAIN, "clear_wait_st_idle SPI status is not cleared: %08lu i=%lu \n", (unsigned long)st,
                  (unsigned long)i);
    return 0;
}

int wait_phy_idle(int chain, int polls) {
    int i = 0;
    for (; i < polls; i++) {
        if (!(status(chain) & 0x40u)) return 0;
        kos::sleep_us(1);
    }
    test_logf(4, TL_PLAIN, "Wait SPI status clear timeout! i=%0ld status=%8lx \n", long(i), (unsigned long)status(chain));
    return 1;
}

namespace {

// Header word, then (words - 1) * 2 bytes into the transmit buffer. A frame
// larger than the buffer is refused rather than written past it.
bool load_frame(int chain, const uint8_t *tx, uint32_t len_word) {
    const unsigned w = (len_word >> 24) & 0xFF;
    const unsigned bytes = w > 0 ? (w - 1) * 2 : 0;
    if (bytes > unsigned(BC_SPI_TX_BYTES)) {
        test_logf(5, TL_PLAIN, "chain%d: frame of %u words does not fit the transmit buffer\n", chain, w);
        return false;
    }
    wr(chain, BC_SPI_HDR, uint32_t(tx[0]) | uint32_t(tx[1]) << 8);
    for (unsigned i = 0; i < bytes; i += 4) {
        uint32_t v = 0;
        for (unsigned k = 0; k < 4 && i + k < bytes; k++) v |= uint32_t(tx[2 + i + k]) << (8 * k);
        wr(chain, BC_SPI_TX + i, v);
    }
    return true;
}

unsigned tx_bytes(uint32_t len_word) { return ((len_word >> 24) & 0xFF) * 2; }

}  // namespace

int push_one_cmd(int chain, const uint8_t *tx, uint32_t len_word, int last) {
    if (test_log_on(1)) {
        test_log(1, TL_SPI, "TX data: ");
        test_log_hexrow(tx, int(tx_bytes(len_word)), 1, TL_SPI);
    }
    if (wait_write_buf_empty(chain) || wait_spi_idle(chain, 100000)) return 1;
    if (!load_frame(chain, tx, len_word)) return 1;
    wr(chain, BC_SPI_LEN, len_word);
    wr(chain, BC_SPI_CMD, last ? 0xAD : 0xBD);
    return 0;
}

int auto_push_one_cmd(int chain, const uint8_t *tx, uint32_t len_word, int last) {
    if (wait_write_buf_empty(chain)) return 1;
    if (!load_frame(chain, tx, len_word)) return 1;
    wr(chain, BC_SPI_LEN, len_word);
    wr(chain, BC_SPI_CMD, last ? 0xA5 : 0xB5);
    return 0;
}

int rece_queue_ready_check(int chain, int words, int us) {
    const int polls = us / 10 + 1;
    for (int i = 0; i < polls; i++) {
        const uint32_t st = status(chain);
        if ((st & 0x10u) && int((st >> 8) & 0xFF) >= words) {
            if (st & 0xEu) test_logf(2, TL_PLAIN, "CHECK cmd rece ERROR %lu\r\n", (unsigned long)(st & 0xEu));
            return 1;
        }
        kos::sleep_us(10);
    }
    return 0;
}

void read_rx_buffer(int chain, uint8_t *buf, uint32_t len_word) {
    unsigned bytes = ((len_word >> 8) & 0xFF) * 2;
    if (bytes > unsigned(BC_SPI_RX_BYTES)) bytes = BC_SPI_RX_BYTES;  // the engine holds no more
    for (unsigned i = 0; i < bytes; i += 4) {
        const uint32_t v = rd(chain, BC_SPI_RX + i);
        for (unsigned k = 0; k < 4 && i + k < bytes; k++) buf[i + k] = uint8_t(v >> (8 * k));
    }
    wr(chain, BC_SPI_CMD, 0x800);
    if (test_log_on(1)) {
        test_log(1, TL_SPI, "RX Data: ");
        test_log_hexrow(buf, int(bytes), 1, TL_SPI);
    }
}

int pop_one_rece(int chain, uint8_t *buf, uint32_t len_word) {
    if (!rece_queue_ready_check(chain, int((len_word >> 8) & 0xFF), 50000)) {
        test_log(5, TL_PLAIN, "Check receive buffer ready timeout! \n");
        return 1;
    }
    read_rx_buffer(chain, buf, len_word);
    return 0;
}

namespace {
void store_word(int chain, uint8_t *buf, int at) {
    const uint32_t v = rd(chain, BC_SPI_RX);
    buf[at] = uint8_t(v);
    buf[at + 1] = uint8_t(v >> 8);
}
}  // namespace

void spi_padding(int chain, uint8_t *buf, int words) {
    wr(chain, BC_SPI_CTRL, 0x3F);
    for (int i = 0; i < words; i++) {
        kos::sleep_us(40);
        wr(chain, BC_SPI_HDR, 0);
        wr(chain, BC_SPI_CMD, 0x3000);
        wait_phy_idle(chain, 10000);
        store_word(chain, buf, 2 * i);
    }
    wr(chain, BC_SPI_CTRL, 0x1F);
}

void send_spi_header(int chain, const uint8_t *tx, uint32_t len_word) {
    const int words = int((len_word >> 24) & 0xFF);
    wr(chain, BC_SPI_CTRL, 0x3F);
    for (int i = 0; i < words; i++) {
        wr(chain, BC_SPI_HDR, uint32_t(tx[2 * i]) << 8 | tx[2 * i + 1]);
        wr(chain, BC_SPI_CMD, i == words - 1 ? 0x3000 : 0x1000);
        wait_phy_idle(chain, 10000);
    }
    wr(chain, BC_SPI_CTRL, 0x1F);
}

void hub_dump_registers(int chain, int bytes) {
    if (!test_log_on(1)) return;
    const uint32_t first = uint32_t(chain) * 512;
    test_logf(1, TL_PLAIN, "SPI Hub register (%04lx ~ %04lx): \n", (unsigned long)first,
              (unsigned long)(first + uint32_t(bytes) - 1));
    for (int i = 0; i < bytes / 4; i++) {
        test_logf(1, TL_PLAIN, "%08lx ", (unsigned long)Xil_SPI_In32(first + uint32_t(i) * 4));
        if (i % 4 == 3) test_log(1, TL_PLAIN, "\n");
    }
}

int do_spi_cmd(int chain, const uint8_t *tx, uint8_t *rx, uint32_t len_word) {
    reset_rx_buffer(chain);
    if (push_one_cmd(chain, tx, len_word, 1)) {
        test_logf(5, TL_PLAIN, "chain%d: ERROR - failed to send spi cmd\n", chain);
    } else if (pop_one_rece(chain, rx, len_word)) {
        test_logf(5, TL_PLAIN, "chain%d: ERROR - failed to recv spi data cmd:0x%x\n", chain, tx[0] << 8 | tx[1]);
    } else if ((tx[0] ^ rx[0]) & 0xF) {
        test_logf(5, TL_PLAIN, "chain%d: ERROR - spi recv data invalid: %02X|%02X\n", chain, tx[0], rx[0]);
    } else {
        return 0;
    }
    hub_dump_registers(chain, 256);
    return 1;
}

void hub_spi_clean_chain(int chain) {
    uint8_t tx[32] = {0x04, 0x00, 0xFF, 0xFF};  // 16 words go out
    if (!push_one_cmd(chain, tx, 0x10001000u, 1)) wait_spi_idle(chain, 100000);
    hub_spi_reset(chain);
}

namespace {
uint32_t auto_cmd0a_word(int threshold, int msb, int lsb, int large_en, int mode) {
    return (uint32_t(threshold) & 0xFFF) | uint32_t(large_en & 1) << 13 | uint32_t(mode & 1) << 14 |
           (uint32_t(lsb) & 0xFF) << 16 | (uint32_t(msb) & 0xFF) << 24;
}
}  // namespace

void hub_enable_auto_cmd0a(int chain, int threshold, int msb, int lsb, int large_en, int mode) {
    const uint32_t base = uint32_t(chain) * 512;
    Xil_SPI_Out32(base + BC_SPI_CMD, 4);
    Xil_SPI_Out32(base + BC_SPI_AUTO_CFG, auto_cmd0a_word(threshold, msb, lsb, large_en, mode) | 0x1000u);
}

void hub_disable_auto_cmd0a(int chain, int threshold, int msb, int lsb, int large_en, int mode) {
    Xil_SPI_Out32(uint32_t(chain) * 512 + BC_SPI_AUTO_CFG, auto_cmd0a_word(threshold, msb, lsb, large_en, mode));
}
