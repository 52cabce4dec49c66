#include "module/chip_reg_io.h"

#include <cstdarg>
#include <cstdio>

namespace bcmem {

chip_cmd_ops g_chip_cmd{};

void bc_logf(int level, int category, const char *fmt, ...)
{
    if (!g_chip_cmd.log)
        return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    g_chip_cmd.log(level, category, buf);
}

void bc_log_dot()
{
    bc_logf(3, BC_LOG_CONT | BC_LOG_PLAIN, ".");
    fflush(stdout);
}

}  // namespace bcmem
