// The VID encodings the library shares with its board tests.
#pragma once

#include <stdint.h>

#include "hub/kmx_vid.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Shared with the board tests: the 5-byte UART frame, and the waveform
 * sequences {seq0, seq1, seq2} of a VID. */
void build_uart_vid_frame(uint8_t code, uint8_t frame[5]);
void encode_vid_waveform(int vid, uint32_t seq[3]);

#ifdef __cplusplus
}
#endif
