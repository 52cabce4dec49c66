// Starts a direct-SPI platform as the mining program does, then talks to
// each chain found through the front functions and prints what came back.
// usage: kmx-spi-probe PLATFORM CHAIN_NUM CHIP_NUM
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s PLATFORM CHAIN_NUM CHIP_NUM\n", argv[0]);
        return 2;
    }
    sys_platform_debug_init(2);
    sys_platform_init(atoi(argv[1]), 0, atoi(argv[2]), atoi(argv[3]));
    printf("chains %d:", g_chain_num);
    for (int i = 0; i < g_chain_num; i++) printf(" %d", g_chain_id[i]);
    printf("\n");
    for (int i = 0; i < g_chain_num; i++) {
        const uint8_t c = uint8_t(g_chain_id[i]);
        uint8_t in[2] = {0, 0}, out[4] = {};
        const bool reset = kmx_cmd_reset(c, 0, in, out);
        const int chips = kmx_cmd_bist_start(c, 0);
        // Byte 11 holds the chip's good cores (32), which no write changes.
        uint8_t reg[12] = {0x02, 0x50, 0xA0, 0x06, 0x28, 0x00, 0x03, 0x01, 0xB6, 0x00, uint8_t(c), 0x20}, got[12] = {};
        const bool w = kmx_cmd_write_register(c, uint8_t(chips > 0 ? chips : 1), reg, 12);
        const bool r = kmx_cmd_read_register(c, uint8_t(chips > 0 ? chips : 1), got, 12);
        printf("chain %d: reset %s %02X %02X %02X %02X bist %d register %s\n", c, reset ? "ok" : "fail", out[0],
               out[1], out[2], out[3], chips, w && r && memcmp(reg, got, 12) == 0 ? "ok" : "fail");
    }
    fflush(stdout);
    return sys_platform_exit() ? 0 : 1;
}
