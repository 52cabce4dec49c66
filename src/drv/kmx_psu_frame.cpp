#include "drv/kmx_psu_frame.h"

extern "C" {

int kmx_psu_build_frame(uint8_t cmd, const uint8_t *payload, int n, uint8_t *out) {
    out[0] = 0x00;
    out[1] = 0xAB;
    out[2] = 0x00;
    out[3] = cmd;
    out[4] = 0x00;
    out[5] = uint8_t(n);
    unsigned sum = out[2] + out[3] + out[4] + out[5];
    for (int i = 0; i < n; i++) {
        out[6 + i] = payload[i];
        sum += payload[i];
    }
    out[6 + n] = uint8_t(sum);
    out[7 + n] = 0xCD;
    return n + 8;
}

int kmx_psu_check_reply(const uint8_t *r, int len) {
    if (len < 4 || r[1] != 0xAB || r[len - 1] != 0xCD) return -1;
    unsigned sum = 0;
    for (int i = 2; i <= len - 3; i++) sum += r[i];
    return r[len - 2] == uint8_t(sum) ? 0 : -2;
}

}  // extern "C"
