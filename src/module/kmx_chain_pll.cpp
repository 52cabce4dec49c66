// PLL levels and frequency ramps (first form: the table and the level
// lookup; the ramps are completed with the frequency code).
#include "module/kmx_chain.h"

int *s_pll_list;
int s_pll_cnt;
const uint8_t (*s_pll_regs)[12];
int s_setpll[8];

extern "C" {

void kmx_chain_set_pllcfg(const int *pll_list, const uint8_t (*pll_regs)[12], int length) {
    s_pll_list = const_cast<int *>(pll_list);
    s_pll_regs = pll_regs;
    s_pll_cnt = length;
}

int kmx_chain_pll_to_level(int pll) {
    for (int i = 0; i < s_pll_cnt; i++)
        if (s_pll_list[i] >= pll) return i;
    return s_pll_cnt - 1;
}

}  // extern "C"
