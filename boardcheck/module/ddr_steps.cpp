#include "module/ddr_steps.h"

#include <cstdint>
#include <initializer_list>

#include "module/cache_dag.h"
#include "module/test_log.h"
#include "module/ddr_ctrl.h"
#include "module/ddr_phy.h"
#include "module/ddr_training.h"


namespace {

void chip_line(int chain, int chip, const char *name, bool dot)
{
    test_logf(2, TL_PLAIN, "chain%d: chip%d %s()\n", chain, chip, name);
    if (dot)
        test_log_dot();
}

// Runs channel routines on AB, CD, EF and GH, each routine on all four
// before the next.
void each_channel(int chain, int chip, std::initializer_list<void (*)(int, int, uint32_t)> fns)
{
    for (auto f : fns)
        for (uint32_t ch : DDR_CHANNELS)
            f(chain, chip, ch);
}

// A training with a total: the total after the last channel.
unsigned each_channel_total(int chain, int chip, unsigned (*f)(int, int, uint32_t))
{
    unsigned total = 0;
    for (uint32_t ch : DDR_CHANNELS)
        total = f(chain, chip, ch);
    return total;
}

void chain_line(int chain, const char *name) { test_logf(2, TL_PLAIN, "\r\nchain%d: %s()\n", chain, name); }

}  // namespace

int q37_ddr_vref_1(int chain, int chip)
{
    chip_line(chain, chip, __func__, true);
    each_channel(chain, chip, {gddr_default_read_vref, gddr_lane_vref_fields});
    return 0;
}

int q37_ddr_vref_2(int chain, int chip)
{
    chip_line(chain, chip, __func__, false);
    for (uint16_t w : {0x67B3, 0x6FB3, 0x6582, 0x6D82})
        for (uint32_t ch : DDR_CHANNELS)
            gddr_mode_register_write(chain, chip, ch, w);
    return 0;
}

int q37_ddr_init(int chain, int chip)
{
    chip_line(chain, chip, __func__, true);
    each_channel(chain, chip, {gddr_init_controller, gddr_init_lanes});
    return 0;
}

int q37_ddr_train_c(int chain, int chip)
{
    chip_line(chain, chip, __func__, false);
    for (uint32_t ch : DDR_CHANNELS)
        if (!gddr_wck2ck_train(chain, chip, ch))
            test_logf(4, TL_PLAIN, "chain%d: chip%d DDR %s Side wck2ck training fail! \n", chain, chip,
                    ddr_side_name(ch));
    return 1;
}

int q37_ddr_train_l(int chain, int chip)
{
    chip_line(chain, chip, __func__, false);
    each_channel(chain, chip, {gddr_ldff_train});
    return 0;
}

int q37_ddr_train_r(int chain, int chip)
{
    chip_line(chain, chip, __func__, true);
    return int(each_channel_total(chain, chip, gddr_read_train));
}

int q37_ddr_train_w(int chain, int chip)
{
    chip_line(chain, chip, __func__, false);
    return int(each_channel_total(chain, chip, gddr_write_train));
}

int q37_ddr_edcfen(int chain, int chip)
{
    test_logf(2, TL_PLAIN, "%s()", __func__);
    each_channel(chain, chip, {gddr_edc_enable});
    return 0;
}

int q37_ddr_edcfex(int chain, int chip)
{
    test_logf(2, TL_PLAIN, "%s()", __func__);
    each_channel(chain, chip, {gddr_edc_exit});
    return 0;
}

int q37_ddr_prepc(int chain, int seed)
{
    chain_line(chain, __func__);
    return chain_cache_prepare(chain, seed);
}

int q37_ddr_prepd(int chain, int seed)
{
    chain_line(chain, __func__);
    return chain_dag_prepare(chain, seed);
}

int q37_ddr_reprepc(int chain, int chip, int seed)
{
    chain_line(chain, __func__);
    return chip_cache_prepare(chain, chip, seed);
}

int q37_ddr_reprepd(int chain, int chip, int seed)
{
    chain_line(chain, __func__);
    return chip_dag_prepare(chain, chip, seed);
}

