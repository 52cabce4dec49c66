#include "zynq/spi_cmd.h"

#include <cstring>

#include "drv/kmx_chip_frame_internal.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

const int spi_speed_table[6] = {390625, 781250, 1562500, 3125000, 6250000, 9960000};

namespace {

#define ENTRY() kmx_logf(1, "%s,%d: %s \n", __FILE__, __LINE__, __func__)

[[noreturn]] void para_error(const char *fn) {
    kmx_logf(5, "%s para error !\n", fn);
    kos::terminate(0);
}

// The chain's open link, or null (logged) when its slot has none: a command
// on such a chain fails instead of reaching descriptor 0.
ZYNQ_SPI_T *link(uint8_t chain_id, const char *fn) {
    if (chain_id < 8 && s_spi[chain_id].fd >= 0) return &s_spi[chain_id];
    kmx_logf(5, "%s: chain %d has no open spi device\n", fn, chain_id);
    return nullptr;
}

// Data lengths that fit the frame buffers and the 2-byte reply reads.
bool len_ok(int len, const char *fn) {
    if (len >= 0 && len <= SPI_CMD_MAX_DATA && len % 2 == 0) return true;
    kmx_logf(5, "%s: data length %d not supported\n", fn, len);
    return false;
}

bool read_word(void *ctx, uint8_t word[2]) {
    return zynq_spi_read(static_cast<ZYNQ_SPI_T *>(ctx), word, 2) > 0;
}

int budget() { return 4 * (g_chip_num > 0 ? g_chip_num : 0); }

bool find(ZYNQ_SPI_T *spi, uint8_t code, int rule, uint8_t *frame) {
    return chip_reply_find(read_word, spi, budget(), code, rule, frame);
}

void poll_fail(const char *fn, int line, bool detail) {
    kmx_logf(4, "%s poll fail !\n", fn);
    if (detail) kmx_logf(5, "%s,%d: poll fail !\n", __FILE__, line);
}

// The four-byte commands whose reply is a header and two bytes.
bool short_cmd(uint8_t chain_id, uint8_t cmd, uint8_t chip_id, const uint8_t in[2], uint8_t reply[4],
               const char *fn, int line) {
    ZYNQ_SPI_T *spi = link(chain_id, fn);
    if (!spi) return false;
    if (!spi_send_command(spi, cmd, chip_id, in, 2)) return false;
    if (!find(spi, cmd, CHIP_HDR_NIBBLE, reply)) {
        poll_fail(fn, line, true);
        return false;
    }
    return chip_reply_read(read_word, spi, reply + 2, 2);
}

// Header found: len data bytes and the CRC follow. The caller's buffer is
// filled only once the CRC matched.
bool read_checked(ZYNQ_SPI_T *spi, uint8_t *frame, int len, const char *fn) {
    if (!chip_reply_read(read_word, spi, frame + 2, len + 2)) return false;
    if (!chip_frame_crc_ok(frame, len + 2)) {
        kmx_logf(4, "%s crc error !\n", fn);
        return false;
    }
    return true;
}

// A reply with data and CRC: found (a miss logged unless quiet), read and
// checked into frame.
bool checked_reply(ZYNQ_SPI_T *spi, uint8_t code, int rule, uint8_t *frame, int len, const char *fn, bool quiet) {
    if (!find(spi, code, rule, frame)) {
        if (!quiet) poll_fail(fn, __LINE__, false);
        return false;
    }
    return read_checked(spi, frame, len, fn);
}

// 09 and 0D go out with their CRC.
void write_sealed(ZYNQ_SPI_T *spi, uint8_t code, uint8_t chip_id, const uint8_t *data, int len) {
    uint8_t frame[SPI_CMD_FRAME_LEN] = {};
    zynq_spi_write(spi, frame, chip_frame_build_sealed(frame, code, chip_id, data, len));
}

const uint8_t kZero[2] = {0, 0};

}  // namespace

extern "C" {

bool init_spi_cmd(int chain_num) {
    if (chain_num > KMX_MAX_CHAIN) chain_num = KMX_MAX_CHAIN;
    // Each chain's link is its slot's device: with boards in slots 0 and 2,
    // the second chain is /dev/spidev2.0.
    for (int i = 0; i < chain_num; i++) {
        const int slot = g_chain_id[i];
        if (slot < 0 || slot >= 8) continue;
        zynq_spi_exit(&s_spi[slot]);  // a second set-up reopens, it does not leak
        zynq_spi_init(&s_spi[slot], slot);
    }
    return true;
}

bool exit_spi_cmd(int chain_num) {
    if (chain_num > KMX_MAX_CHAIN) chain_num = KMX_MAX_CHAIN;
    for (int i = 0; i < chain_num; i++) {
        const int slot = g_chain_id[i];
        if (slot >= 0 && slot < 8) zynq_spi_exit(&s_spi[slot]);
    }
    return true;
}

bool spi_send_command(ZYNQ_SPI_T *spi, uint8_t cmd, uint8_t chip_id, const uint8_t *data, int len) {
    if (len > 0 && !data) {
        kmx_logf(5, "%s,%d: para error !\n", __FILE__, __LINE__);
        kos::terminate(0);
    }
    if (len < 0 || len > SPI_CMD_FRAME_LEN - 2) {
        kmx_logf(5, "%s: data length %d not supported\n", __func__, len);
        return false;
    }
    uint8_t frame[SPI_CMD_FRAME_LEN] = {};
    const int n = chip_frame_build(frame, cmd, chip_id, data, len);
    zynq_spi_write(spi, frame, (n + 1) & ~1);
    return true;
}

void spi_set_spi_speed(uint8_t chain_id, int index) {
    (void)chain_id;  // one fabric clock drives every chain
    if (index < 0 || index >= 6) {
        kmx_logf(5, "%s: speed index %d out of range\n", __func__, index);
        return;
    }
    zynq_set_spi_speed(spi_speed_table[index]);
}

bool spi_cmd_reset(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out) {
    ENTRY();
    if (!in || !out) para_error(__func__);
    uint8_t reply[4];
    if (!short_cmd(chain_id, CHIP_CMD_RESET, chip_id, in, reply, __func__, __LINE__)) return false;
    memcpy(out, reply, 4);
    return true;
}

int spi_cmd_bist_start(uint8_t chain_id, uint8_t chip_id) {
    ENTRY();
    uint8_t reply[4];
    if (!short_cmd(chain_id, CHIP_CMD_BIST_START, chip_id, kZero, reply, __func__, __LINE__)) return -1;
    return reply[3];
}

bool spi_cmd_bist_collect(uint8_t chain_id, uint8_t chip_id) {
    ENTRY();
    uint8_t reply[4];
    return short_cmd(chain_id, CHIP_CMD_BIST_COLLECT, chip_id, kZero, reply, __func__, __LINE__);
}

bool spi_cmd_bist_fix(uint8_t chain_id, uint8_t chip_id) {
    ENTRY();
    uint8_t reply[4];
    return short_cmd(chain_id, CHIP_CMD_BIST_FIX, chip_id, kZero, reply, __func__, __LINE__);
}

bool spi_cmd_write_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    ENTRY();
    if (!reg) para_error(__func__);
    ZYNQ_SPI_T *spi = link(chain_id, __func__);
    if (!spi || !len_ok(len, __func__)) return false;
    write_sealed(spi, CHIP_CMD_WRITE_REG, chip_id, reg, len);
    uint8_t frame[SPI_CMD_FRAME_LEN];
    if (!find(spi, CHIP_CMD_WRITE_REG, CHIP_HDR_NIBBLE, frame)) {
        poll_fail(__func__, __LINE__, true);
        return false;
    }
    // The reply's data is not used.
    return chip_reply_read(read_word, spi, frame + 2, len);
}

bool spi_cmd_read_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    ENTRY();
    if (!reg) para_error(__func__);
    ZYNQ_SPI_T *spi = link(chain_id, __func__);
    if (!spi || !len_ok(len, __func__)) return false;
    if (!spi_send_command(spi, CHIP_CMD_READ_REG, chip_id, nullptr, 0)) return false;
    uint8_t frame[SPI_CMD_FRAME_LEN];
    if (!checked_reply(spi, 0x10 | CHIP_CMD_READ_REG, CHIP_HDR_EXACT, frame, len, __func__, false)) return false;
    memcpy(reg, frame + 2, size_t(len));
    return true;
}

bool spi_cmd_read_write_reg0d(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out) {
    ENTRY();
    if (!in || !out) para_error(__func__);
    ZYNQ_SPI_T *spi = link(chain_id, __func__);
    if (!spi || !len_ok(len, __func__)) return false;
    write_sealed(spi, CHIP_CMD_RW_REG0D, chip_id, in, len);
    uint8_t frame[SPI_CMD_FRAME_LEN];
    if (!checked_reply(spi, CHIP_CMD_RW_REG0D, CHIP_HDR_NIBBLE, frame, len, __func__, false)) return false;
    memcpy(out, frame + 2, size_t(len));
    return true;
}

bool spi_cmd_read_result(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len) {
    ENTRY();
    if (!res) para_error(__func__);
    ZYNQ_SPI_T *spi = link(chain_id, __func__);
    if (!spi || !len_ok(len, __func__)) return false;
    if (!spi_send_command(spi, CHIP_CMD_READ_RESULT, chip_id, kZero, 2)) return false;
    uint8_t frame[SPI_CMD_FRAME_LEN];
    // No result waiting is the common case: no message.
    if (!checked_reply(spi, CHIP_CMD_READ_RESULT, CHIP_HDR_NIBBLE_ID, frame, len, __func__, true)) return false;
    memcpy(res, frame, size_t(len + 2));
    return true;
}

bool spi_cmd_write_job(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len) {
    kmx_logf(1, "%s,%d: %s(%d, %d, %p, %d)\n", __FILE__, __LINE__, __func__, chain_id, chip_id, (void *)job, len);
    if (!job) para_error(__func__);
    ZYNQ_SPI_T *spi = link(chain_id, __func__);
    if (!spi) return false;
    if (len <= 0 || len > SPI_CMD_FRAME_LEN) {
        kmx_logf(5, "%s: data length %d not supported\n", __func__, len);
        return false;
    }
    zynq_spi_write(spi, job, len);
    return true;
}

}  // extern "C"
