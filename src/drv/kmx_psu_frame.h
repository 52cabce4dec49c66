/* Power-supply frames on I2C, shared by the library and the board test. */
#ifndef KMX_PSU_FRAME_H
#define KMX_PSU_FRAME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A request is n + 8 bytes: 00 AB 00 cmd 00 n payload.. checksum CD, the
 * checksum being the 8-bit sum of bytes 2 .. 5+n. Returns the frame length. */
int kmx_psu_build_frame(uint8_t cmd, const uint8_t *payload, int n, uint8_t *out);
/* 0 for a valid reply of len bytes, -1 for a bad start or end byte, -2 for
 * a bad checksum. */
int kmx_psu_check_reply(const uint8_t *reply, int len);

#ifdef __cplusplus
}
#endif

#endif
