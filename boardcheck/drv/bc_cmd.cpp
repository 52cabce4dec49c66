// Chip commands over the chains' SPI engines. A reply that fails its CRC
// or header check is logged and fails its command: its data are not handed
// on, and the chain is marked for the report.
#include <algorithm>
#include <cstring>

#include "drv/bc_hub.h"
#include "drv/kmx_chip_frame_internal.h"
#include "module/test_log.h"
#include "os/os.h"

namespace {

struct Bufs {
    uint8_t tx[BC_CMD_BUF];
    uint8_t rx[BC_CMD_BUF];
    Bufs() {
        memset(tx, 0, sizeof tx);
        memset(rx, 0, sizeof rx);
    }
};

// Data lengths a reply can carry: header, data and CRC in the receive
// buffer.
constexpr int kMaxReplyData = BC_SPI_RX_BYTES - 4;

bool len_ok(int len, int max, const char *fn) {
    if (len >= 0 && len <= max && len % 2 == 0) return true;
    test_logf(5, TL_PLAIN, "%s: data length %d not supported\n", fn, len);
    return false;
}

uint32_t lw_write(int n) {
    return uint32_t(n + 2) << 24 | uint32_t(n + 1) << 16 | uint32_t(n + 2) << 8 | uint32_t(n + 1);
}
uint32_t lw_read(int n) { return 0x02000000u | uint32_t(n + 2) << 8 | uint32_t(n + 1); }

bool simple(int chain, uint8_t code, int chip, uint8_t *rx_out = nullptr) {
    Bufs b;
    b.tx[0] = code;
    b.tx[1] = uint8_t(chip);
    if (do_spi_cmd(chain, b.tx, b.rx, CHIP_LW_BIST)) return false;
    if (rx_out) memcpy(rx_out, b.rx, 4);
    return true;
}

bool write_cmd(int chain, uint8_t code, int chip, const uint8_t *data, int len, uint8_t *rx, const char *fn) {
    if (!len_ok(len, kMaxReplyData, fn)) return false;
    Bufs b;
    chip_frame_build(b.tx, code, uint8_t(chip), data, len);
    const bool ok = do_spi_cmd(chain, b.tx, b.rx, lw_write(len / 2)) == 0;
    if (ok && rx) memcpy(rx, b.rx, size_t(len) + 4);
    return ok;
}

// False (after its warning) when the reply's CRC does not close its data.
bool crc_sound(const uint8_t *rx, int len, const char *fmt, const char *fn) {
    if (chip_frame_crc_ok(rx, 2 + len)) return true;
    test_logf(4, TL_PLAIN, fmt, fn);
    return false;
}

// A reply that failed a check: the command fails and the chain is marked
// with the chip it went to; a broadcast's with the chip that answered it.
bool bad_reply(int chain, int chip, const uint8_t *rx) {
    bc_chain_mark_crc_error(chain, chip ? chip : rx[1]);
    return false;
}

}  // namespace

bool hub_cmd_reset(int chain, int chip, const uint8_t pattern[2], uint8_t out[4]) {
    Bufs b;
    b.tx[0] = CHIP_CMD_RESET;
    b.tx[1] = uint8_t(chip);
    b.tx[2] = pattern[0];
    b.tx[3] = pattern[1];
    if (do_spi_cmd(chain, b.tx, b.rx, CHIP_LW_RESET)) return false;
    if (out) memcpy(out, b.rx, 4);
    return true;
}

int hub_cmd_bist_start(int chain, int chip) {
    uint8_t rx[4];
    return simple(chain, CHIP_CMD_BIST_START, chip, rx) ? rx[3] : -1;
}
bool hub_cmd_bist_collect(int chain, int chip) { return simple(chain, CHIP_CMD_BIST_COLLECT, chip); }
bool hub_cmd_bist_fix(int chain, int chip) { return simple(chain, CHIP_CMD_BIST_FIX, chip); }

bool hub_cmd_write_register(int chain, int chip, const uint8_t *data, int len) {
    return write_cmd(chain, CHIP_CMD_WRITE_REG, chip, data, len, nullptr, __func__);
}

bool hub_cmd_write_reg05(int chain, int chip, const uint8_t *data, int len) {
    (void)chip;  // always to every chip
    return write_cmd(chain, CHIP_CMD_WRITE_REG05, 0, data, len, nullptr, __func__);
}

bool hub_cmd_read_register(int chain, int chip, uint8_t *buf, int len) {
    if (!len_ok(len, kMaxReplyData, __func__)) return false;
    Bufs b;
    b.tx[0] = CHIP_CMD_READ_REG;
    b.tx[1] = uint8_t(chip);
    if (do_spi_cmd(chain, b.tx, b.rx, lw_read(len / 2))) {
        test_logf(4, TL_PLAIN, "0A%02x command Error!\n", chip);
        return false;
    }
    bool sound = !bc_chain_crc_check(chain) || crc_sound(b.rx, len, "%s spi crc error !\n", __func__);
    if (b.rx[1] != 0 && b.rx[0] != 0x1A) {
        test_logf(4, TL_PLAIN, "0A%02x command return value is [%x%x], not 1A%02x \n", chip, b.rx[0], b.rx[1], chip);
        sound = false;
    }
    if (!sound) return bad_reply(chain, chip, b.rx);
    memcpy(buf, b.rx + 2, size_t(len));
    return true;
}

bool hub_cmd_read_write_reg0d(int chain, int chip, const uint8_t *data, int len, uint8_t *reply) {
    uint8_t rx[BC_SPI_RX_BYTES];
    if (!write_cmd(chain, CHIP_CMD_RW_REG0D, chip, data, len, rx, __func__)) return false;
    bool sound = crc_sound(rx, len, "%s spi crc error!\n", __func__);
    if (rx[1] != 0 && rx[0] != 0x1D) {
        test_logf(4, TL_PLAIN, "0DNN command return value is [%x%x], not 1DNN \n", rx[0], rx[1]);
        sound = false;
    }
    if (!sound) return bad_reply(chain, chip, rx);
    if (reply) memcpy(reply, rx + 2, size_t(len));
    return true;
}

bool hub_cmd_read_result(int chain, int chip, uint8_t *buf, int len) {
    const int n = len / 2;
    Bufs b;
    b.tx[0] = CHIP_CMD_READ_RESULT;
    b.tx[1] = uint8_t(chip);
    if (!bc_chain_manual_header(chain)) {
        if (!len_ok(len, kMaxReplyData - 2, __func__)) return false;
        if (do_spi_cmd(chain, b.tx, b.rx, lw_read(n)) || b.rx[1] == 0) return false;
        if (bc_chain_crc_check(chain) && !crc_sound(b.rx, len, "%s spi crc error !\n", __func__))
            return bad_reply(chain, chip, b.rx);
        memcpy(buf, b.rx, size_t(len) + 2);
        return true;
    }
    // The padding words the chip's place in the chain needs come on top of
    // the reply; all of them must fit the receive buffer.
    const int pad = chip == 0 ? 24 : 2 * chip - 1;
    if (!len_ok(len, BC_CMD_BUF - 4 - 2 * pad, __func__)) return false;
    send_spi_header(chain, b.tx, uint32_t(n) | 0x02000000u | uint32_t(n + 2) << 8);
    const int words = n + pad;
    spi_padding(chain, b.rx + 4, words);
    const int scan = 4 + 2 * words;
    int at = 0;
    while (at < scan && b.rx[at] == 0) at++;
    if (at == scan) at = 0;
    if ((b.rx[at] & 0xF) != 0x8) {
        test_log(5, TL_PLAIN, "Get Wrong cmd08 header.\n");
        return false;
    }
    // A reply that starts late runs past the receive buffer: zeros there.
    const int have = std::min(len, BC_CMD_BUF - at);
    memcpy(buf, b.rx + at, size_t(have));
    memset(buf + have, 0, size_t(len - have));
    return have >= 2 && b.rx[at + 1] != 0;
}

bool hub_cmd_write_job(int chain, int chip, const uint8_t *job, int len) {
    const int n = len / 2;
    if (!len_ok(len, BC_SPI_TX_BYTES + 2, __func__) || n < 2) return false;
    const uint32_t lw = uint32_t(n) << 24 | uint32_t(n - 2) << 16;
    if (!bc_chain_manual_header(chain)) {
        const int last = chip == 1;
        bool ok = push_one_cmd(chain, job, lw, last) == 0;
        if (ok && last) {
            wait_spi_idle(chain, 100000);
            clear_wait_st_idle(chain, 100000);
        }
        if (!ok) test_log(2, TL_PLAIN, "the return is false\n");
        return ok;
    }
    Bufs b;
    send_spi_header(chain, job, lw);
    spi_padding(chain, b.rx + len, chip + 1);
    for (int i = 0; i < len + 2 * chip + 6; i++)
        if (b.rx[i]) {
            test_log(5, TL_PLAIN, "write job wrong,cmd07 should not send back data\n");
            return false;
        }
    return true;
}

int hub_cmd_auto_nonce(int chain, int on, int n) {
    if (!on) {
        Xil_SPI_Out32(uint32_t(chain) * 512 + BC_SPI_CMD, 0);
        clear_wait_st_idle(chain, 1000000);
        return 1;
    }
    wait_spi_idle(chain, 10000);
    const uint32_t base = uint32_t(chain) * 512;
    Xil_SPI_Out32(base + BC_SPI_HDR, 0x0008);
    Xil_SPI_Out32(base + BC_SPI_TX, 0);
    Xil_SPI_Out32(base + BC_SPI_TX + 4, 0);
    Xil_SPI_Out32(base + BC_SPI_TX + 8, Xil_SPI_In32(base + BC_SPI_TX + 8) & 0xFFFF0000u);
    Xil_SPI_Out32(base + BC_SPI_AUTO_INTERVAL, 1);
    Xil_SPI_Out32(base + BC_SPI_LEN, uint32_t(n) * 257 + 0x1FFFFFEu);
    Xil_SPI_Out32(base + BC_SPI_CMD, 0x304);
    return 1;
}

bool hub_cmd_read_nonce(int chain, uint8_t *buf, int n) {
    if (n < 3 || 2 * n > BC_SPI_RX_BYTES) {
        test_logf(5, TL_PLAIN, "%s: %d words not supported\n", __func__, n);
        return false;
    }
    uint8_t rx[BC_SPI_RX_BYTES];
    const uint32_t base = uint32_t(chain) * 512;
    for (int i = 0; i < 2 * n; i += 4) {
        const uint32_t v = Xil_SPI_In32(base + BC_SPI_RX + uint32_t(i));
        for (int k = 0; k < 4 && i + k < 2 * n; k++) rx[i + k] = uint8_t(v >> (8 * k));
    }
    Xil_SPI_Out32(base + BC_SPI_CMD, 0xB00);
    kos::sleep_us(1);
    if (rx[1] == 0) return false;
    if (!chip_frame_crc_ok(rx, 2 * (n - 2))) {
        test_logf(4, TL_PLAIN, "%s spi crc error !\n", __func__);
        return bad_reply(chain, 0, rx);
    }
    memcpy(buf, rx, size_t(2 * n));
    return true;
}
