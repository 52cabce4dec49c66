// boardcheck: the factory test of one hash board.
#include "module/bc_debug.h"
#include "module/bc_fsm.h"
#include "module/bc_miner.h"
#include "module/bc_report.h"
#include <string_view>

#include "module/test_log.h"

namespace {

constexpr const char *kDate = "Sep 18 2020";
constexpr const char *kTime = "16:20:17";
constexpr int kMode = TEST_MODE_PRE_FIN;

const char *const kBanner[] = {
    "Name           : Qx Fastcheck\n",
    "Name           : Qx SW Pre-Fin Test\n",
    "Name           : Qx SW Post-Fin Grading\n",
    "Name           : Qx Repair Tool\n",
    "Name           : Qx SW Scan-Freq-And-Volt Test\n",
    "Name           : Qx SW Parellel-Borad Test\n",
    "Name           : Qx SW DEBUG Test\n",
};

void banner(int mode) {
    const char *stars = "******************************************\n";
    test_log(3, TL_PLAIN, stars);
    if (mode >= 0 && mode <= 6) test_log(3, TL_PLAIN, kBanner[mode]);
    test_logf(3, TL_PLAIN, "SVN Version    : %s \n", "$Rev: 708 $");
    test_logf(3, TL_PLAIN, "Compile time   : %s %s\n", kDate, kTime);
    test_logf(3, TL_PLAIN, "Release Version: %s \n", "V2.15.8");
    test_logf(3, TL_PLAIN, "Version Func   : %s \n", mode == 0 ? "Fastcheck" : "Normal");
    test_log(3, TL_PLAIN, stars);
}

}  // namespace

int main(int argc, char **argv) {
    g_test_log_mask = 1;
    g_test_log_level = 3;
    test_logf(3, TL_PLAIN, "\nEnter %s... [%s %s]\n", "main", kDate, kTime);
    if (argc < 2) {
        test_log(5, TL_PLAIN, "Parameter is NULL!");
        return 0;
    }
    if (std::string_view(argv[1]) == "-c") {
        char store[8][12];
        char *args[8] = {};
        const int n = argc > 2 ? read_arg_file(argv[2], store, args) : -1;
        if (n < 0 || !parse_options(n, args)) {
            test_log(5, TL_PLAIN, "read conf failed!");
            return 0;
        }
    } else if (!parse_options(argc, argv)) {
        return 0;
    }
    if (g_bc_opts.debug) {
        // Bench debugging: the menu on the console, no test and no result.
        banner(TEST_MODE_DEBUG);
        init_control_board(TEST_MODE_DEBUG);
        detect_spi_chain_plug(TEST_MODE_DEBUG);
        debug_session();
        test_log(3, TL_PLAIN, "---------TEST OVER!!!----------\r\n");
        return 0;
    }
    banner(kMode);
    init_control_board(kMode);
    detect_spi_chain_plug(kMode);
    if (g_miner->chain_num == 0) return 0;

    // One chain is tested per run: the connector chosen with -s, else the
    // first detected one. Only that chain gets a report and a result; a
    // board that was not tested must not be stored as passing. A chosen
    // connector without a board ends the run: testing another board in its
    // place would store that board's verdict under the wrong name.
    const int tested = tested_chain(g_bc_opts, *g_miner);
    if (tested < 0) {
        test_logf(4, TL_PLAIN, "Input test chain:%d is not plugged, nothing tested!\n", g_bc_opts.selected_chain);
        return 0;
    }
    int machine_type = MACHINE_TYPE_UNKNOWN;
    run_chain_test(tested, &machine_type, kMode);
    print_chain_report(tested, kMode);
    test_log(3, TL_PLAIN, "---------TEST OVER!!!----------\r\n");
    return 0;
}
