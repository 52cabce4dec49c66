#include "drv/kmx_chip_frame_internal.h"

#include <cstring>

namespace {
// CRC-16/MODBUS nibble table (reflected 0xA001).
constexpr uint16_t kNibble[16] = {0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00, 0x2800, 0xE401,
                                  0xA001, 0x6C00, 0x7800, 0xB401, 0x5000, 0x9C01, 0x8801, 0x4400};

constexpr uint16_t nibble_step(uint16_t crc, uint8_t b) {
    const uint16_t t = kNibble[(crc ^ b) & 0xF];
    return uint16_t(kNibble[((b >> 4) ^ t ^ (crc >> 4)) & 0xF] ^ (crc >> 8) ^ (t >> 4));
}

// Byte tables derived at compile time from the nibble step: kSlice[0] is the
// plain byte-at-a-time table, kSlice[k] advances a byte k further, so eight
// bytes are folded with eight independent look-ups (slicing by 8).
struct Slices {
    uint16_t t[8][256];
};
constexpr Slices make_slices() {
    Slices s{};
    for (int b = 0; b < 256; b++) s.t[0][b] = nibble_step(0, uint8_t(b));
    for (int k = 1; k < 8; k++)
        for (int b = 0; b < 256; b++) s.t[k][b] = uint16_t(s.t[k - 1][b] >> 8 ^ s.t[0][s.t[k - 1][b] & 0xFF]);
    return s;
}
constexpr Slices kSlice = make_slices();
static_assert(kSlice.t[0][0x31] == nibble_step(0, 0x31));

inline uint16_t crc_step(uint16_t crc, uint8_t b) { return uint16_t(crc >> 8 ^ kSlice.t[0][(crc ^ b) & 0xFF]); }
}  // namespace

extern "C" {

uint16_t CRC16_2(const uint8_t *buf, int len) {
    uint16_t crc = 0xFFFF;
    int i = 0;
    for (; i + 8 <= len; i += 8) {
        const uint8_t *p = buf + i;
        crc = uint16_t(kSlice.t[7][(p[0] ^ crc) & 0xFF] ^ kSlice.t[6][(p[1] ^ crc >> 8) & 0xFF] ^ kSlice.t[5][p[2]] ^
                       kSlice.t[4][p[3]] ^ kSlice.t[3][p[4]] ^ kSlice.t[2][p[5]] ^ kSlice.t[1][p[6]] ^
                       kSlice.t[0][p[7]]);
    }
    for (; i < len; i++) crc = crc_step(crc, buf[i]);
    return crc;
}

uint16_t chip_frame_crc(const uint8_t *frame, int len) {
    // The pairs are fed swapped straight from the frame: no scratch copy.
    uint16_t crc = 0xFFFF;
    int i = 0;
    for (; i + 1 < len; i += 2) {
        crc = crc_step(crc, frame[i + 1]);
        crc = crc_step(crc, frame[i]);
    }
    if (i < len) crc = crc_step(crc, frame[i]);
    return crc;
}

void chip_frame_seal(uint8_t *frame, int len) {
    const uint16_t crc = chip_frame_crc(frame, len);
    frame[len] = uint8_t(crc >> 8);
    frame[len + 1] = uint8_t(crc);
}

uint16_t chip_frame_rx_crc(const uint8_t *frame, int len) { return uint16_t(frame[len] << 8 | frame[len + 1]); }

bool chip_frame_crc_ok(const uint8_t *frame, int len) { return chip_frame_crc(frame, len) == chip_frame_rx_crc(frame, len); }

uint32_t chip_lw_write(int len) {
    const uint32_t n = uint32_t(len / 2);
    return (n + 3) << 24 | (n + 1) << 16 | (n + 2) << 8 | (n + 1);
}

uint32_t chip_lw_read(int len) {
    const uint32_t n = uint32_t(len / 2);
    return 0x02000000u | (n + 2) << 8 | (n + 1);
}

uint32_t chip_lw_job(int len) {
    const uint32_t n = uint32_t(len / 2);
    return (n + 1) << 24 | ((n - 1) & 0xFF) << 16;
}

int chip_frame_build(uint8_t *frame, uint8_t cmd, uint8_t chip, const uint8_t *data, int len) {
    frame[0] = cmd;
    frame[1] = chip;
    if (len > 0 && data) memcpy(frame + 2, data, size_t(len));
    return 2 + len;
}

bool chip_frame_echo_ok(uint8_t sent0, uint8_t rx0) { return ((sent0 ^ rx0) & 0xF) == 0; }

int chip_frame_build_sealed(uint8_t *frame, uint8_t cmd, uint8_t chip, const uint8_t *data, int len) {
    const int n = chip_frame_build(frame, cmd, chip, data, len);
    chip_frame_seal(frame, n);
    return n + 2;
}

bool chip_reply_header_ok(uint8_t code, int rule, const uint8_t hdr[2]) {
    switch (rule) {
    case CHIP_HDR_EXACT: return hdr[0] == code;
    case CHIP_HDR_NIBBLE_ID: return (hdr[0] & 0xF) == (code & 0xF) && hdr[1] != 0;
    default: return (hdr[0] & 0xF) == (code & 0xF);
    }
}

bool chip_reply_find(chip_word_reader rd, void *ctx, int budget, uint8_t code, int rule, uint8_t hdr[2]) {
    for (int got = 0; got + 2 <= budget; got += 2) {
        if (rd(ctx, hdr) && chip_reply_header_ok(code, rule, hdr)) return true;
    }
    return false;
}

bool chip_reply_read(chip_word_reader rd, void *ctx, uint8_t *buf, int n) {
    for (int i = 0; i + 1 < n; i += 2)
        if (!rd(ctx, buf + i)) return false;
    return true;
}

}  // extern "C"
