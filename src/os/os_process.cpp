#include "os/os.h"

#include <cstdio>
#include <cstdlib>

namespace kos {

void terminate(int status) {
    fflush(nullptr);
    exit(status);
}

void halt_forever() {
    for (;;) sleep_s(10);
}

}  // namespace kos
