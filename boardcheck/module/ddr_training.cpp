#include "module/ddr_training.h"

#include <cstdio>

#include "module/test_log.h"
#include "module/ddr_phy.h"
#include "os/os.h"


unsigned g_read_train_total;
unsigned g_write_train_total;

namespace {

constexpr uint32_t READ_CHECK = 0x03FF03FF;
constexpr uint32_t WRITE_CHECK = 0x03FF01FF;

bool done(uint32_t v) { return (v & 3) == 3; }

// One check cycle's four lane words against the expected pattern.
bool check_words_ok(int chain, int chip, uint32_t ch, uint32_t want)
{
    bool ok = true;
    for (uint32_t r : {0x17Fu, 0x27Fu, 0x37Fu, 0x47Fu})
        if (ddr_phy_read(chain, chip, ch, r) != want)
            ok = false;
    return ok;
}

// 31 check cycles: pulse the check bit, compare the four lane words.
unsigned failed_cycles(int chain, int chip, uint32_t ch, uint32_t reg, int bit, unsigned hold_us, uint32_t want)
{
    unsigned failed = 0;
    for (int i = 0; i < 31; i++) {
        ddr_phy_write_field(chain, chip, ch, reg, bit, bit, 1);
        if (hold_us)
            kos::sleep_us(hold_us);
        ddr_phy_write_field(chain, chip, ch, reg, bit, bit, 0);
        if (!check_words_ok(chain, chip, ch, want))
            failed++;
    }
    return failed;
}

// Polls a training's done pair with a wait line after every read; a
// timeout only logs.
void poll_done(int chain, int chip, uint32_t ch, uint32_t reg, unsigned sleep_us, const char *what)
{
    bool ok = false;
    for (int i = 0; i < 15 && !ok; i++) {
        ok = done(ddr_phy_read(chain, chip, ch, reg));
        test_logf(2, TL_PLAIN, "chain%d: chip%d [GDDRN]:Wait %s Train Done...\r\n", chain, chip, what);
        kos::sleep_us(sleep_us);
    }
    if (!ok)
        test_logf(4, TL_PLAIN, "chain%d: chip%d [GDDRN]:%s Train timeout.\r\n", chain, chip, what);
}

}  // namespace

int gddr_wck2ck_train(int chain, int chip, uint32_t ch)
{
    ddr_phy_write_field(chain, chip, ch, 3, 27, 16, 0x403);
    ddr_phy_write_field(chain, chip, ch, 0x2A, 11, 11, 0);
    ddr_phy_write_field(chain, chip, ch, 0x2B, 12, 12, 1);
    ddr_phy_write_field(chain, chip, ch, 4, 0, 0, 1);
    for (int i = 0; i < 255; i++) {
        uint32_t v = ddr_phy_read(chain, chip, ch, 0x30);
        test_logf(2, TL_PLAIN, "chain%d: chip%d [GDDRN]:WCK2CK TRAIN RESULT = 0x%0x\r\n", chain, chip, v);
        test_logf(2, TL_PLAIN, "chain%d: chip%d [GDDRN]:wait wck2ck training done...\r\n", chain, chip);
        kos::sleep_us(10);
        if (done(v)) {
            ddr_phy_write_field(chain, chip, ch, 4, 0, 0, 0);
            kos::sleep_us(10);
            ddr_phy_write_field(chain, chip, ch, 0x2B, 12, 12, 0);
            kos::sleep_us(10);
            return 1;
        }
    }
    return 0;
}

void gddr_ldff_train(int chain, int chip, uint32_t ch)
{
    ddr_phy_write_field(chain, chip, ch, 0x2A, 11, 11, 0);
    ddr_phy_write_field(chain, chip, ch, 0x2B, 12, 12, 1);
    ddr_phy_write_field(chain, chip, ch, 2, 0, 0, 1);
    bool ok = false;
    for (int i = 0; i < 255 && !ok; i++) {
        ok = done(ddr_phy_read(chain, chip, ch, 0x32));
        if (!ok)
            kos::sleep_us(100);
    }
    if (!ok)
        test_logf(4, TL_PLAIN, "chain%d: chip%d [GDDRN]:LDFF training timeout.\r\n", chain, chip);
    kos::sleep_ms(1);
    ddr_phy_write_field(chain, chip, ch, 2, 0, 0, 0);
    ddr_phy_write_field(chain, chip, ch, 2, 0, 0, 1);
    ddr_phy_write_field(chain, chip, ch, 2, 0, 0, 0);
    ddr_phy_write_field(chain, chip, ch, 0x2B, 12, 12, 0);
}

unsigned gddr_read_train(int chain, int chip, uint32_t ch)
{
    auto lanes = [&](uint32_t r, int hi, int lo, uint32_t v) {
        ddr_phy_lanes_write_field(chain, chip, ch, r, hi, lo, v);
    };
    auto phy = [&](uint32_t r, int hi, int lo, uint32_t v) { ddr_phy_write_field(chain, chip, ch, r, hi, lo, v); };

    for (uint32_t r = 0x135; r <= 0x147; r += 2)
        lanes(r, 1, 1, 0);
    for (uint32_t pair : {0u, 2u})
        for (uint32_t r = 0x135; r <= 0x147; r += 2)
            for (uint32_t g = pair; g < pair + 2; g++) {
                phy(r + g * DDR_LANE_STRIDE, 14, 8, 32);
                phy(r + g * DDR_LANE_STRIDE, 22, 16, 96);
                phy(r + g * DDR_LANE_STRIDE, 0, 0, 1);
            }
    for (uint32_t r = 0x121; r <= 0x133; r += 2)
        lanes(r, 25, 25, 1);
    for (uint32_t r = 0x121; r <= 0x133; r += 2)
        lanes(r, 25, 25, 0);
    phy(0x2A, 11, 11, 0);
    phy(0x2B, 12, 12, 1);
    for (uint32_t r = 0x120; r <= 0x132; r += 2)
        lanes(r, 1, 1, 1);
    lanes(0x116, 17, 17, 1);
    for (uint32_t r = 0x121; r <= 0x133; r += 2) {
        lanes(r, 12, 0, 96);
        lanes(r - 1, 3, 2, 1);
    }
    lanes(0x116, 12, 0, 96);
    lanes(0x116, 19, 18, 1);
    kos::sleep_ms(1);
    for (uint32_t r = 0x120; r <= 0x132; r += 2)
        lanes(r, 3, 2, 0);
    lanes(0x116, 19, 18, 0);
    for (uint32_t r = 0x120; r <= 0x132; r += 2)
        lanes(r, 1, 1, 0);
    lanes(0x116, 17, 17, 0);

    phy(8, 0, 0, 1);
    poll_done(chain, chip, ch, 0x33, 100, "Read");
    test_logf(2, TL_PLAIN, "chain%d: chip%d [GDDRN]:Read Train result.\r\n", chain, chip);
    for (uint32_t r : {0x17Fu, 0x15Du, 0x15Eu})
        ddr_phy_read(chain, chip, ch, r);

    phy(8, 0, 0, 0);
    phy(8, 0, 0, 1);
    phy(0x2A, 10, 10, 1);
    const unsigned failed = failed_cycles(chain, chip, ch, 0x2A, 8, 20, READ_CHECK);
    g_read_train_total += failed;
    test_logf(2, TL_PLAIN, "chain%d: chip%d [GDDRN]: Check result = 0x%0x, 0x%0x\r\n", chain, chip, failed,
            g_read_train_total);
    phy(0x2A, 10, 10, 0);
    kos::sleep_ms(1);
    phy(8, 0, 0, 0);
    phy(0x2B, 12, 12, 0);
    if (failed > 30)
        test_logf(4, TL_PLAIN, "chain%d: chip%d DDR %s Side Read training fail!\r\n", chain, chip,
                ddr_side_name(ch));
    return g_read_train_total;
}

unsigned gddr_write_train(int chain, int chip, uint32_t ch)
{
    auto phy = [&](uint32_t r, int hi, int lo, uint32_t v) { ddr_phy_write_field(chain, chip, ch, r, hi, lo, v); };
    phy(0x2A, 11, 11, 1);
    phy(0x2B, 12, 12, 1);
    kos::sleep_ms(1);
    phy(9, 0, 0, 1);
    poll_done(chain, chip, ch, 0x34, 1000, "Write");
    test_logf(2, TL_PLAIN, "chain%d: chip%d [GDDRN]:write training done.\r\n", chain, chip);
    phy(9, 0, 0, 0);
    phy(9, 1, 1, 1);
    phy(9, 0, 0, 1);
    const unsigned failed = failed_cycles(chain, chip, ch, 9, 2, 0, WRITE_CHECK);
    g_write_train_total += failed;
    if (failed > 30)
        test_logf(4, TL_PLAIN, "chain%d: chip%d DDR %s Side Write training fail!\r\n", chain, chip,
                ddr_side_name(ch));
    test_logf(2, TL_PLAIN, "chain%d: chip%d [GDDRN]: Check result = 0x%0x  0x%0x\r\n", chain, chip, failed,
            g_write_train_total);
    phy(9, 1, 1, 0);
    kos::sleep_us(10);
    phy(9, 0, 0, 0);
    phy(0x2B, 12, 12, 0);
    phy(0, 7, 7, 1);
    phy(0, 6, 6, 1);
    return g_write_train_total;
}

void gddr_ca_train(int chain, int chip, uint32_t ch)
{
    auto phy = [&](uint32_t r, int hi, int lo, uint32_t v) { ddr_phy_write_field(chain, chip, ch, r, hi, lo, v); };
    for (uint32_t base : {0x41u, 0xA1u})
        for (uint32_t r = base; r <= base + 0x14; r += 2) {
            phy(r, 20, 16, 16);
            phy(r, 23, 21, 7);
        }
    for (int v : {1, 0})
        for (uint32_t r = 0x43; r <= 0x55; r += 2)
            for (uint32_t x : {r, r + 0x60})
                phy(x, 24, 24, uint32_t(v));
    for (uint32_t base : {0x40u, 0xA0u})
        for (uint32_t r = base; r <= base + 0x14; r += 2)
            phy(r, 27, 4, 0x14F14F);
    phy(5, 0, 0, 1);
    bool ok = false;
    for (int i = 0; i < 255 && !ok; i++) {
        ok = done(ddr_phy_read(chain, chip, ch, 0x31));
        if (!ok)
            kos::sleep_ms(1);
    }
    if (!ok) {
        printf("[GDDRN]:CA Train Fail.\r");
        fflush(stdout);
    }
    phy(5, 0, 0, 0);
    ddr_ctl_cfg_write_field(chain, chip, ch, 12, 28, 28, 0);
}

