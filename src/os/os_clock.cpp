#include "os/os.h"
#include "os/wakeup.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace kos {
namespace {

// Constant-initialised, so an emulation installed from a static constructor
// of another file can set it whatever the order of initialisation.
std::atomic<double> s_scale{1.0};
std::atomic<WallClockFn> s_wall{nullptr};
std::atomic<MonoClockFn> s_mono{nullptr};
std::atomic<SleepObserverFn> s_sleep_observer{nullptr};

uint64_t raw_mono_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint64_t raw_mono_us() { return raw_mono_ns() / 1000u; }

const uint64_t s_mono_base = raw_mono_us();

// Busy-waits on the monotonic clock: a nanosleep of a few microseconds
// costs the kernel's timer slack (50 us by default) on top.
void spin_ns(uint64_t ns) {
    const uint64_t until = raw_mono_ns() + ns;
    while (raw_mono_ns() < until) {
    }
}

struct timespec timespec_of_ns(uint64_t ns) {
    struct timespec ts;
    ts.tv_sec = time_t(ns / 1000000000u);
    ts.tv_nsec = long(ns % 1000000000u);
    return ts;
}

// Sleeps `ns` of the host's time, or less once an end signal is noted: the
// handler makes `wake_fd` readable, whichever thread it ran on. A byte a
// forked child's handler wrote before its exec wakes the wait too; it is
// taken out and the wait goes on.
void wait_ns_unless_ended(uint64_t ns, int wake_fd) {
    const uint64_t until = raw_mono_ns() + ns;
    for (uint64_t now = raw_mono_ns(); now < until && end_signal() == 0; now = raw_mono_ns()) {
        struct pollfd pfd = {wake_fd, POLLIN, 0};
        const struct timespec left = timespec_of_ns(until - now);
        if (ppoll(&pfd, 1, &left, nullptr) > 0) {
            char drain[16];
            while (read(wake_fd, drain, sizeof drain) > 0) {
            }
        }
    }
}

// The wait itself: a spin below kSpinBelowUs, else a sleep; one that an
// end signal cuts short when `wake_fd` is an end signal's pipe.
void pause_for(uint64_t us, int wake_fd = -1) {
    const double scaled = double(us) / s_scale.load();
    if (pause_spins(us)) {
        spin_ns(uint64_t(scaled * 1000.0));
        return;
    }
    const uint64_t ns = uint64_t(scaled * 1000.0);
    if (wake_fd >= 0) return wait_ns_unless_ended(ns, wake_fd);
    struct timespec ts = timespec_of_ns(ns);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Waits on `cv` until `done()`: timed waits only, as the rest of the os
// layer does, since the untimed wait is a newer symbol of the C++ library
// than the board's. A wait still not done after `bound_ns` of the host's
// time is a fault of the test (an advance or a wake-up it never gives):
// `say` names the wait on standard error and the process ends, rather than
// hang until the test runner's own time-out.
template <typename Done, typename Say>
void wait_until_done(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, uint64_t bound_ns, Done done,
                     Say say) {
    const uint64_t give_up = raw_mono_ns() + bound_ns;
    while (!done()) {
        if (raw_mono_ns() >= give_up) {
            say();
            abort();
        }
        cv.wait_for(lock, std::chrono::seconds(1));
    }
}

// The test clock's state. `now` is read without the lock by mono_us; it
// changes only under `mu`, as do the sleepers and the Wakeup flags they wait
// on while the clock exists.
struct TestClockState {
    std::mutex mu;
    std::condition_variable cv;
    std::atomic<uint64_t> now{0};
    std::thread::id driver;
    int bound_s = 0;  // the host's time a wait on the clock may take
    bool closing = false;
    struct Sleeper {
        uint64_t until;
        bool *flag;  // a Wakeup's signal, or nullptr for a plain sleep
    };
    std::vector<const Sleeper *> sleepers;

    uint64_t bound_ns() const { return uint64_t(bound_s) * 1000000000u; }
    bool due(const Sleeper &s) const { return closing || now.load() >= s.until || (s.flag && *s.flag); }
    int asleep() const {
        return int(std::count_if(sleepers.begin(), sleepers.end(), [this](const Sleeper *s) { return !due(*s); }));
    }
    void advance(uint64_t us) {
        {
            std::lock_guard<std::mutex> lock(mu);
            now.store(now.load() + us);
        }
        cv.notify_all();
    }
    // Blocks until the clock reaches `until` or `flag` is set (read under
    // mu). True when the flag was set; it is then used up.
    bool block(uint64_t until, bool *flag) {
        std::unique_lock<std::mutex> lock(mu);
        const Sleeper me{until, flag};
        sleepers.push_back(&me);
        cv.notify_all();  // a test waiting for its threads to be asleep
        wait_until_done(cv, lock, bound_ns(), [&] { return due(me); }, [&] {
            fprintf(stderr,
                    "test clock: a thread waited %d s of the host's time for the clock to reach %llu us%s"
                    " (it stands at %llu us): the test never moved it there\n",
                    bound_s, (unsigned long long)until, flag ? " or a wake-up" : "", (unsigned long long)now.load());
        });
        sleepers.erase(std::find(sleepers.begin(), sleepers.end(), &me));
        cv.notify_all();  // a closing clock waiting for the last sleeper
        const bool woken = flag && *flag;
        if (flag) *flag = false;
        return woken;
    }
};

std::atomic<TestClockState *> s_test{nullptr};

}  // namespace

TestClock::TestClock(uint64_t start_us, int host_bound_s) {
    auto *t = new TestClockState;
    t->now.store(start_us);
    t->bound_s = host_bound_s;
    t->driver = std::this_thread::get_id();
    TestClockState *none = nullptr;
    if (!s_test.compare_exchange_strong(none, t)) {
        delete t;
        abort();  // two test clocks at once: a fault of the test
    }
}

TestClock::~TestClock() {
    TestClockState *t = s_test.exchange(nullptr);
    {
        std::unique_lock<std::mutex> lock(t->mu);
        t->closing = true;
        t->cv.notify_all();
        wait_until_done(t->cv, lock, t->bound_ns(), [t] { return t->sleepers.empty(); }, [t] {
            fprintf(stderr, "test clock: closing, %zu threads still waited on it after %d s of the host's time\n",
                    t->sleepers.size(), t->bound_s);
        });
    }
    delete t;
}

uint64_t TestClock::now_us() const { return s_test.load()->now.load(); }
void TestClock::advance_us(uint64_t us) { s_test.load()->advance(us); }

bool TestClock::wait_sleepers(int n, int host_ms) {
    TestClockState *t = s_test.load();
    std::unique_lock<std::mutex> lock(t->mu);
    return t->cv.wait_for(lock, std::chrono::milliseconds(host_ms), [t, n] { return t->asleep() >= n; });
}

double time_scale() { return s_scale.load(); }
void set_time_scale(double scale) { s_scale.store(scale < 1.0 ? 1.0 : scale); }

uint64_t mono_us() {
    if (TestClockState *t = s_test.load()) return t->now.load();
    if (MonoClockFn fn = s_mono.load()) return fn();
    const uint64_t elapsed = raw_mono_us() - s_mono_base;
    // Start well above zero so that "0 = never" stays distinguishable.
    return s_mono_base + uint64_t(double(elapsed) * s_scale.load());
}

uint64_t mono_ms() { return mono_us() / 1000u; }

int peer_budget_ms(double board_ms) {
    const double scale = s_scale.load();
    if (scale <= 1.0) return int(board_ms);
    const double ms = board_ms / scale;
    return ms < 1000.0 ? (board_ms < 1000.0 ? int(board_ms) : 1000) : int(ms);
}

bool pause_spins(uint64_t us) { return us < kSpinBelowUs; }

namespace {

// A sleep on the clock; `wake_fd` as for pause_for.
void sleep_on_clock(uint64_t us, int wake_fd) {
    const SleepObserverFn fn = s_sleep_observer.load(std::memory_order_relaxed);
    TestClockState *t = s_test.load();
    if (!fn && !t) return pause_for(us, wake_fd);
    const uint64_t t0 = mono_us();
    if (!t)
        pause_for(us, wake_fd);
    else if (std::this_thread::get_id() == t->driver)
        t->advance(us);
    else
        t->block(t0 + us, nullptr);
    if (fn) fn(us, mono_us() - t0);
}

}  // namespace

void sleep_us(uint64_t us) { sleep_on_clock(us, -1); }
void sleep_ms(uint64_t ms) { sleep_us(ms * 1000u); }
void sleep_s(unsigned s) { sleep_us(uint64_t(s) * 1000000u); }

bool sleep_s_unless_ended(unsigned s) {
    if (end_signal() != 0) return false;
    sleep_on_clock(uint64_t(s) * 1000000u, end_signal_fd());
    return end_signal() == 0;
}

struct timeval wall_time() {
    if (WallClockFn fn = s_wall.load()) return fn();
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}

void set_wall_clock(WallClockFn fn) { s_wall.store(fn); }
void set_mono_clock(MonoClockFn fn) { s_mono.store(fn); }
void set_sleep_observer(SleepObserverFn fn) { s_sleep_observer.store(fn); }

bool Wakeup::wait_us(uint64_t us) {
    const uint64_t t0 = mono_us();
    if (TestClockState *t = s_test.load()) {
        const bool woken = t->block(t0 + us, &signalled_);
        if (SleepObserverFn fn = s_sleep_observer.load(std::memory_order_relaxed)) fn(us, mono_us() - t0);
        return woken;
    }
    const auto real = std::chrono::nanoseconds(uint64_t(double(us) * 1000.0 / s_scale.load()));
    std::unique_lock<std::mutex> lock(mu_);
    const bool woken = cv_.wait_for(lock, real, [this] { return signalled_; });
    signalled_ = false;
    lock.unlock();
    if (SleepObserverFn fn = s_sleep_observer.load(std::memory_order_relaxed)) fn(us, mono_us() - t0);
    return woken;
}

void Wakeup::signal() {
    if (TestClockState *t = s_test.load()) {
        {
            std::lock_guard<std::mutex> lock(t->mu);
            signalled_ = true;
        }
        t->cv.notify_all();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        signalled_ = true;
    }
    cv_.notify_all();
}

}  // namespace kos
