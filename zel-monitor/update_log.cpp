// Update-log keeper. First form: the thread ends at once.
#include "daemon.h"

namespace zelmon {

void *thread_record_swudate_log(void *) { return nullptr; }

}  // namespace zelmon
