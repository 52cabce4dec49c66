#include "drv/hub_spi.h"

#include "drv/hub.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace {

constexpr uint32_t kFpgaSpeed[6] = {0x20000, 0x40000, 0x80000, 0x100000, 0x200100, 0x330100};
constexpr uint32_t kSocSpeed[6] = {0x50000, 0xA0000, 0x130000, 0x260000, 0x4C0100, 0x6E0704};

// Every primitive checks the chain first: a block number of 8 or more would
// address the hub-wide registers or beyond.
bool chain_ok(uint8_t c, const char *fn) {
    if (c < HUB_SPI_CHAINS) return true;
    kmx_logf(5, "%s: spi chain %d out of range\n", fn, c);
    return false;
}

uint32_t rd(uint8_t c, uint32_t off) { return Xil_SPI_In32(HUB_SPI_BLOCK(c) + off); }
void wr(uint8_t c, uint32_t off, uint32_t v) { Xil_SPI_Out32(HUB_SPI_BLOCK(c) + off, v); }
uint32_t status(uint8_t c) { return rd(c, HUB_SPI_STATUS); }

// Words sent (header included) and words expected back, from a length word.
unsigned tx_words(uint32_t len_cfg) { return (len_cfg >> 24) & 0x7F; }
unsigned rx_words(uint32_t len_cfg) { return (len_cfg >> 8) & 0x7F; }

// Header word and transmit buffer of a frame of `words` 16-bit words. Only
// the frame's own bytes are read from tx; the last 32-bit word is padded.
bool load_frame(uint8_t c, const uint8_t *tx, uint32_t len_cfg, const char *fn) {
    const unsigned w = tx_words(len_cfg);
    const unsigned bytes = w > 0 ? (w - 1) * 2 : 0;
    if (bytes > HUB_SPI_TX_BYTES) {
        kmx_logf(5, "%s: chain%d frame of %u words does not fit the engine\n", fn, c, w);
        return false;
    }
    wr(c, HUB_SPI_HDR, uint32_t(tx[0]) | uint32_t(tx[1]) << 8);
    for (unsigned i = 0; i < bytes; i += 4) {
        uint32_t v = 0;
        for (unsigned k = 0; k < 4 && i + k < bytes; k++) v |= uint32_t(tx[2 + i + k]) << (8 * k);
        wr(c, HUB_SPI_TX + i, v);
    }
    return true;
}

// Reads `words` 16-bit words of the receive buffer with whole 32-bit reads
// and stores exactly words * 2 bytes.
bool copy_rx(uint8_t c, uint8_t *rx, unsigned words, const char *fn) {
    if (words * 2 > HUB_SPI_RX_BYTES) {
        kmx_logf(5, "%s: chain%d reply of %u words exceeds the receive buffer\n", fn, c, words);
        return false;
    }
    const unsigned bytes = words * 2;
    for (unsigned i = 0; i < bytes; i += 4) {
        const uint32_t v = rd(c, HUB_SPI_RX + i);
        for (unsigned k = 0; k < 4 && i + k < bytes; k++) rx[i + k] = uint8_t(v >> (8 * k));
    }
    return true;
}

void set_speed(uint8_t c, int index, const uint32_t (&table)[6], const char *fn) {
    if (!chain_ok(c, fn)) return;
    if (index < 0 || index > 5) {
        kmx_logf(5, "%s: chain%d speed index %d out of range\n", fn, c, index);
        return;
    }
    wr(c, HUB_SPI_CFG, (rd(c, HUB_SPI_CFG) & ~0x00FF0000u) | table[index]);
}

// Control bits held low for 1 ms, then raised again.
int pulse_low(uint8_t c, uint32_t bits, const char *fn) {
    if (!chain_ok(c, fn)) return 1;
    wr(c, HUB_SPI_CTRL, rd(c, HUB_SPI_CTRL) & ~bits);
    kos::sleep_ms(1);
    wr(c, HUB_SPI_CTRL, rd(c, HUB_SPI_CTRL) | bits);
    return 0;
}

uint32_t temp_cfg(int threshold, int msb, int lsb, int large_en, int mode) {
    return (uint32_t(threshold) & 0xFFF) | uint32_t(large_en & 1) << 13 | uint32_t(mode & 1) << 14 |
           (uint32_t(lsb) & 0xFF) << 16 | (uint32_t(msb) & 0xFF) << 24;
}

}  // namespace

extern "C" {

int hub_spi_reset(uint8_t spi_id) {
    if (!chain_ok(spi_id, __func__)) return 1;
    wr(spi_id, HUB_SPI_CTRL, 0x10);
    kos::sleep_us(1);
    wr(spi_id, HUB_SPI_CTRL, 0x1F);
    return 0;
}

int hub_spi_init(uint8_t spi_id, int chip_num) {
    if (!chain_ok(spi_id, __func__)) return 1;
    const uint32_t bit = 1u << spi_id;
    Xil_SPI_Out32(HUB_SPI_CHAIN_EN, Xil_SPI_In32(HUB_SPI_CHAIN_EN) & ~bit);
    kos::sleep_us(1);
    Xil_SPI_Out32(HUB_SPI_CHAIN_EN, Xil_SPI_In32(HUB_SPI_CHAIN_EN) | bit);
    (void)Xil_SPI_In32(HUB_SPI_CHAIN_EN);
    hub_spi_reset(spi_id);
    wr(spi_id, HUB_SPI_CFG, uint32_t(chip_num) << 24 | 0x44004);
    wr(spi_id, HUB_SPI_CHIPNUM, uint32_t(chip_num));
    Xil_SPI_Out32(0x08, 0);
    return 0;
}

int reset_hub(uint8_t spi_id) { return pulse_low(spi_id, 0xFu, __func__); }

int reset_rx_buffer(uint8_t spi_id) { return pulse_low(spi_id, 0x4u, __func__); }

void hub_spi_set_chipnum(uint8_t spi_id, int chip_num) {
    if (!chain_ok(spi_id, __func__)) return;
    wr(spi_id, HUB_SPI_CFG, (rd(spi_id, HUB_SPI_CFG) & 0x00FFFFFFu) | (uint32_t(chip_num) & 0xFF) << 24);
    wr(spi_id, HUB_SPI_CHIPNUM, uint32_t(chip_num));
}

void hub_set_spi_speed(uint8_t spi_id, int index) { set_speed(spi_id, index, kFpgaSpeed, __func__); }
void soc_set_spi_speed(uint8_t spi_id, int index) { set_speed(spi_id, index, kSocSpeed, __func__); }

// ---- waits -------------------------------------------------------------------

int wait_write_buf_empty(uint8_t spi_id, int timeout_us) {
    for (int i = 0; i < timeout_us / 10; i++) {
        if (!(status(spi_id) & HUB_ST_TX_NOT_EMPTY)) return 0;
        kos::sleep_us(10);
    }
    return 1;
}

int wait_spi_idle(uint8_t spi_id, int timeout_us) {
    uint32_t st = 0;
    for (int i = 0; i < timeout_us / 20; i++) {
        st = status(spi_id);
        if (!(st & (HUB_ST_TX_BUSY | HUB_ST_PHY_BUSY))) return 0;
        kos::sleep_us(20);
    }
    kmx_logf(1, "Wait SPI(%0d) idle timeout! time=%0d us, status=%8x \n", spi_id, timeout_us, st);
    return 1;
}

int wait_phy_idle(uint8_t spi_id, int timeout_us) {
    int i = 0;
    for (; i < timeout_us; i++) {
        if (!(status(spi_id) & HUB_ST_PHY_BUSY)) return 0;
        kos::sleep_us(1);
    }
    kmx_logf(4, "Wait SPI status clear timeout! i=%0d status=%8x \n", i, status(spi_id));
    return 1;
}

int wait_cmd_done(uint8_t spi_id, int timeout_us) {
    int i = 0;
    for (; i < timeout_us / 10; i++) {
        const uint32_t st = status(spi_id);
        kmx_logf(1, "Read SPI CMD_CTRL_REG2_ADDR: %08x \n", st);
        if (st & HUB_ST_DONE) {
            kmx_logf(1, "CMD  done, status: %08x! \n", st);
            return 0;
        }
        kos::sleep_us(10);
    }
    kmx_logf(4, "SPI polling cmd done timeout! i=%0d \n", i);
    return 1;
}

// On a time-out the status is left as it is: the engine is still busy and
// clearing under it would drop a reply that is still arriving.
int clear_wait_st_idle(uint8_t spi_id, int timeout_us) {
    int i = 0;
    uint32_t st = 0;
    for (; i < timeout_us; i++) {
        st = status(spi_id);
        if (!(st & HUB_ST_TX_BUSY)) break;
        kos::sleep_us(1);
    }
    if (i == timeout_us) {
        kmx_logf(4, "clear_wait_st_idle Wait SPI status clear timeout! i=%0d status=%8x \n", i, st);
        return 1;
    }
    wr(spi_id, HUB_SPI_CMD, HUB_CMD_POP);
    kos::sleep_us(1);
    wr(spi_id, HUB_SPI_CMD, HUB_CMD_CLEAR);
    wr(spi_id, HUB_SPI_CMD, HUB_CMD_NEUTRAL);
    st = status(spi_id);
    if (st & ~0x0000FF00u) kmx_logf(1, "clear_wait_st_idle SPI status is not cleared: %08x i=%0d \n", st, i);
    return 0;
}

bool rece_queue_ready_check(uint8_t spi_id, int words, int timeout_us) {
    const int polls = timeout_us / 100 + 2;
    for (int i = 0; i < polls; i++) {
        const uint32_t st = status(spi_id);
        if ((st & HUB_ST_RX_READY) && int(HUB_ST_RX_WORDS(st)) >= words) return true;
        kos::sleep_us(40);
    }
    return false;
}

bool rece_queue_empty_check(uint8_t spi_id, int timeout_us) {
    for (int i = 0; i < timeout_us / 10; i++) {
        if (!(status(spi_id) & (HUB_ST_RX_READY | 0xFF00u))) return true;
        kos::sleep_us(10);
    }
    return false;
}

int check_cmd_status(uint8_t spi_id) { return (status(spi_id) & HUB_ST_ERROR) ? 8 : 0; }

// ---- sends ---------------------------------------------------------------------

int push_one_cmd(uint8_t spi_id, const uint8_t *tx, uint32_t len_cfg, int last) {
    if (!chain_ok(spi_id, __func__)) return 1;
    if (wait_write_buf_empty(spi_id, 10000) || wait_spi_idle(spi_id, 10000)) return 1;
    if (!load_frame(spi_id, tx, len_cfg, __func__)) return 1;
    wr(spi_id, HUB_SPI_LEN, len_cfg);
    wr(spi_id, HUB_SPI_CMD, last ? HUB_CMD_PUSH_LAST : HUB_CMD_PUSH_MORE);
    return 0;
}

int pop_one_rece(uint8_t spi_id, uint8_t *rx, uint32_t len_cfg) {
    if (!chain_ok(spi_id, __func__)) return 1;
    const unsigned words = rx_words(len_cfg);
    if (!rece_queue_ready_check(spi_id, int(words), 50000)) return 1;
    if (!copy_rx(spi_id, rx, words, __func__)) return 1;
    wr(spi_id, HUB_SPI_CMD, HUB_CMD_POP);
    return 0;
}

int do_spi_cmd(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg) {
    if (push_one_cmd(spi_id, tx, len_cfg, 1)) {
        kmx_logf(1, "chain%d: ERROR - failed to send spi cmd", spi_id);
        return 1;
    }
    if (pop_one_rece(spi_id, rx, len_cfg)) {
        kmx_logf(1, "chain%d: ERROR - failed to recv spi data", spi_id);
        return 1;
    }
    if ((tx[0] ^ rx[0]) & 0xF) {
        kmx_logf(5, "chain%d: ERROR - spi recv data invalid: %02X|%02X", spi_id, tx[0], rx[0]);
        return 1;
    }
    clear_wait_st_idle(spi_id, 200);
    return 0;
}

int send_job_queue(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg, int last) {
    (void)rx;
    if (push_one_cmd(spi_id, tx, len_cfg, last)) return 1;
    if (last) {
        wait_spi_idle(spi_id, 100000);
        clear_wait_st_idle(spi_id, 100000);
    }
    return 0;
}

int send_job_queue_boardtest(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg, int last) {
    if (push_one_cmd(spi_id, tx, len_cfg, last)) return 1;
    if (last) wait_spi_idle(spi_id, 100000);
    const unsigned words = rx_words(len_cfg);
    if (!rece_queue_ready_check(spi_id, int(words), 50000)) {
        kmx_logf(5, "Check receive buffer ready timeout! \n");
        return 1;
    }
    if (words > 0) {
        uint8_t tmp[HUB_SPI_RX_BYTES];
        if (!copy_rx(spi_id, tmp, words, __func__)) return 1;
        for (unsigned i = 0; i + 2 < words * 2; i++) rx[i] = tmp[i];
    }
    if (last) clear_wait_st_idle(spi_id, 100000);
    return 0;
}

int send_one_cmd_split(uint8_t spi_id, const uint8_t *tx, uint32_t len_cfg, int last, int cs_low) {
    if (!chain_ok(spi_id, __func__)) return 1;
    const uint32_t cfg = rd(spi_id, HUB_SPI_CFG);
    wr(spi_id, HUB_SPI_CFG, cfg & ~0xFFu);
    int rc = 1;
    if (!wait_write_buf_empty(spi_id, 10000) && load_frame(spi_id, tx, len_cfg, __func__)) {
        wr(spi_id, HUB_SPI_LEN, len_cfg);
        wr(spi_id, HUB_SPI_CMD, (last ? HUB_CMD_SPLIT_LAST : HUB_CMD_SPLIT_MORE) | (cs_low ? HUB_CMD_SPLIT_CS_LOW : 0));
        rc = wait_cmd_done(spi_id, 10000);
    }
    wr(spi_id, HUB_SPI_CFG, cfg);
    return rc;
}

// ---- manual mode -----------------------------------------------------------------

namespace {
void store_word(uint8_t c, uint8_t *rx, int at) {
    const uint32_t v = rd(c, HUB_SPI_RX);
    rx[at] = uint8_t(v);
    rx[at + 1] = uint8_t(v >> 8);
}
}  // namespace

int send_spi_header(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg) {
    if (!chain_ok(spi_id, __func__)) return 1;
    const int words = int(len_cfg >> 24);
    int rc = 0;
    wr(spi_id, HUB_SPI_CTRL, 0x3F);
    for (int i = 0; i < words; i++) {
        wr(spi_id, HUB_SPI_HDR, uint32_t(tx[2 * i]) << 8 | tx[2 * i + 1]);
        // The word whose byte offset is (count - 1) goes out as a capture word.
        wr(spi_id, HUB_SPI_CMD, 2 * i == words - 1 ? HUB_CMD_MANUAL_PAD : HUB_CMD_MANUAL_HDR);
        if (wait_phy_idle(spi_id, 10000)) rc = 1;
        store_word(spi_id, rx, 2 * i);
    }
    wr(spi_id, HUB_SPI_CTRL, 0x1F);
    return rc;
}

int send_spi_header_manual(uint8_t spi_id, const uint8_t *tx, uint8_t *rx, uint32_t len_cfg) {
    return send_spi_header(spi_id, tx, rx, len_cfg);
}

int spi_padding(uint8_t spi_id, uint8_t *rx, int words) {
    if (!chain_ok(spi_id, __func__)) return 1;
    int rc = 0;
    wr(spi_id, HUB_SPI_CTRL, 0x3F);
    for (int i = 0; i < words; i++) {
        kos::sleep_us(1);
        wr(spi_id, HUB_SPI_HDR, 0);
        wr(spi_id, HUB_SPI_CMD, HUB_CMD_MANUAL_PAD);
        if (wait_phy_idle(spi_id, 10000)) rc = 1;
        store_word(spi_id, rx, 2 * i);
    }
    wr(spi_id, HUB_SPI_CTRL, 0x1F);
    return rc;
}

// ---- automatic result polling ----------------------------------------------------

int enable_auto_nonce(uint8_t spi_id, uint16_t cmd08_cmd, uint32_t len_cfg) {
    if (!chain_ok(spi_id, __func__)) return 1;
    if (wait_spi_idle(spi_id, 10000)) return 1;
    wr(spi_id, HUB_SPI_HDR, uint32_t(uint16_t(cmd08_cmd << 8 | cmd08_cmd >> 8)));
    // 10 zero bytes: two whole words and the low half of the third.
    wr(spi_id, HUB_SPI_TX, 0);
    wr(spi_id, HUB_SPI_TX + 4, 0);
    wr(spi_id, HUB_SPI_TX + 8, rd(spi_id, HUB_SPI_TX + 8) & 0xFFFF0000u);
    wr(spi_id, HUB_SPI_AUTO_INTERVAL, 255);
    wr(spi_id, HUB_SPI_LEN, len_cfg);
    wr(spi_id, HUB_SPI_CMD, HUB_CMD_AUTO_POLL);
    return 0;
}

int disable_auto_nonce(uint8_t spi_id) {
    if (!chain_ok(spi_id, __func__)) return 1;
    wr(spi_id, HUB_SPI_CMD, HUB_CMD_NEUTRAL);
    return clear_wait_st_idle(spi_id, 1000000);
}

bool rece_queue_has_nonce(uint8_t spi_id) {
    if (!chain_ok(spi_id, __func__)) return false;
    const uint32_t st = status(spi_id);
    return (st & HUB_ST_RX_READY) && HUB_ST_RX_WORDS(st) >= 6;
}

int read_nonce_buffer(uint8_t spi_id, uint8_t *buf, uint32_t len_cfg) {
    if (!chain_ok(spi_id, __func__)) return 1;
    if (!copy_rx(spi_id, buf, (len_cfg >> 8) & 0xFF, __func__)) return 1;
    wr(spi_id, HUB_SPI_CMD, HUB_CMD_AUTO_POP);
    kos::sleep_us(1);
    return 0;
}

// ---- automatic temperature sweep --------------------------------------------------

void enable_auto_cmd0a(uint8_t spi_id, int threshold, int msb, int lsb, int large_en, int mode) {
    if (!chain_ok(spi_id, __func__)) return;
    wr(spi_id, HUB_SPI_CMD, HUB_CMD_TEMP_SWEEP);
    wr(spi_id, HUB_SPI_TEMP_CFG, temp_cfg(threshold, msb, lsb, large_en, mode) | 0x1000u);
}

void disable_auto_cmd0a(uint8_t spi_id, int threshold, int msb, int lsb, int large_en, int mode) {
    if (!chain_ok(spi_id, __func__)) return;
    wr(spi_id, HUB_SPI_TEMP_CFG, temp_cfg(threshold, msb, lsb, large_en, mode));
}

}  // extern "C"
