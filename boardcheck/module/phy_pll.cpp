#include "module/phy_pll.h"

#include <cstdint>
#include <initializer_list>

#include "module/chip_features.h"
#include "module/bc_platform.h"
#include "module/test_log.h"
#include "module/ddr_phy.h"


namespace {

enum pll_kind { LC, RING };
enum extra : unsigned {
    X_NONE = 0,
    X_BANK_BIT = 1,  // PLL[0x528] bit 23 low around the channel bits
    X_WIDE = 2,  // LC: PLL[0x500] bits 25..24 := 2, PLL[0x501] bits 16..14 := 1
    X_NO_505 = 4,  // ring: PLL[0x505] not written
    X_LANES = 8,  // ring: the 0x510/0x520 and 0x516.. fields
    X_SLOW = 16,  // ring: PLL[0x505] bits 11..6 := 31
    X_CRLF = 32,  // the announcement starts with "\r\n"
    X_QUIET = 64,  // no announcement
};

struct pll_list {
    const char *name;
    pll_kind kind;
    int core_row;
    uint32_t word;  // PLL[0x502] for LC, PLL[0x501] for ring
    uint32_t vco;  // PLL[0x504]
    uint32_t rate10;  // LC: 10 x rate in GHz
    unsigned extra;
};

void pll_w(int chain, int chip, uint32_t r, uint32_t v) { reg0d_write(chain, chip, DDR_PLL_BASE + r, v); }
void pll_f(int chain, int chip, uint32_t r, int hi, int lo, uint32_t v)
{
    config_reg_bits(chain, chip, DDR_PLL_BASE + r, hi, lo, v);
}

void run_list(int chain, int chip, int keep, const pll_list &l)
{
    if (!(l.extra & X_QUIET))
        test_logf(2, TL_PLAIN, (l.extra & X_CRLF) ? "\r\nchain%d: chip%d %s()\n" : "chain%d: chip%d %s()\n", chain,
                chip, l.name);
    if (keep == 0)
        set_chip_pll_index(chain, chip, l.core_row);
    if (l.extra & X_BANK_BIT)
        pll_f(chain, chip, 0x528, 23, 23, 0);
    for (uint32_t ch : DDR_CHANNELS) {
        if (l.kind == LC)
            ddr_phy_write_field(chain, chip, ch, 0x500, 26, 26, 1);
        else
            ddr_phy_write_field(chain, chip, ch, 0x504, 27, 27, 1);
    }
    if (l.extra & X_BANK_BIT)
        pll_f(chain, chip, 0x528, 23, 23, 1);
    if (l.kind == LC) {
        pll_w(chain, chip, 0x500, 0x281078);
        pll_f(chain, chip, 0x500, 11, 0, l.rate10);
        pll_w(chain, chip, 0x501, 0x1128102);
        pll_w(chain, chip, 0x502, l.word);
        pll_w(chain, chip, 0x503, 0x8B9);
        pll_w(chain, chip, 0x504, l.vco);
        pll_w(chain, chip, 0x505, 0x7C0);
        pll_f(chain, chip, 0x528, 29, 27, 6);
        if (l.extra & X_WIDE) {
            pll_f(chain, chip, 0x500, 25, 24, 2);
            pll_f(chain, chip, 0x501, 16, 14, 1);
        }
        return;
    }
    pll_w(chain, chip, 0x500, 0x4281096);
    pll_w(chain, chip, 0x501, l.word);
    pll_w(chain, chip, 0x503, 0xC16);
    pll_w(chain, chip, 0x504, l.vco);
    if (!(l.extra & X_NO_505))
        pll_w(chain, chip, 0x505, 0x680);
    if (l.extra & X_LANES) {
        for (uint32_t r : {0x510u, 0x520u})
            pll_f(chain, chip, r, 3, 1, 2);
        for (uint32_t r : {0x516u, 0x518u, 0x526u, 0x528u})
            pll_f(chain, chip, r, 4, 2, 2);
    }
    if (l.extra & X_SLOW)
        pll_f(chain, chip, 0x505, 11, 6, 31);
}

const pll_list L15p5G{"config_phy_pll_15p5G", LC, 8, 0x7FFFFFFF, 0x28019281, 155, X_WIDE | X_QUIET};
const pll_list L15G{"config_phy_pll_15G", LC, 8, 0x3FFFFFFF, 0x28019281, 150, X_WIDE};
const pll_list L14G{"config_phy_pll_14G", LC, 7, 0x0FFFFFFF, 0x28019281, 140, X_WIDE};
const pll_list L13G{"config_phy_pll_13G", LC, 6, 0x01FFFFFF, 0x28019281, 130, X_BANK_BIT | X_CRLF};
const pll_list L12G{"config_phy_pll_12G", LC, 6, 0x001FFFFF, 0x28019281, 120, X_BANK_BIT};
const pll_list L12G_LC{"config_phy_pll_12G_LC", LC, 8, 0x007FFFFF, 0x28019281, 120, X_NONE};
const pll_list L11G{"config_phy_pll_11G", RING, 8, 0x1028182, 0x2001BA81, 0, X_NO_505};
const pll_list L10G{"config_phy_pll_10G", RING, 6, 0x1028182, 0x20019281, 0, X_CRLF};
const pll_list L9G{"config_phy_pll_9G", RING, 8, 0x1028182, 0x20016A81, 0, X_BANK_BIT};
const pll_list L8G{"config_phy_pll_8G", RING, 8, 0x1028182, 0x20014281, 0, X_BANK_BIT};
const pll_list L7G{"config_phy_pll_7G", RING, 8, 0x1028182, 0x20011A81, 0, X_LANES};
const pll_list L6G{"config_phy_pll_6G", RING, 7, 0x1028182, 0x2000F281, 0, X_LANES};
const pll_list L4G{"config_phy_pll_4G", RING, 5, 0x1028182, 0x2000A281, 0, X_NONE};
const pll_list L3G{"config_phy_pll_3G", RING, 5, 0x1028182, 0x20007A81, 0, X_CRLF};
const pll_list L2G{"config_phy_pll_2G", RING, 5, 0x102818E, 0x20014381, 0, X_SLOW};
const pll_list L1G{"config_phy_pll_1G", RING, 5, 0x102819E, 0x200143C1, 0, X_SLOW};
const pll_list L250M{"config_phy_pll_250M", RING, 5, 0x10281FE, 0x300143C1, 0, X_SLOW};

}  // namespace

void config_phy_pll_15p5G(int chain, int chip, int keep) { run_list(chain, chip, keep, L15p5G); }
void config_phy_pll_15G(int chain, int chip, int keep) { run_list(chain, chip, keep, L15G); }
void config_phy_pll_14G(int chain, int chip, int keep) { run_list(chain, chip, keep, L14G); }
void config_phy_pll_13G(int chain, int chip, int keep) { run_list(chain, chip, keep, L13G); }
void config_phy_pll_12G(int chain, int chip, int keep) { run_list(chain, chip, keep, L12G); }
void config_phy_pll_12G_LC(int chain, int chip, int keep) { run_list(chain, chip, keep, L12G_LC); }
void config_phy_pll_11G(int chain, int chip, int keep) { run_list(chain, chip, keep, L11G); }
void config_phy_pll_10G(int chain, int chip, int keep) { run_list(chain, chip, keep, L10G); }
void config_phy_pll_9G(int chain, int chip, int keep) { run_list(chain, chip, keep, L9G); }
void config_phy_pll_8G(int chain, int chip, int keep) { run_list(chain, chip, keep, L8G); }
void config_phy_pll_7G(int chain, int chip, int keep) { run_list(chain, chip, keep, L7G); }
void config_phy_pll_6G(int chain, int chip, int keep) { run_list(chain, chip, keep, L6G); }
void config_phy_pll_4G(int chain, int chip, int keep) { run_list(chain, chip, keep, L4G); }
void config_phy_pll_3G(int chain, int chip, int keep) { run_list(chain, chip, keep, L3G); }
void config_phy_pll_2G(int chain, int chip, int keep) { run_list(chain, chip, keep, L2G); }
void config_phy_pll_1G(int chain, int chip, int keep) { run_list(chain, chip, keep, L1G); }
void config_phy_pll_250M(int chain, int chip, int keep) { run_list(chain, chip, keep, L250M); }

void config_phy_pll_187p5M(int chain, int chip)
{
    test_logf(2, TL_PLAIN, "chain%d: chip%d %s()\n", chain, chip, "config_phy_pll_187p5M");
    pll_w(chain, chip, 0x500, 0x4281096);
    pll_w(chain, chip, 0x501, 0x1028182);
    pll_w(chain, chip, 0x503, 0xC16);
    pll_w(chain, chip, 0x504, 0x2801E381);
    pll_w(chain, chip, 0x504, 0x2001E381);
    pll_w(chain, chip, 0x505, 0x7C0);
}

int ddr_pll_lock_3g(int chain, int chip, int polls)
{
    for (int i = 0; i < polls; i++) {
        bool all = true;
        for (uint32_t ch : DDR_CHANNELS)
            if ((ddr_phy_read(chain, chip, ch, 0x35) & 0xFF) == 0)
                all = false;
        if (all) {
            test_logf(2, TL_PLAIN, "ddr pll locked\n");
            return 1;
        }
    }
    test_logf(5, TL_PLAIN, "ddr pll unlock\n");
    return 0;
}

int config_phy_pll_by_speed(int chain, int chip)
{
    const int idx = bc_chip_rec(chain, chip)->ddr_speed_index;
    static const pll_list *const lists[9] = {nullptr, &L3G, &L8G, &L10G, &L12G, &L13G, &L14G, &L15G, &L15p5G};
    if (idx < 1 || idx > 8)
        return 0;
    run_list(chain, chip, 0, *lists[idx]);
    int locked;
    if (idx == 1)
        locked = ddr_pll_lock_3g(chain, chip, 100);
    else if (idx <= 3)
        locked = ddr_pll_lock_b(chain, chip, 200);
    else
        locked = ddr_pll_lock_a(chain, chip, 200);
    if (idx <= 6)
        kmx_set_spi_speed(chain, idx == 1 ? 3 : 4);
    return locked;
}

