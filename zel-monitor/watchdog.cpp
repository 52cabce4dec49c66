// Hardware watchdog feeder. First form: the thread ends at once.
#include "daemon.h"

namespace zelmon {

void *thread_feed_watchdog(void *) { return nullptr; }

}  // namespace zelmon
