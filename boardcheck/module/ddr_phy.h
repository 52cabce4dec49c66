// Register spaces of the chips' memory channels (PHY, PHY PLL, controllers
// C1 and C2, and the controllers' shared configuration), their bit-field
// accessors, the DDR timing sets and the GDDR6 mode-register words.
#pragma once
#include <cstdint>


constexpr uint32_t DDR_PHY_BASE = 0xD8000;
constexpr uint32_t DDR_PLL_BASE = 0xD0000;
constexpr uint32_t DDR_C1_BASE = 0xC8000;
constexpr uint32_t DDR_C2_BASE = 0xC9000;
constexpr uint32_t DDR_CFG_BASE = 0xC8800;
constexpr uint32_t DDR_CH_AB = 0x0000, DDR_CH_CD = 0x2000, DDR_CH_EF = 0x4000, DDR_CH_GH = 0x6000;
constexpr uint32_t DDR_CHANNELS[4] = {DDR_CH_AB, DDR_CH_CD, DDR_CH_EF, DDR_CH_GH};
constexpr uint32_t DDR_LANE_STRIDE = 0x100;

// "AB", "CD", "EF" or "GH" for a channel base.
const char *ddr_side_name(uint32_t channel);

void ddr_phy_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v);
uint32_t ddr_phy_read(int chain, int chip, uint32_t ch, uint32_t reg);
void ddr_pll_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v);
void ddr_ctl_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v);
uint32_t ddr_ctl_read_c1(int chain, int chip, uint32_t ch, uint32_t reg);
void ddr_ctl2_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v);
uint32_t ddr_ctl_read_c2(int chain, int chip, uint32_t ch, uint32_t reg);
void ddr_ctl_cfg_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v);
// A PHY field in each of the four lane groups of a register r (0x100..0x1FF).
void ddr_phy_lanes_write_field(int chain, int chip, uint32_t ch, uint32_t reg, int hi, int lo, uint32_t v);

struct ddr_timing {
    uint16_t phy_lat_a, phy_lat_b, phy_lat_c, phy_lat_d;
    uint16_t ctl_1h, ctl_1l, ctl_2a, ctl_2b, ctl_2c, ctl_2d, ctl_3h, ctl_3l;
    uint16_t ctl_5b, ctl_5a, ctl_5c, ctl_1m, ctl_6a, ctl_5d;
    uint16_t lat_h, lat_l;
    uint16_t ctl_4a, ctl_6b, ctl_6c, ctl_7, ctl_4b, ctl_4c, ctl_4d;
    uint16_t ctl_29a, ctl_29b, ctl_29c;
    int mr_wl, mr_rl, mr_wr, mr_crcrl, mr_crcwl;
};

extern ddr_timing g_ddr_timing;  // the current set
extern const ddr_timing g_ddr_timing_default;
void ddr_timing_select(int index);

uint16_t ddr_mr0(const ddr_timing &t);
uint16_t ddr_mr4(const ddr_timing &t);
uint16_t ddr_mr8(const ddr_timing &t);

