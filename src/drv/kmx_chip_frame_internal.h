/* The frame builders and reply checks every link that talks to the chips
 * shares (hub engine, direct SPI, the board test): the library's own, not
 * part of its installed interface. */
#ifndef KMX_CHIP_FRAME_INTERNAL_H
#define KMX_CHIP_FRAME_INTERNAL_H

#include "drv/kmx_chip_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

/* CRC of a frame: header and data (len bytes, even) with each byte pair
 * swapped. */
uint16_t chip_frame_crc(const uint8_t *frame, int len);
/* Store the frame CRC after len bytes, high byte first. */
void chip_frame_seal(uint8_t *frame, int len);
/* True when bytes len and len+1 hold the frame CRC of bytes 0..len-1. */
bool chip_frame_crc_ok(const uint8_t *frame, int len);
/* The CRC as received after len bytes. */
uint16_t chip_frame_rx_crc(const uint8_t *frame, int len);

/* Length words for `len` data bytes (n = len / 2). */
uint32_t chip_lw_write(int len); /* 0x09, 0x05, 0x06, 0x0D */
uint32_t chip_lw_read(int len);  /* 0x0A, 0x08, automatic result polling */
uint32_t chip_lw_job(int len);   /* 0x07, len = the whole frame */

/* [cmd, chip, data[0..len-1]] into frame; the rest of the frame (CRC words,
 * padding) is left as the caller zeroed it. Returns 2 + len. */
int chip_frame_build(uint8_t *frame, uint8_t cmd, uint8_t chip, const uint8_t *data, int len);

/* Reply byte 0 carries the code of the command sent in its low nibble. */
bool chip_frame_echo_ok(uint8_t sent0, uint8_t rx0);

/* [cmd, chip, data, CRC high, CRC low]: the frame with its CRC over the
 * first 2 + len bytes (len even). Returns 4 + len. */
int chip_frame_build_sealed(uint8_t *frame, uint8_t cmd, uint8_t chip, const uint8_t *data, int len);

/* Links that hand back a plain byte stream (direct SPI, the single-board
 * computer's unwrapped replies): the reply is found by testing each 2-byte
 * word as a possible header [code, chip id]. */
enum {
    CHIP_HDR_NIBBLE = 0,    /* low nibble of byte 0 = code */
    CHIP_HDR_EXACT = 1,     /* byte 0 = code, whole */
    CHIP_HDR_NIBBLE_ID = 2  /* low nibble = code and chip id not 0 */
};
bool chip_reply_header_ok(uint8_t code, int rule, const uint8_t hdr[2]);
/* The next two bytes of the stream; false: nothing came this time. */
typedef bool (*chip_word_reader)(void *ctx, uint8_t word[2]);
/* Reads words until one is accepted as the header, at most `budget` bytes
 * (a read that gave nothing counts too); the header lands in hdr. */
bool chip_reply_find(chip_word_reader rd, void *ctx, int budget, uint8_t code, int rule, uint8_t hdr[2]);
/* n more bytes (even) in 2-byte reads into buf; false when a read gave
 * nothing. */
bool chip_reply_read(chip_word_reader rd, void *ctx, uint8_t *buf, int n);

#ifdef __cplusplus
}
#endif

#endif
