#include "module/bc_fsm.h"

#include <memory>
#include <vector>

#include "drv/bc_links.h"
#include "module/bc_freq.h"
#include "module/bc_miner.h"
#include "module/bc_report.h"
#include "module/bc_steps.h"
#include "module/core_bist.h"
#include "module/mem_bringup.h"
#include "module/test_log.h"

unsigned char g_cmd04_endless = 0;

namespace {

std::vector<int> s_trace;

void on_failure(int chain, int mode) {
    (void)mode;
    bc_chain *c = bc_chain_rec(chain);
    set_chain_led(chain, 1);
    if (c && c->chip_type_not_found) {
        c->chip_num = 170;
        const int type = begin_check(chain);
        check_chip_voltage(chain, type);
    } else if (c && c->chip_num_wrong) {
        // A count above its machine type's row, or above what a chain
        // holds, has named the first chip past it; the voltage read below
        // names the first chip that does not answer, which is the failing
        // chip of a count no row has.
        const uint8_t past_row = c->failing_chip;
        const bool named = past_row != 0;
        c->chip_num = 170;
        check_chip_voltage(chain, int(c->chip_type));
        if (named) c->failing_chip = past_row;
    } else if (c) {
        // The re-check reads every chip again for the log. A reading that
        // has come back in range must not clear the flag (nor the readings)
        // that failed the step: the report gives the first failure.
        const auto failed = std::make_unique<bc_chain>(*c);
        check_t_v(chain, true);
        if (chain_has_failure_flag(*failed)) *c = *failed;
    } else {
        check_t_v(chain, true);
    }
    if (g_cmd04_endless)
        send_cmd04_endless(chain);
    else
        read_iic_power(chain);
}

}  // namespace

int fsm_trace(const int **states) {
    *states = s_trace.data();
    return int(s_trace.size());
}

void run_chain_test(int chain, int *machine_type, int mode) {
    int state = 0, prev = 0;
    s_trace.clear();
    // A chain's test starts a scan of its own: points left over from an
    // earlier chain would make its first choice look like the last one.
    freq_choice_reset();
    while (state != 34) {
        test_logf(1, TL_STEP, "chain%0d State -> %d\n", chain, state);
        s_trace.push_back(state);
        bc_chain *c = bc_chain_rec(chain);
        int ok = 1, next = 34;
        switch (state) {
        case 0: next = 1; break;
        case 1: ok = set_board_leds(0, 0), next = 7; break;
        case 7: next = 4; break;
        case 4: ok = set_chain_led(chain, 0), next = 5; break;
        case 5: ok = set_chain_spi_speed(chain), next = prev == 23 ? 26 : 9; break;
        case 9: ok = power_on_and_detect(chain, *machine_type, mode), next = 11; break;
        case 11: ok = bist_and_get_chipnum(chain, machine_type, mode), next = 14; break;
        case 14: ok = init_chip_registers(chain, c ? int(c->chip_type) : 4, *machine_type), next = 15; break;
        case 15: ok = input_parameters(chain, mode, *machine_type), next = 29; break;
        case 29:
            ok = get_freq_and_vid(chain, c ? int(c->chip_type) : 4, *machine_type, mode);
            next = (c && c->scan_done) ? 31 : 20;
            break;
        case 20:
            if (prev != 26 && prev != 30) check_t_v(chain, false, mode);
            ok = check_t_v(chain, true, mode);
            next = prev == 26 ? 25 : prev == 30 ? 31 : 23;
            break;
        case 23: {
            const int target = *machine_type == MACHINE_TYPE_PARALLEL ? 480 : c ? c->target_freq : 0;
            ok = set_chain_pll(chain, 0, *machine_type, c ? c->cur_freq : 0, target);
            next = 5;
            break;
        }
        case 26:
            ok = *machine_type == MACHINE_TYPE_PARALLEL ? core_bist(chain, 0, 1) : chip_bist(chain, false, true);
            next = 20;
            break;
        case 25: ok = count_good_cores(chain), next = 28; break;
        case 28:
            chip_bist(chain, false, c && c->feat.bist_fix);
            ok = chip_bist(chain, *machine_type == MACHINE_TYPE_PARALLEL, c && c->feat.bist_fix);
            next = *machine_type == MACHINE_TYPE_PARALLEL ? 27 : 30;
            break;
        case 27: ok = dag_preparation(chain, c ? c->chip_num : 0), next = 30; break;
        case 30: ok = job_bist(chain, c ? int(c->chip_type) : 4, c ? c->chip_num : 0, mode), next = 20; break;
        case 31: ok = chain_power_off(chain), next = 33; break;
        case 33: test_log(2, TL_PLAIN, "print error report\n"), next = 34; break;
        default: next = 31; break;
        }
        if (!ok) {
            if (c && !c->failed_state) c->failed_state = uint8_t(state);
            on_failure(chain, 1);
            // A failed power-off goes on to the report: running state 31
            // again would never end.
            next = state == 31 ? 33 : 31;
        }
        prev = state;
        state = next;
    }
    s_trace.push_back(34);
}
