// What the threads of a run ask the one clock to wait, for setting a run's
// wall time against the floor of the waits the hardware asks for. Each
// counted thread (chosen by its name) sums its own waits in machine
// microseconds; the longest sum is the floor of work done in parallel.
#pragma once

#include <cstdint>

namespace bench {

using ThreadFilter = bool (*)(const char *thread_name);
void start_counting_waits(ThreadFilter counted);

struct WaitTotals {
    int threads = 0;          // counted threads that asked for any wait
    uint64_t longest_us = 0;  // the largest of their sums of waits asked
    // What that thread's waits took: more than asked by the host's timer
    // latency (tens of microseconds a sleep on a board, more on a VM).
    uint64_t longest_taken_us = 0;
};
WaitTotals stop_counting_waits();

}  // namespace bench
