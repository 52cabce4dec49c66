#include "module/chip_reg.h"

#include "module/chip_features.h"


void parse_cfg_reg(int chain, const uint8_t b[12], cfg_fields *f, unsigned type)
{
    const unsigned m = bc_chain_rec(chain)->feat.clk_mult;
    const bool t13 = type == 13, t12 = type == 12, t38 = type == 3 || type == 8;
    f->pre_div = t13 ? (b[0] & 0x3F) : ((b[0] >> 1) & 0x1F);
    f->fb_div = t13 ? uint16_t(b[1] + 256 * (b[2] >> 4)) : uint16_t(b[1] + 256 * (b[0] & 1));
    if (t13)
        f->post_div = b[2] & 0x7;
    else if (t12 || type == 5 || type == 6 || type == 7 || type == 10 || type == 14 || type == 15)
        f->post_div = (b[3] >> 4) & 0x7;
    else
        f->post_div = (b[3] >> 6) & 0x3;
    unsigned s = f->post_div;
    if (t13 && s > 3)
        s -= 2;
    const unsigned den = unsigned(f->pre_div) << s;
    f->pll_freq = den ? uint16_t(unsigned(f->fb_div) * m / den) : 0;
    f->half_freq = uint16_t(f->pll_freq / 2);
    if (t13)
        f->cores = b[11] & 0x7F;
    else if (t12)
        f->cores = b[11] & 0x3F;
    else if (t38)
        f->cores = uint16_t(__builtin_popcount(b[11]));
    else
        f->cores = b[11];
    if (t13 || t12) {
        f->flag_b11_7 = b[11] >> 7;
        f->flag_b9_0 = b[9] & 1;
        f->flag_b9_1 = (b[9] >> 1) & 1;
    }
    f->pll_lock = t13 ? ((b[3] >> 1) & 1) : (b[2] & 1);
    f->sensor = t38 ? 0 : uint16_t(b[8] + 256 * (b[7] & 3));
    if (t13) {
        f->nibble_lo = b[10] & 0xF;
        f->nibble_hi = b[10] >> 4;
    }
}

void parse_reg0d(int chain, const uint8_t r[12], reg0d_fields *f, unsigned type)
{
    (void)chain;
    f->aux_pll_lock = (type == 8 || type == 12 || type == 13) ? 0 : (r[2] & 1);
    f->osc = type == 13 ? 0 : r[7];
    f->sensor = type == 8 ? uint16_t(r[3] + 256 * (r[2] & 3)) : 0;
    f->divider = r[5];
    f->identity = uint16_t(r[10] * 256 + r[11]);
}

