// zel_fan: sets fans 0 and 1 to the duty given on the command line,
// inverted when the second argument is non-zero.
#include <cstdio>

#include "app/tool_args.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

namespace {
void startup_failed() {
    kmx_logf_user(5, "sys_platform_init: platform[%d] miner_type[%d] chain_num[%d] chip_num[%d].\n", 4, 0, 8, 80);
}
}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        // Nothing is touched; only whoever typed the call is told how.
        fprintf(stderr, "USAGE:\n      %s duty [invert]\n", argv[0]);
        return 0;
    }
    // "zel_fan abc" is refused as the call without a duty is: nothing
    // touched, status 0.
    int args[2] = {0, 0};
    if (!tool_args::read_numbers(argv, 1, argc > 2 ? 2 : 1, args, "duty [invert]")) return 0;
    kmx_logf(5, "%s,%d:sys_platform_init %d,%d,%d,%d.\n", "zel_fan", __LINE__, 4, 0, 8, 80);
    if (!sys_platform_init(4, 0, 8, 80)) {
        startup_failed();
        return 0;
    }
    int duty = args[0];
    // Wrapping as the board's int did, without overflowing for INT_MIN.
    if (args[1] != 0) duty = int(100u - unsigned(duty));
    if (unsigned(duty) > 100u) {
        kmx_logf_user(5, "error:fan duty:%d,so force fan duty to 100", duty);
        duty = 100;
    }
    kmx_set_pwm(0, 20000, duty);
    kmx_set_pwm(1, 20000, duty);
    if (!sys_platform_exit()) {
        startup_failed();
        return 0;
    }
    kmx_logf(5, "%s,%d:sys_platform_exit.\n", "zel_fan", __LINE__);
    return 0;
}
