#include "module/ddr_steps.h"

#include <cstdint>
#include <initializer_list>

#include "module/cache_dag.h"
#include "module/chip_reg_io.h"
#include "module/ddr_ctrl.h"
#include "module/ddr_phy.h"
#include "module/ddr_training.h"

namespace {

void chip_line(int chain, int chip, const char *name, bool dot)
{
    bc_logf(2, BC_LOG_PLAIN, "chain%d: chip%d %s()\n", chain, chip, name);
    if (dot)
        bc_log_dot();
}

void chain_line(int chain, const char *name) { bc_logf(2, BC_LOG_PLAIN, "\r\nchain%d: %s()\n", chain, name); }

}  // namespace

int q37_ddr_vref_1(int chain, int chip)
{
    chip_line(chain, chip, __func__, true);
    for (uint32_t ch : DDR_CHANNELS)
        gddr_default_read_vref(chain, chip, ch);
    for (uint32_t ch : DDR_CHANNELS)
        gddr_lane_vref_fields(chain, chip, ch);
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
    for (uint32_t ch : DDR_CHANNELS)
        gddr_init_controller(chain, chip, ch);
    for (uint32_t ch : DDR_CHANNELS)
        gddr_init_lanes(chain, chip, ch);
    return 0;
}

int q37_ddr_train_c(int chain, int chip)
{
    chip_line(chain, chip, __func__, false);
    for (uint32_t ch : DDR_CHANNELS)
        if (!gddr_wck2ck_train(chain, chip, ch))
            bc_logf(4, BC_LOG_PLAIN, "chain%d: chip%d DDR %s Side wck2ck training fail! \n", chain, chip,
                    ddr_side_name(ch));
    return 1;
}

int q37_ddr_train_l(int chain, int chip)
{
    chip_line(chain, chip, __func__, false);
    for (uint32_t ch : DDR_CHANNELS)
        gddr_ldff_train(chain, chip, ch);
    return 0;
}

int q37_ddr_train_r(int chain, int chip)
{
    chip_line(chain, chip, __func__, true);
    unsigned total = 0;
    for (uint32_t ch : DDR_CHANNELS)
        total = gddr_read_train(chain, chip, ch);
    return int(total);
}

int q37_ddr_train_w(int chain, int chip)
{
    chip_line(chain, chip, __func__, false);
    unsigned total = 0;
    for (uint32_t ch : DDR_CHANNELS)
        total = gddr_write_train(chain, chip, ch);
    return int(total);
}

int q37_ddr_edcfen(int chain, int chip)
{
    bc_logf(2, BC_LOG_PLAIN, "%s()", __func__);
    for (uint32_t ch : DDR_CHANNELS)
        gddr_edc_enable(chain, chip, ch);
    return 0;
}

int q37_ddr_edcfex(int chain, int chip)
{
    bc_logf(2, BC_LOG_PLAIN, "%s()", __func__);
    for (uint32_t ch : DDR_CHANNELS)
        gddr_edc_exit(chain, chip, ch);
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
