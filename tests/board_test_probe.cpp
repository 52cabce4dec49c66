// Runs the board self-test inside an emulated machine for the end-to-end
// tests. The endless final states are replaced by an exit:
//   kmx-board-test-probe prepare PLATFORM   0 passed, 3 failed, 2 not tested
//   kmx-board-test-probe regs               the hub register test over 8 chains
//   kmx-board-test-probe jobs CHAINS        the job echo test
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drv/hub.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_board_test.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

void end(bool pass) { kos::terminate(pass ? 0 : 3); }

void soc_setup(int chains) {
    g_platform = SOC;
    g_chip_num = 1;
    g_chain_num = chains;
    for (int i = 0; i < KMX_MAX_CHAIN; i++) g_chain_id[i] = i;
    soc_hub_init();
    init_kmx_gpio();
    init_kmx_cmd();
}

}  // namespace

int main(int argc, char **argv) {
    sys_platform_debug_init(2);
    board_test::set_end_hook(end);
    const char *cmd = argc > 1 ? argv[1] : "";
    if (strcmp(cmd, "prepare") == 0 && argc == 3) {
        board_detection_prepare(atoi(argv[2]), 0, 8, 1);
        printf("not tested platform %d chain_num %d chip_num %d mapped %d\n", g_platform, g_chain_num, g_chip_num,
               hub_windows_mapped(1));
        return 2;
    }
    if (strcmp(cmd, "regs") == 0) {
        soc_setup(8);
        const int r = spi_hub_register_test(g_chain_id, 8);
        printf("result %d\n", r);
        return 0;
    }
    if (strcmp(cmd, "jobs") == 0 && argc == 3) {
        soc_setup(atoi(argv[2]));
        printf("result %d\n", write_job_test());
        return 0;
    }
    fprintf(stderr, "usage: kmx-board-test-probe prepare PLATFORM | regs | jobs CHAINS\n");
    return 1;
}
