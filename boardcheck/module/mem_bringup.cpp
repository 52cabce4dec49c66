#include "module/mem_bringup.h"

#include <cstdint>
#include <initializer_list>

#include "module/chip_features.h"
#include "module/test_log.h"
#include "module/ddr_ctrl.h"
#include "module/ddr_phy.h"
#include "module/ddr_steps.h"
#include "module/ddr_training.h"
#include "module/phy_pll.h"
#include "os/os.h"


namespace {

constexpr uint32_t MEM_RESET_REG = 0x84001;
constexpr int HIGH_SPEED_INDEX = 3;
constexpr int DAG_SEED = 200;

// Runs the steps in order until the chain's commands fail; the steps left
// are skipped.
template <typename... Step> void run_steps(int chain, Step &&...step)
{
    (void)((chain_commands_failing(chain) || (step(), false)) || ...);
}

void stop_note(int chain)
{
    test_logf(5, TL_PLAIN, "chain%d: chip commands fail, memory bring-up stopped\n", chain);
}

void phy_all(int chain, int chip, uint32_t r, int bit, uint32_t v)
{
    for (uint32_t ch : DDR_CHANNELS)
        ddr_phy_write_field(chain, chip, ch, r, bit, bit, v);
}

void cfg_all(int chain, int chip, uint32_t r, int bit, uint32_t v)
{
    for (uint32_t ch : DDR_CHANNELS)
        ddr_ctl_cfg_write_field(chain, chip, ch, r, bit, bit, v);
}

// Steps a to f of the low-speed bring-up, with the given memory-reset hold.
int bringup(int chain, int chip, bool long_hold)
{
    bc_chip &rec = *bc_chip_rec(chain, chip);
    run_steps(
        chain,
        [&] {
            for (int bit : {2, 3, 4, 8})
                config_reg_bits(chain, chip, MEM_RESET_REG, bit, bit, 1);
            if (long_hold)
                kos::sleep_s(1);
            else
                kos::sleep_ms(1);
            for (int bit : {2, 3, 4, 8})
                config_reg_bits(chain, chip, MEM_RESET_REG, bit, bit, 0);
        },
        [&] {
            for (uint32_t ch : DDR_CHANNELS)
                set_ddr_cfg_bits(chain, chip, ch);
        },
        [&] {
            rec.ddr_speed_index = 1;
            config_phy_pll_by_speed(chain, chip);
        },
        [&] { ddr_low_speed_train(chain, chip); });
    if (rec.ddr_train_failed) {
        rec.low_speed_train_failed = 1;
        rec.disabled = 1;
    } else {
        rec.disabled = 0;
    }
    return rec.disabled;
}

// The passes of dag_preparation over the chips.
void sequence(int chain, int chip_count);

}  // namespace

bool chain_commands_failing(int chain)
{
    const bc_chain *c = bc_chain_rec(chain);
    return c && c->cmd_return_failed;
}

void ddr_low_speed_train(int chain, int chip)
{
    bc_chip &rec = *bc_chip_rec(chain, chip);
    g_write_train_total = 0;
    run_steps(
        chain, [&] { q37_ddr_vref_1(chain, chip); },
        [&] {
            ddr_timing_select(rec.ddr_speed_index);
            q37_ddr_init(chain, chip);
        },
        [&] { q37_ddr_train_c(chain, chip); },
        [&] {
            g_read_train_total = 0;
            q37_ddr_train_l(chain, chip);
        },
        [&] { q37_ddr_train_r(chain, chip); }, [&] { q37_ddr_vref_2(chain, chip); },
        [&] {
            g_write_train_total = 0;
            q37_ddr_train_w(chain, chip);
        });
    rec.ddr_train_failed = g_write_train_total >= 31 ? 1 : 0;
}

int ddr_chip_bringup(int chain, int chip) { return bringup(chain, chip, true); }

void ddr_edc_setup(int chain, int chip)
{
    q37_ddr_edcfen(chain, chip);
    q37_ddr_edcfex(chain, chip);
}

int ddr_recfg_high_speed(int chain, int chip)
{
    bc_chip &rec = *bc_chip_rec(chain, chip);
    for (uint32_t ch : DDR_CHANNELS)
        gddr_config_timing(chain, chip, ch);
    phy_all(chain, chip, 0x528, 23, 0);
    phy_all(chain, chip, 0x504, 27, 1);
    config_phy_pll_by_speed(chain, chip);
    phy_all(chain, chip, 0x528, 23, 1);
    for (uint32_t ch : DDR_CHANNELS)
        gddr_reset_mode_registers(chain, chip, ch);
    for (uint32_t ch : DDR_CHANNELS) {
        gddr_retrain_prepare(chain, chip, ch);
        gddr_ca_train(chain, chip, ch);
    }
    for (uint32_t ch : DDR_CHANNELS) {
        gddr_mode_register_write(chain, chip, ch, 0x6501);
        gddr_mode_register_write(chain, chip, ch, 0x6D01);
    }
    q37_ddr_train_c(chain, chip);
    g_read_train_total = 0;
    q37_ddr_train_l(chain, chip);
    q37_ddr_train_r(chain, chip);
    if (g_read_train_total <= 30) {
        rec.ddr_recfg_needed = 0;
    } else {
        rec.ddr_recfg_needed = 1;
        rec.ddr_recfg_count++;
        test_logf(4, TL_PLAIN, "chain %d, chip %d recfg_retry_proi cnt %d\n", chain, chip, rec.ddr_recfg_count);
    }
    q37_ddr_vref_2(chain, chip);
    cfg_all(chain, chip, 29, 17, 0);
    for (uint32_t ch : DDR_CHANNELS) {
        ddr_phy_read(chain, chip, ch, 0x504);
        ddr_ctl_read_c1(chain, chip, ch, 0);
        ddr_ctl_read_c2(chain, chip, ch, 0);
    }
    return rec.ddr_recfg_needed;
}

int ddr_recfg_retry(int chain, int chip, int seed)
{
    bc_chip &rec = *bc_chip_rec(chain, chip);
    if (ddr_chip_bringup(chain, chip))
        return 0;
    kos::sleep_s(1);
    q37_ddr_reprepc(chain, chip, seed);
    q37_ddr_reprepd(chain, chip, seed);
    rec.ddr_speed_index = HIGH_SPEED_INDEX;
    ddr_timing_select(HIGH_SPEED_INDEX);
    cfg_all(chain, chip, 0, 0, 0);
    config_bank_regs_b(chain, chip);
    return ddr_recfg_high_speed(chain, chip);
}

int ddr_cfg_high_speed(int chain, int seed)
{
    q37_ddr_prepc(chain, seed);
    if (!chain_commands_failing(chain))
        q37_ddr_prepd(chain, seed);
    if (chain_commands_failing(chain)) {
        stop_note(chain);
        return 1;
    }
    test_logf(3, TL_PLAIN, "\nchain%d: CFG high speed\n", chain);
    for (int chip = bc_chain_rec(chain)->chip_num; chip >= 1; chip--) {
        if (chain_commands_failing(chain)) {
            stop_note(chain);
            break;
        }
        bc_chip &rec = *bc_chip_rec(chain, chip);
        cfg_all(chain, chip, 0, 0, 0);
        if (bc_chip_marked(chain, chip))
            continue;
        if (rec.disabled) {
            test_logf(4, TL_PLAIN, "chain:%d,chip:%d has been disabled\n", chain, chip);
            continue;
        }
        config_bank_regs_b(chain, chip);
        rec.ddr_speed_index = HIGH_SPEED_INDEX;
        ddr_timing_select(HIGH_SPEED_INDEX);
        if (ddr_recfg_high_speed(chain, chip)) {
            while (!chain_commands_failing(chain) && ddr_recfg_retry(chain, chip, seed)) {
                if (rec.ddr_recfg_count > 2) {
                    rec.recfg_failed = 1;
                    rec.disabled = 1;
                    break;
                }
            }
        }
        config_bank_regs_a(chain, chip);
        ddr_edc_setup(chain, chip);
    }
    return 1;
}

int dag_preparation(int chain, int chip_count)
{
    if (!bc_chain_rec(chain) || chip_count < 0 || chip_count > BC_MAX_CHIPS) {
        test_logf(5, TL_PLAIN, "chain%d: no chain record for %d chips\n", chain, chip_count);
        return 0;
    }
    test_logf(2, TL_PLAIN, "\r\nchain%d: %s()\n", chain, "dag_preparation");
    test_logf(3, TL_PLAIN, "chain%d: Waiting for ddr init done\n", chain);
    bc_chain &c = *bc_chain_rec(chain);
    c.mem_bringup = 1;
    sequence(chain, chip_count);
    c.mem_bringup = 0;
    return 1;
}

namespace {

void sequence(int chain, int chip_count)
{
    for (int chip = chip_count; chip >= 1; chip--) {
        bc_chip &rec = *bc_chip_rec(chain, chip);
        rec.disabled = 0;
        rec.ddr_recfg_count = 0;
        rec.ddr_recfg_needed = 0;
        if (bc_chip_marked(chain, chip))
            continue;
        if (chain_commands_failing(chain)) {
            stop_note(chain);
            return;
        }
        bringup(chain, chip, false);
    }
    ddr_cfg_high_speed(chain, DAG_SEED);
}

}  // namespace

