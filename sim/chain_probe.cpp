// Brings one chain up through the library's front functions and prints
// what the chips answered: power on, reset, BIST chip count, a register
// round trip, a job and its nonce, automatic nonce reading.
// usage: kmx-chain-probe PLATFORM CHAIN_NUM CHIP_NUM SLOT [LOG_LEVEL]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "drv/kmx_chip_frame_internal.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

void hex(const char *label, const uint8_t *p, int n) {
    printf("%s", label);
    for (int i = 0; i < n; i++) printf(" %02x", p[i]);
    printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s PLATFORM CHAIN_NUM CHIP_NUM SLOT [LOG_LEVEL]\n", argv[0]);
        return 2;
    }
    const int chip_num = atoi(argv[3]);
    const uint8_t c = uint8_t(atoi(argv[4]));
    g_cgminer_pid = getpid();
    sys_platform_debug_init(argc > 5 ? atoi(argv[5]) : 2);
    sys_platform_init(atoi(argv[1]), 0, atoi(argv[2]), chip_num);

    kmx_set_power_en(c, 1);
    kmx_set_reset(c, 0);
    kos::sleep_ms(10);
    kmx_set_reset(c, 1);
    kmx_set_start_en(c, 1);
    printf("chain %d: powered on\n", c);

    uint8_t out[4] = {};
    const bool reset_ok = kmx_cmd_resetall(c, 0, out);
    printf("chain %d: reset %s, chip type %d\n", c, reset_ok ? "ok" : "failed", out[0] >> 4);
    const int count = kmx_cmd_bist_start(c, 0);
    printf("chain %d: BIST chip count %d\n", c, count);

    uint8_t reg[12] = {0x02, 0x50, 0xA0, 0x06, 0x28, 0x00, 0x03, 0x01, 0x23, 0x00, 0x00, 0x20};
    uint8_t back[12] = {};
    const bool w = kmx_cmd_write_register(c, 1, reg, 12);
    const bool r = kmx_cmd_read_register(c, 1, back, 12);
    printf("chain %d: register write %s, read %s, round trip %s\n", c, w ? "ok" : "failed", r ? "ok" : "failed",
           r && memcmp(reg, back, 12) == 0 ? "same" : "differs");

    // The last chip the chain should have: missing on a short chain or
    // behind a silent chip.
    const bool lr = kmx_cmd_read_register(c, uint8_t(chip_num), back, 12);
    printf("chain %d: chip %d register read %s\n", c, chip_num, lr ? "ok" : "failed");

    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, 1};
    for (int i = 2; i < 158; i++) job[i] = uint8_t(i);
    chip_frame_seal(job, 158);
    const bool jw = kmx_cmd_write_job(c, 1, job, 160);
    uint8_t res[10] = {};
    const bool rr = kmx_cmd_read_result(c, 1, res, 8);
    printf("chain %d: job %s, result %s\n", c, jw ? "written" : "failed", rr ? "read" : "none");
    if (rr) hex("result:", res, 10);

    job[1] = 2;
    kmx_cmd_write_job(c, 2, job, 160);
    kmx_cmd_auto_nonce(c, 1, 8);
    bool got = false;
    for (int i = 0; i < 10 && !got; i++) got = kmx_cmd_read_nonce(c, res, 8);
    kmx_cmd_auto_nonce(c, 0, 8);
    printf("chain %d: auto nonce %s\n", c, got ? "read" : "none");
    if (got) hex("nonce:", res, 10);
    fflush(stdout);

    sys_platform_exit();
    return reset_ok && count > 0 ? 0 : 1;
}
