// zel_test: exercises the control board: polls the voltage-ID type, reads
// the MIO pins, sweeps every chain through the 32 VIDs and the fan duty.
#include "app/tool_args.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "zynq/zynq_gpio.h"

namespace {

const int kMioPins[] = {1, 15, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 46, 50, 51};
constexpr int kMioBase = 906;

int startup_failed() {
    kmx_logf_user(5, "sys_platform_init: platform[%d] miner_type[%d] chain_num[%d] chip_num[%d].\n", 4, 0, 8, 80);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // The tool takes no arguments; "zel_test --help" must not start the
    // sweep on the hardware. A number some script passes was ignored
    // before and still is.
    for (int i = 1; i < argc; i++) {
        int ignored;
        if (!tool_args::whole_number(argv[i], ignored)) {
            const klog::Outside prog(argv[0]), arg(argv[i], 64);
            kmx_logf_user(5, "%s: \"%s\" refused; usage: %s (no arguments: it sweeps every chain's VIDs and the fans)",
                          prog.c_str(), arg.c_str(), prog.c_str());
            return 2;
        }
    }
    kmx_logf(5, "%s,%d:sys_platform_init %d,%d,%d,%d.\n", "zel_test", __LINE__, 4, 0, 8, 80);
    if (!sys_platform_init(4, 0, 8, 80)) return startup_failed();
    for (int i = 0; i < 10; i++) {
        kmx_logf(2, "%d times vid type:%d\n", i, misc_get_vid_type());
        kos::sleep_s(2);
    }
    for (int pin : kMioPins) {
        kmx_logf(2, "mio%d ", pin);
        zynq_gpio_init(kMioBase + pin, 1);
        kos::shell_status("sync");
        kos::sleep_ms(50);
        kmx_logf(2, "is %d\n", zynq_gpio_read(kMioBase + pin));
        kos::shell_status("sync");
        kos::sleep_ms(50);
    }
    for (int vid = 0; vid < 32; vid++) {
        for (uint8_t chain = 0; chain < 8; chain++) {
            kmx_set_vid(chain, vid);
            kmx_logf(2, "chain %d set vid %d.\n", chain, vid);
        }
        kmx_logf(2, "\n\n");
        kos::sleep_s(1);
    }
    for (int duty = 0; duty < 100; duty += 10) {
        kmx_logf(5, "%s,%d:duty: %d.\n", "zel_test", __LINE__, duty);
        for (uint8_t fan = 0; fan < 3; fan++) kmx_set_pwm(fan, 20000, duty);
        kos::sleep_s(1);
    }
    if (!sys_platform_exit()) return startup_failed();
    kmx_logf(2, "%s,%d:sys_platform_exit.\n", "zel_test", __LINE__);
    return 0;
}
