// The chips' built-in self-test during bring-up, the per-chip core count,
// the IO drive strength of chip type 5 and two register-0x0d dumps.
#include <algorithm>
#include <cstring>

#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tvsensor.h"
#include "os/os.h"
#include "platform/kmx_platform.h"


namespace {

bool chain_ok(int chain) { return chain >= 0 && chain < KMX_MAX_CHAIN; }
bool manual_type() { return g_chip_type == 9 || g_chip_type == 169; }

void preheat_values(int *target, int *time_out) {
    const int st = g_miner_subtype;
    *target = 50, *time_out = 360;
    if (st == 16 || st == 32 || st == 64 || st == 66)
        *target = 60;
    else if (st == 67 || (KMX_LIB_REV >= 3 && st == 69))
        *target = 57;
    else if (st == 65 || st == 68)
        *target = 62, *time_out = 240;
}

bool bist_failed(uint8_t chain, const char *step) {
    kmx_logf(5, "chain%d: %s failed", chain, step);
    kmx_set_errcode(ERRCODE_BIST_FAIL, nullptr, false, chain, nullptr, 0);
    kmx_logf(5, "chain%d: failed in kmx_chain_init(), SHUTDOWN", chain);
    misc_check_power_supply(chain);
    return false;
}

// Up to five tries one second apart (no wait after the last).
bool send_0d(int chain, int chip, uint8_t *img) {
    for (int t = 0; t < 5; t++) {
        if (t) kos::sleep_s(1);
        uint8_t reply[12] = {};
        if (kmx_cmd_read_write_reg0d(uint8_t(chain), uint8_t(chip), img, 12, reply)) return true;
    }
    return false;
}

void enhance_io(int chain, int chip, bool clk) {
    if (!chain_ok(chain)) return;
    uint8_t img[12] = {};
    memcpy(img, reg0d[chain], 8);
    img[2] = 0x80;
    img[8] = 0x80;
    img[9] = 0x00;
    img[10] = clk ? 0xF9 : 0xFF;
    img[11] = 0xA9;
    const char *what = clk ? "enhanced all chip clk io" : "enhanced chip1 spi io";
    if (!send_0d(chain, clk ? 0 : chip, img)) {
        kmx_logf(5, "%s failed !", what);
        return;
    }
    kmx_logf(3, "%s success ", what);
    img[8] = 0x00;
    if (!send_0d(chain, clk ? 0 : chip, img)) kmx_logf(5, "disable io driver fail !");
}

}  // namespace

extern "C" bool kmx_chain_init(uint8_t chain_id, bool use_bistmask) {
    if (!chain_ok(chain_id)) return false;
    if (g_chip_type == 5) {
        int target, time_out;
        preheat_values(&target, &time_out);
        kmx_logf(5, "chain%d: time:(%ds) temp(%d)", chain_id, time_out, target);
        kmx_chain_preheat(chain_id, target, unsigned(time_out));
    }
    uint8_t reply[4] = {};
    if (!kmx_cmd_resetbist(chain_id, 0, reply)) return bist_failed(chain_id, "RESETBIST");
    kos::sleep_s(1);
    if (use_bistmask) {
        kmx_logf(3, "chain%d: enable BISTMASK", chain_id);
        uint8_t img[12] = {};
        // A failed read must not broadcast a made-up image to every chip.
        if (!kmx_cmd_read_register(chain_id, 1, img, 12)) {
            kmx_logf(5, "chain%d: failed to read chip1 register, BISTMASK not set", chain_id);
        } else {
            img[7] |= 0x10;
            if (!kmx_cmd_write_register(chain_id, 0, img, 12))
                kmx_logf(5, "chain%d: failed to write BISTMASK", chain_id);
            kos::sleep_us(200);
        }
    }
    kmx_logf(3, "chain%d: BISTSTART", chain_id);
    // Every chip already has its address: anything but 0 is a failure.
    if (kmx_cmd_bist_start(chain_id, 0) != 0) return bist_failed(chain_id, "BISTSTART");
    kos::sleep_ms(10);
    if (!manual_type()) {
        kmx_logf(3, "chain%d: BISTCOLLECT", chain_id);
        if (!kmx_cmd_bist_collect(chain_id, 0)) return bist_failed(chain_id, "BISTCOLLECT");
        kos::sleep_ms(10);
        kmx_logf(3, "chain%d: BISTFIX", chain_id);
        if (!kmx_cmd_bist_fix(chain_id, 0)) return bist_failed(chain_id, "BISTFIX");
        kos::sleep_us(200);
    }
    kmx_set_led(chain_id, 0);
    return true;
}

extern "C" bool kmx_chain_get_chip_cores(uint8_t chain_id, int chip_num, int *cores) {
    if (!chain_ok(chain_id) || !cores) return false;
    // The caller's buffer holds the chain's chips, never more than 168.
    const int n = std::min({chip_num, g_chip_num, KMX_MAX_CHIP});
    for (int i = 1; i <= n; i++) {
        uint8_t img[12] = {};
        if (!kmx_cmd_read_register(chain_id, uint8_t(i), img, 12)) {
            kmx_logf(5, "chain%d: failed to get number of cores for chip%d, SHUTDOWN", chain_id, i);
            cores[i - 1] = 0;
            if (manual_type() || g_chip_type == 10) continue;
            return false;
        }
        kos::sleep_ms(2);
        const int c = manual_type() ? (img[11] & 0x3F) : img[11];
        cores[i - 1] = c;
        if (c > g_core_num) g_core_num = c;
    }
    return true;
}

extern "C" void kmx_enhance_clk_io(int chain_id, int chip_id) {
    (void)chip_id;
    enhance_io(chain_id, 0, true);
}

extern "C" void kmx_enhance_spi_io(int chain_id, int chip_id) { enhance_io(chain_id, chip_id, false); }

extern "C" void read_io(int cid, uint8_t chip_id) {
    if (!chain_ok(cid)) return;
    uint8_t img[12] = {0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0x05, 0, 0};
    uint8_t reply[12] = {};
    if (!kmx_cmd_read_write_reg0d(uint8_t(cid), chip_id, img, 12, reply)) kmx_logf(3, "Write 0d Failed!");
    if (g_chip_type == 5) kmx_logf(3, "IO status: %x", (reply[10] << 8) | reply[11]);
}

extern "C" void read_ver(int cid, uint8_t chip_id) {
    if (!chain_ok(cid)) return;
    uint8_t img[12] = {0, 0, 0x80, 0, 0, 0x3E, 0x02, 0, 0, 0x04, 0, 0};
    uint8_t reply[12] = {};  // logged even after a failed exchange
    if (!kmx_cmd_read_write_reg0d(uint8_t(cid), chip_id, img, 12, reply)) kmx_logf(3, "Write 0d Failed!");
    for (int i = 0; i < 12; i++) kmx_logf(3, "readbuf[%d]:0x%x ", i, reply[i]);
}
