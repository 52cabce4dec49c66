// System-status checker. First form: the thread ends at once.
#include "daemon.h"

namespace zelmon {

void *thread_system_status_monitor(void *) { return nullptr; }

}  // namespace zelmon
