#include "module/ddr_phy.h"

#include "module/chip_features.h"


const char *ddr_side_name(uint32_t ch)
{
    switch (ch) {
    case DDR_CH_AB: return "AB";
    case DDR_CH_CD: return "CD";
    case DDR_CH_EF: return "EF";
    case DDR_CH_GH: return "GH";
    default: return "??";
    }
}

void ddr_phy_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v)
{
    config_reg_bits(chain, chip, DDR_PHY_BASE | ch | reg, hi, lo, v);
}

uint32_t ddr_phy_read(int chain, int chip, uint32_t ch, uint32_t reg)
{
    return reg0d_read(chain, chip, DDR_PHY_BASE | ch | reg);
}

void ddr_pll_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v)
{
    config_reg_bits(chain, chip, DDR_PLL_BASE | ch | reg, hi, lo, v);
}

void ddr_ctl_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v)
{
    config_reg_bits(chain, chip, DDR_C1_BASE | ch | reg, hi, lo, v);
}

uint32_t ddr_ctl_read_c1(int chain, int chip, uint32_t ch, uint32_t reg)
{
    return reg0d_read(chain, chip, DDR_C1_BASE | ch | reg);
}

void ddr_ctl2_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v)
{
    config_reg_bits(chain, chip, DDR_C2_BASE | ch | reg, hi, lo, v);
}

uint32_t ddr_ctl_read_c2(int chain, int chip, uint32_t ch, uint32_t reg)
{
    return reg0d_read(chain, chip, DDR_C2_BASE | ch | reg);
}

void ddr_ctl_cfg_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v)
{
    config_reg_bits(chain, chip, DDR_CFG_BASE | ch | reg, hi, lo, v);
}

void ddr_phy_lanes_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v)
{
    for (uint32_t g = 0; g < 4; g++)
        ddr_phy_write_field(chain, chip, ch, reg + g * DDR_LANE_STRIDE, hi, lo, v);
}

// ---- timing sets -------------------------------------------------------------

const ddr_timing g_ddr_timing_default = {9, 5, 1, 9, 13, 25, 25, 3, 3, 3, 61, 28, 10, 7, 4, 1, 1, 5, 18,
                                         11, 4, 4, 8, 7, 3, 2, 4, 3, 3, 30, 5, 4, 4, 2, 3};
static const ddr_timing s_set2 = {15, 6, 3, 10, 26, 50, 50, 6, 6, 5, 122, 56, 22, 16, 8, 6, 3, 10, 60,
                                  28, 5, 10, 8, 7, 3, 2, 2, 3, 3, 60, 6, 10, 12, 3, 3};
static const ddr_timing s_set3 = {19, 5, 3, 11, 32, 64, 50, 8, 8, 5, 154, 70, 28, 20, 10, 6, 3, 12, 76,
                                  36, 5, 12, 10, 9, 3, 2, 2, 3, 3, 76, 5, 14, 16, 3, 4};
static const ddr_timing s_set4 = {19, 5, 3, 11, 38, 76, 50, 8, 8, 5, 184, 84, 36, 24, 14, 8, 3, 14, 102,
                                  66, 5, 14, 10, 11, 3, 2, 2, 3, 3, 94, 5, 14, 20, 3, 4};
static const ddr_timing s_set6 = {19, 5, 3, 11, 38, 76, 50, 8, 8, 5, 184, 84, 39, 26, 13, 8, 3, 13, 105,
                                  71, 2, 14, 10, 12, 3, 2, 1, 3, 3, 108, 5, 14, 20, 3, 4};

ddr_timing g_ddr_timing = g_ddr_timing_default;

void ddr_timing_select(int index)
{
    switch (index) {
    case 2: g_ddr_timing = s_set2; break;
    case 3: g_ddr_timing = s_set3; break;
    case 4:
    case 5: g_ddr_timing = s_set4; break;
    case 6: g_ddr_timing = s_set6; break;
    default: g_ddr_timing = g_ddr_timing_default; break;
    }
}

uint16_t ddr_mr0(const ddr_timing &t)
{
    return uint16_t(((t.mr_rl * 8) & 0x78) | ((t.mr_wr * 256) & 0xF00) | t.mr_wl);
}

uint16_t ddr_mr4(const ddr_timing &t) { return uint16_t(0x4000 | t.mr_crcrl * 128 | t.mr_crcwl * 16 | 5); }

uint16_t ddr_mr8(const ddr_timing &t)
{
    return uint16_t(0x8400 | 0x1A | (t.mr_rl / 16) * 256 | (t.mr_wr / 16) * 512);
}

