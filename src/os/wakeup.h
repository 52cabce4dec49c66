// A timed wait that another thread can cut short. A poller that must also
// act on a period (a supply watchdog fed every 2 s) waits on it for the rest
// of the period and still sees at once the event it polls for. The time goes
// through the one clock: machine time, shortened by the emulation's scale.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kos {

class Wakeup {
public:
    // Waits at most `us` machine microseconds. True when signalled (before
    // or during the wait); the signal is then used up.
    bool wait_us(uint64_t us);
    void signal();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace kos
