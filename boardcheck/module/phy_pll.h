// The memory PHY's PLL: one fixed register list per data rate, the lock
// waits, and the list chosen by a chip's speed index.
#pragma once


int config_phy_pll_by_speed(int chain, int chip);
int ddr_pll_lock_3g(int chain, int chip, int polls);

void config_phy_pll_15p5G(int chain, int chip, int keep);
void config_phy_pll_15G(int chain, int chip, int keep);
void config_phy_pll_14G(int chain, int chip, int keep);
void config_phy_pll_13G(int chain, int chip, int keep);
void config_phy_pll_12G(int chain, int chip, int keep);
void config_phy_pll_12G_LC(int chain, int chip, int keep);
void config_phy_pll_11G(int chain, int chip, int keep);
void config_phy_pll_10G(int chain, int chip, int keep);
void config_phy_pll_9G(int chain, int chip, int keep);
void config_phy_pll_8G(int chain, int chip, int keep);
void config_phy_pll_7G(int chain, int chip, int keep);
void config_phy_pll_6G(int chain, int chip, int keep);
void config_phy_pll_4G(int chain, int chip, int keep);
void config_phy_pll_3G(int chain, int chip, int keep);
void config_phy_pll_2G(int chain, int chip, int keep);
void config_phy_pll_1G(int chain, int chip, int keep);
void config_phy_pll_250M(int chain, int chip, int keep);
void config_phy_pll_187p5M(int chain, int chip);

