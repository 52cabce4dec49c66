#include "wait_tally.h"

#include <algorithm>
#include <atomic>
#include <pthread.h>

#include "os/os.h"

namespace bench {
namespace {

constexpr int kSlots = 64;

struct Slot {
    std::atomic<uint64_t> us{0};
    std::atomic<uint64_t> taken{0};
};
Slot g_slots[kSlots];
std::atomic<int> g_used{0};
std::atomic<unsigned> g_round{0};
std::atomic<ThreadFilter> g_filter{nullptr};

// A thread takes its slot at its first wait of a round; a thread that is
// not counted remembers that for the round.
thread_local unsigned t_round = 0;
thread_local Slot *t_slot = nullptr;

void count(uint64_t us, uint64_t taken) {
    const unsigned round = g_round.load(std::memory_order_relaxed);
    if (t_round != round) {
        t_round = round;
        t_slot = nullptr;
        char name[16] = {};
        const ThreadFilter f = g_filter.load();
        if (f && pthread_getname_np(pthread_self(), name, sizeof name) == 0 && f(name)) {
            const int i = g_used.fetch_add(1);
            if (i < kSlots) t_slot = &g_slots[i];
        }
    }
    if (t_slot) {
        t_slot->us.fetch_add(us, std::memory_order_relaxed);
        t_slot->taken.fetch_add(taken, std::memory_order_relaxed);
    }
}

}  // namespace

void start_counting_waits(ThreadFilter counted) {
    for (Slot &s : g_slots) {
        s.us.store(0);
        s.taken.store(0);
    }
    g_used.store(0);
    g_filter.store(counted);
    g_round.fetch_add(1);
    kos::set_sleep_observer(count);
}

WaitTotals stop_counting_waits() {
    kos::set_sleep_observer(nullptr);
    WaitTotals t;
    t.threads = std::min(g_used.load(), kSlots);
    for (int i = 0; i < t.threads; i++) {
        if (g_slots[i].us.load() < t.longest_us) continue;
        t.longest_us = g_slots[i].us.load();
        t.longest_taken_us = g_slots[i].taken.load();
    }
    return t;
}

}  // namespace bench
