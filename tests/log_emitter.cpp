// Logs a fixed set of lines through the library's logger so that a test can
// read them as the machine's syslog receiver got them.
// usage: log_emitter LEVEL
#include <cstdlib>

#include "module/kmx_log.h"

int main(int argc, char **argv) {
    kmx_log_init(argc > 1 ? atoi(argv[1]) : 0, "kmx_lib");
    char debug[] = "debug line";
    char warn[] = "warning with prefix";
    char err[] = "error 100% plain";
    _kmx_log(1, debug, false);
    _kmx_log(4, warn, true);
    _kmx_log(5, err, false);
    kmx_logf(2, "info %d", 2);
    return 0;
}
