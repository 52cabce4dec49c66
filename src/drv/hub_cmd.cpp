#include "drv/hub_cmd.h"

#include <cstdio>
#include <cstring>

#include "drv/hub_spi.h"
#include "drv/kmx_chip_frame_internal.h"
#include "module/kmx_log.h"
#include "platform/kmx_platform.h"

namespace {

// Command and reply buffers belong to the call: chain threads run commands
// on different chains at the same time.
constexpr int kBuf = 2560;
struct Frames {
    uint8_t tx[kBuf];
    uint8_t rx[kBuf];
    Frames() {
        memset(tx, 0, sizeof tx);
        memset(rx, 0, sizeof rx);
    }
};

bool manual_chip() { return g_chip_type == 9 || g_chip_type == 169; }

// Data lengths are checked before any register is touched: odd lengths
// would put the CRC's low byte outside the received words, and longer ones
// do not fit the engine's buffers.
bool len_ok(int len, int max, const char *fn) {
    if (len >= 0 && len <= max && len % 2 == 0) return true;
    kmx_logf(5, "%s: data length %d not supported\n", fn, len);
    return false;
}

bool data_ok(const void *p, int len, const char *fn) {
    if (p || len == 0) return true;
    kmx_logf(5, "%s: no buffer\n", fn);
    return false;
}

// Sends [cmd, chip, data] and takes the reply; 0 on success.
int exchange(uint8_t chain, Frames &f, uint8_t cmd, uint8_t chip, const uint8_t *data, int len, uint32_t lw) {
    chip_frame_build(f.tx, cmd, chip, data, len);
    return do_spi_cmd(chain, f.tx, f.rx, lw);
}

bool simple(uint8_t chain, uint8_t cmd, uint8_t chip) {
    Frames f;
    return exchange(chain, f, cmd, chip, nullptr, 0, CHIP_LW_BIST) == 0;
}

bool write_reg_cmd(uint8_t chain, uint8_t cmd, uint8_t chip, const uint8_t *reg, int len, Frames &f, const char *fn) {
    if (!len_ok(len, HUB_CMD_MAX_REPLY_LEN, fn) || !data_ok(reg, len, fn)) return false;
    return exchange(chain, f, cmd, chip, reg, len, chip_lw_write(len)) == 0;
}

// Manual (word by word) job write of chip types 9/169.
bool manual_write_job(uint8_t chain, uint8_t chip_id, const uint8_t *job, int len) {
    Frames f;
    memcpy(f.tx, job, size_t(len));
    send_spi_header(chain, f.tx, f.rx, uint32_t(len / 2) << 24);
    spi_padding(chain, f.rx + len / 2, chip_id + 1);
    const int limit = len + 2 * chip_id + 6;
    for (int j = 0; j + 1 < limit && j + 1 < kBuf; j += 2)
        if (f.rx[j] || f.rx[j + 1]) printf("write job wrong,cmd07 should not send back data\n");
    return true;
}

bool manual_read_result(uint8_t chain, uint8_t chip_id, uint8_t *res, int len) {
    Frames f;
    f.tx[0] = CHIP_CMD_READ_RESULT;
    f.tx[1] = chip_id;
    send_spi_header(chain, f.tx, f.rx, 2u << 24);
    const int pad = chip_id == 0 ? len / 2 + 24 : len / 2 + 2 * chip_id - 1;
    if (4 + 2 * pad + len > kBuf) return false;
    spi_padding(chain, f.rx + 4, pad);
    int start = -1;
    for (int i = 0; i < pad; i++)
        if (f.rx[i]) {
            start = i;
            break;
        }
    if (start < 0) start = 0;
    memcpy(res, f.rx + start, size_t(len));
    if ((res[0] & 0xF) == CHIP_CMD_READ_RESULT) return res[1] != 0;
    printf("Get Wrong cmd08 header.\n");
    return false;
}

}  // namespace

extern "C" {

// The voltage-ID locks are statically initialised (never re-initialised
// while held); init only brings up the engines of the chains in use, by
// slot.
bool init_hub_cmd(int chain_num, int chip_num) {
    for (int i = 0; i < chain_num && i < HUB_SPI_CHAINS; i++) hub_spi_init(uint8_t(g_chain_id[i]), chip_num);
    return true;
}

// The command path keeps nothing of its own per chain: the register windows
// it uses belong to the hub and are released with it, so there is nothing
// to undo here.
bool exit_hub_cmd(int chain_num) {
    (void)chain_num;
    return true;
}

bool hub_cmd_reset_hub(uint8_t chain_id) {
    reset_hub(chain_id);
    return true;
}

static void send_clean(uint8_t chain_id) {
    Frames f;
    const uint8_t ff[2] = {0xFF, 0xFF};
    exchange(chain_id, f, CHIP_CMD_RESET, 0, ff, 2, CHIP_LW_CLEAN);
}

bool hub_cmd_clean_spi_chain(uint8_t chain_id) {
    send_clean(chain_id);
    reset_hub(chain_id);
    return true;
}

bool hub_spi_clean_chain(uint8_t spi_id) {
    send_clean(spi_id);
    hub_spi_reset(spi_id);
    return true;
}

bool hub_cmd_reset(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out) {
    kmx_logf(1, "%s,%d: %s \n", __FILE__, __LINE__, __func__);
    if (!in || !out) return false;
    Frames f;
    if (exchange(chain_id, f, CHIP_CMD_RESET, chip_id, in, 2, CHIP_LW_RESET)) return false;
    memcpy(out, f.rx, 4);
    return true;
}

int hub_cmd_bist_start(uint8_t chain_id, uint8_t chip_id) {
    kmx_logf(1, "%s,%d: %s \n", __FILE__, __LINE__, __func__);
    Frames f;
    if (exchange(chain_id, f, CHIP_CMD_BIST_START, chip_id, nullptr, 0, CHIP_LW_BIST)) return -1;
    return f.rx[3];
}

bool hub_cmd_bist_collect(uint8_t chain_id, uint8_t chip_id) { return simple(chain_id, CHIP_CMD_BIST_COLLECT, chip_id); }

bool hub_cmd_bist_fix(uint8_t chain_id, uint8_t chip_id) {
    kmx_logf(1, "%s,%d: %s \n", __FILE__, __LINE__, __func__);
    return simple(chain_id, CHIP_CMD_BIST_FIX, chip_id);
}

bool hub_cmd_write_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    Frames f;
    return write_reg_cmd(chain_id, CHIP_CMD_WRITE_REG, chip_id, reg, len, f, __func__);
}

bool hub_cmd_read_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    if (!len_ok(len, HUB_CMD_MAX_REPLY_LEN, __func__) || !data_ok(reg, len, __func__)) return false;
    Frames f;
    if (exchange(chain_id, f, CHIP_CMD_READ_REG, chip_id, nullptr, 0, chip_lw_read(len))) return false;
    if (!manual_chip() && !chip_frame_crc_ok(f.rx, len + 2)) {
        kmx_logf(5, "%s spi crc error !\n", __func__);
        return false;
    }
    memcpy(reg, f.rx + 2, size_t(len));
    return true;
}

bool hub_cmd_read_write_reg0d(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out) {
    Frames f;
    if (!data_ok(out, len, __func__) || !write_reg_cmd(chain_id, CHIP_CMD_RW_REG0D, chip_id, in, len, f, __func__))
        return false;
    if (!chip_frame_crc_ok(f.rx, len + 2)) {
        kmx_logf(5, "%s spi crc error!", __func__);
        return false;
    }
    memcpy(out, f.rx + 2, size_t(len));
    return true;
}

bool hub_cmd_write_job(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len) {
    if (len < 2 || !len_ok(len, HUB_CMD_MAX_JOB_LEN, __func__) || !data_ok(job, len, __func__)) return false;
    if (manual_chip()) return manual_write_job(chain_id, chip_id, job, len);
    // Copied first: the engine sends one word more than the frame.
    Frames f;
    memcpy(f.tx, job, size_t(len));
    return send_job_queue(chain_id, f.tx, f.rx, chip_lw_job(len), chip_id == 1) == 0;
}

bool hub_cmd_read_result(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len) {
    if (!len_ok(len, HUB_CMD_MAX_REPLY_LEN, __func__) || !res) return false;
    if (manual_chip()) return manual_read_result(chain_id, chip_id, res, len);
    Frames f;
    if (exchange(chain_id, f, CHIP_CMD_READ_RESULT, chip_id, nullptr, 0, chip_lw_read(len))) return false;
    if (f.rx[1] == 0) return false;  // no chip had a result
    if (!chip_frame_crc_ok(f.rx, len + 2)) {
        kmx_logf(5, "[chain%d] %s spi crc error !", chain_id, __func__);
        kmx_logf(5, "spi_rx len:%d ! crc: 0x%d", len, chip_frame_rx_crc(f.rx, len + 2));
        for (int i = 0; i < len + 4; i++) kmx_logf(5, "spi_rx[%d]: %x", i, f.rx[i]);
        return false;
    }
    memcpy(res, f.rx, size_t(len + 2));
    return true;
}

bool hub_cmd_auto_nonce(uint8_t chain_id, int mode, int len) {
    if (mode) {
        if (!len_ok(len, HUB_CMD_MAX_REPLY_LEN, __func__)) return false;
        enable_auto_nonce(chain_id, 0x0800, chip_lw_read(len));
    } else {
        disable_auto_nonce(chain_id);
    }
    return true;
}

// A reply is taken only when the engine holds all of its n + 2 words, so a
// reply still arriving is not read half and popped (and its nonce lost).
bool hub_cmd_read_nonce(uint8_t chain_id, uint8_t *res, int len) {
    if (!len_ok(len, HUB_CMD_MAX_REPLY_LEN, __func__) || !res) return false;
    if (!rece_queue_has_nonce(chain_id)) return false;
    if (!rece_queue_ready_check(chain_id, len / 2 + 2, 0)) return false;
    Frames f;
    if (read_nonce_buffer(chain_id, f.rx, chip_lw_read(len))) return false;
    if (!chip_frame_crc_ok(f.rx, len + 2)) {
        kmx_logf(5, "%s spi crc error !", __func__);
        return false;
    }
    memcpy(res, f.rx, size_t(len + 2));
    return true;
}

bool hub_cmd_write_reg05(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    kmx_logf(1, "%s,%d: %s \n", __FILE__, __LINE__, __func__);
    if (!len_ok(len, HUB_CMD_MAX_REPLY_LEN, __func__) || !data_ok(reg, len, __func__)) return false;
    Frames f;
    chip_frame_build(f.tx, CHIP_CMD_WRITE_REG05, chip_id, reg, len);
    if (g_log_level <= 3) {
        const uint8_t *t = f.tx;
        kmx_logf(3, "%x %x %x %x %x %x %x %x %x %x %x %x \n", 5, chip_id, t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9],
                 t[10], t[11]);
    }
    return do_spi_cmd(chain_id, f.tx, f.rx, chip_lw_write(len)) == 0;
}

bool hub_cmd_read_reg06(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out) {
    (void)out;  // the reply is only logged
    Frames f;
    for (int i = 0; i < 3; i++)
        if (!write_reg_cmd(chain_id, CHIP_CMD_READ_REG06, chip_id, in, len, f, __func__)) return false;
    if (g_log_level <= 3) {
        const uint8_t *r = f.rx;
        kmx_logf(3, "%x %x %x %x %x %x %x %x %x %x %x %x %x %x %x %x \n", r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7],
                 r[8], r[9], r[10], r[11], r[12], r[13], r[14], r[15]);
    }
    return true;
}

void print_data_hex(const char *label, const uint8_t *buf, int len) {
    printf("%s \n", label);
    for (int i = 0; i < len; i++) {
        printf("0x%02x ", buf[i]);
        if ((i + 1) % 16 == 0) printf("\n");
    }
    if (len % 16) printf("\n");
}

}  // extern "C"
