#include "drv/kmx_chip_frame.h"

#include <cstring>

namespace {
constexpr uint16_t kNibble[16] = {0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00, 0x2800, 0xE401,
                                  0xA001, 0x6C00, 0x7800, 0xB401, 0x5000, 0x9C01, 0x8801, 0x4400};

inline uint16_t crc_step(uint16_t crc, uint8_t b) {
    const uint16_t t = kNibble[(crc ^ b) & 0xF];
    return uint16_t(kNibble[((b >> 4) ^ t ^ (crc >> 4)) & 0xF] ^ (crc >> 8) ^ (t >> 4));
}
}  // namespace

extern "C" {

uint16_t CRC16_2(const uint8_t *buf, int len) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < len; i++) crc = crc_step(crc, buf[i]);
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

}  // extern "C"
