#include "orangepi/opi_cmd.h"

#include <cstring>

#include "drv/kmx_chip_frame_internal.h"
#include "module/kmx_log.h"
#include "orangepi/opi_link_internal.h"
#include "orangepi/opi_spi.h"
#include "os/os.h"

namespace {

#define ENTRY() kmx_logf(1, "%s,%d: %s \n", __FILE__, __LINE__, __func__)
#define FAIL(what, fn) kmx_logf(4, "%s,%d: %s " what " !\n", __FILE__, __LINE__, fn)

// Room in the frame for the wrapper, header, data and CRC.
constexpr int kMaxData = OPI_FRAME_LEN - 6;

[[noreturn]] void para_error(const char *fn, int line) {
    kmx_logf(5, "%s,%d: %s para error !\n", __FILE__, line, fn);
    kos::terminate(0);
}

bool len_ok(int len, const char *fn) {
    if (len >= 0 && len <= kMaxData && len % 2 == 0) return true;
    kmx_logf(5, "%s: data length %d not supported\n", fn, len);
    return false;
}

bool read_word(void *ctx, uint8_t word[2]) {
    return opi_spi_read_write(*static_cast<uint8_t *>(ctx), nullptr, word, 2);
}

bool send(uint8_t chain_id, const uint8_t *frame, int n, const char *fn) {
    uint8_t rx[OPI_FRAME_LEN];
    if (opi_spi_read_write(chain_id, frame, rx, n)) return true;
    kmx_logf(5, "send command fail !");
    FAIL("send fail", fn);
    return false;
}

// [A5 5A cmd chip data CRC]: the CRC covers the chip frame, not the wrapper.
bool send_sealed(uint8_t chain_id, uint8_t cmd, uint8_t chip_id, const uint8_t *data, int len, const char *fn) {
    uint8_t frame[OPI_FRAME_LEN] = {0xA5, 0x5A};
    return send(chain_id, frame, 2 + chip_frame_build_sealed(frame + 2, cmd, chip_id, data, len), fn);
}

// Short commands: [A5 5A cmd chip d0 d1], wrapped reply of 2 data bytes.
bool short_cmd(uint8_t chain_id, uint8_t cmd, uint8_t chip_id, const uint8_t *in, uint8_t reply[4],
               const char *fn) {
    static const uint8_t zero[2] = {0, 0};
    if (!opi_send_command(chain_id, cmd, chip_id, in ? in : zero, 2)) {
        FAIL("send fail", fn);
        return false;
    }
    if (!opi_poll_result(chain_id, cmd, chip_id, reply, 2)) {
        FAIL("poll fail", fn);
        return false;
    }
    return true;
}

// Replies without the wrapper, searched as on direct SPI; the caller's
// buffer is filled only once the CRC matched.
bool unwrapped(uint8_t chain_id, uint8_t code, int rule, uint8_t *frame, int len, const char *fn) {
    uint8_t chain = chain_id;
    if (!chip_reply_find(read_word, &chain, opi::poll_budget(), code, rule, frame) ||
        !chip_reply_read(read_word, &chain, frame + 2, len + 2)) {
        FAIL("poll fail", fn);
        return false;
    }
    if (!chip_frame_crc_ok(frame, len + 2)) {
        FAIL("crc fail", fn);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

bool init_opi_cmd(void) {
    opi_spi_init();
    return true;
}

bool exit_opi_cmd(void) {
    opi_spi_exit();
    return true;
}

bool opi_send_command(uint8_t chain_id, uint8_t cmd, uint8_t chip_id, const uint8_t *data, int len) {
    // A request without data (read register) may come without a buffer.
    if (len > 0 && !data) {
        kmx_logf(5, "%s,%s() %d: para erro! \n", __FILE__, __func__, __LINE__);
        kos::terminate(0);
    }
    if (len < 0 || 4 + len > OPI_FRAME_LEN) {
        kmx_logf(5, "%s: data length %d not supported\n", __func__, len);
        return false;
    }
    uint8_t frame[OPI_FRAME_LEN] = {0xA5, 0x5A};
    const int n = 2 + chip_frame_build(frame + 2, cmd, chip_id, data, len);
    uint8_t rx[OPI_FRAME_LEN];
    if (!opi_spi_read_write(chain_id, frame, rx, (n + 1) & ~1)) {
        kmx_logf(5, "send command fail !");
        return false;
    }
    return true;
}

bool opi_poll_result(uint8_t chain_id, uint8_t cmd, uint8_t chip_id, uint8_t *buf, int len) {
    (void)chip_id;  // the reply's chip id is not compared
    if (!buf || len < 0 || len + 2 > OPI_FRAME_LEN) return false;
    opi::Poll p{chain_id, opi::poll_budget()};
    uint8_t frame[OPI_FRAME_LEN];
    if (!opi::wrapped_prefix(p, 0xA5, 0x5A) || !p.next(frame) || (frame[0] & 0xF) != (cmd & 0xF)) return false;
    if (!opi::read_data(chain_id, frame + 2, (len + 1) & ~1)) return false;
    memcpy(buf, frame, size_t(len + 2));
    return true;
}

bool opi_cmd_reset(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out) {
    ENTRY();
    if (!in || !out) para_error(__func__, __LINE__);
    uint8_t reply[4];
    if (!short_cmd(chain_id, CHIP_CMD_RESET, chip_id, in, reply, __func__)) return false;
    memcpy(out, reply, 4);
    return true;
}

int opi_cmd_bist_start(uint8_t chain_id, uint8_t chip_id) {
    ENTRY();
    uint8_t reply[4];
    return short_cmd(chain_id, CHIP_CMD_BIST_START, chip_id, nullptr, reply, __func__) ? reply[3] : -1;
}

bool opi_cmd_bist_collect(uint8_t chain_id, uint8_t chip_id) {
    ENTRY();
    uint8_t reply[4];
    return short_cmd(chain_id, CHIP_CMD_BIST_COLLECT, chip_id, nullptr, reply, __func__);
}

bool opi_cmd_bist_fix(uint8_t chain_id, uint8_t chip_id) {
    ENTRY();
    uint8_t reply[4];
    return short_cmd(chain_id, CHIP_CMD_BIST_FIX, chip_id, nullptr, reply, __func__);
}

bool opi_cmd_write_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    ENTRY();
    if (!reg) para_error(__func__, __LINE__);
    if (!len_ok(len, __func__) || !send_sealed(chain_id, CHIP_CMD_WRITE_REG, chip_id, reg, len, __func__))
        return false;
    uint8_t reply[OPI_FRAME_LEN];
    if (!opi_poll_result(chain_id, CHIP_CMD_WRITE_REG, chip_id, reply, len)) {
        FAIL("poll fail", __func__);
        return false;
    }
    return true;
}

bool opi_cmd_read_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    ENTRY();
    if (!reg) para_error(__func__, __LINE__);
    if (!len_ok(len, __func__)) return false;
    if (!opi_send_command(chain_id, CHIP_CMD_READ_REG, chip_id, nullptr, 0)) {
        FAIL("send fail", __func__);
        return false;
    }
    uint8_t frame[OPI_FRAME_LEN];
    if (!unwrapped(chain_id, CHIP_CMD_READ_REG, CHIP_HDR_NIBBLE, frame, len, __func__)) return false;
    memcpy(reg, frame + 2, size_t(len));
    return true;
}

bool opi_cmd_read_write_reg0d(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out) {
    ENTRY();
    if (!in || !out) para_error(__func__, __LINE__);
    if (!len_ok(len, __func__) || !send_sealed(chain_id, CHIP_CMD_RW_REG0D, chip_id, in, len, __func__))
        return false;
    uint8_t frame[OPI_FRAME_LEN];
    if (!unwrapped(chain_id, CHIP_CMD_RW_REG0D, CHIP_HDR_NIBBLE, frame, len, __func__)) return false;
    memcpy(out, frame + 2, size_t(len));
    return true;
}

bool opi_cmd_read_result(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len) {
    ENTRY();
    if (!res) para_error(__func__, __LINE__);
    if (!len_ok(len, __func__)) return false;
    static const uint8_t zero[2] = {0, 0};
    if (!opi_send_command(chain_id, CHIP_CMD_READ_RESULT, chip_id, zero, 2)) {
        FAIL("send fail", __func__);
        return false;
    }
    uint8_t frame[OPI_FRAME_LEN];
    if (!unwrapped(chain_id, CHIP_CMD_READ_RESULT, CHIP_HDR_NIBBLE_ID, frame, len, __func__)) return false;
    memcpy(res, frame, size_t(len + 2));
    return true;
}

bool opi_cmd_write_job(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len) {
    kmx_logf(1, "%s,%d: %s(%d, %d, %p, %d)\n", __FILE__, __LINE__, __func__, chain_id, chip_id, (void *)job, len);
    if (!job) para_error(__func__, __LINE__);
    if (len <= 0 || len > OPI_FRAME_LEN) {
        kmx_logf(5, "%s: data length %d not supported\n", __func__, len);
        return false;
    }
    return send(chain_id, job, len, __func__);
}

}  // extern "C"
