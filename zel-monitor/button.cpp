// Button sampler and handler, network-mode LED. First form: the threads end at once.
#include "daemon.h"

namespace zelmon {

void *thread_key_press_cnt(void *) { return nullptr; }
void *thread_button_monitor(void *) { return nullptr; }
void *thread_net_mode_flag(void *) { return nullptr; }

}  // namespace zelmon
