// The pauses the test's own thread asks of the clock between start() and
// stop(), in machine microseconds, without the chip protocol's 1 us pauses
// inside each command: a protocol's waits held exactly instead of timed.
#ifndef KMX_TEST_PAUSE_LOG_H
#define KMX_TEST_PAUSE_LOG_H

#include <cstdint>
#include <vector>

#include "os/os.h"

namespace pause_log {

inline thread_local bool t_recording = false;
inline std::vector<uint64_t> g_asked;

inline void observe(uint64_t asked_us, uint64_t) {
    if (t_recording && asked_us != 1) g_asked.push_back(asked_us);
}

inline void start() {
    g_asked.clear();
    kos::set_sleep_observer(observe);
    t_recording = true;
}

inline std::vector<uint64_t> stop() {
    t_recording = false;
    kos::set_sleep_observer(nullptr);
    return g_asked;
}

}  // namespace pause_log

#endif
