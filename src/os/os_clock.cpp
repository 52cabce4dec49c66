#include "os/os.h"
#include "os/wakeup.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <ctime>

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

// The wait itself: a spin below kSpinBelowUs, else a sleep.
void pause_for(uint64_t us) {
    const double scaled = double(us) / s_scale.load();
    if (pause_spins(us)) {
        spin_ns(uint64_t(scaled * 1000.0));
        return;
    }
    struct timespec ts;
    ts.tv_sec = time_t(scaled / 1e6);
    ts.tv_nsec = long((scaled - double(ts.tv_sec) * 1e6) * 1000.0);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

double time_scale() { return s_scale.load(); }
void set_time_scale(double scale) { s_scale.store(scale < 1.0 ? 1.0 : scale); }

uint64_t mono_us() {
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

void sleep_us(uint64_t us) {
    const SleepObserverFn fn = s_sleep_observer.load(std::memory_order_relaxed);
    if (!fn) return pause_for(us);
    const uint64_t t0 = mono_us();
    pause_for(us);
    fn(us, mono_us() - t0);
}

void sleep_ms(uint64_t ms) { sleep_us(ms * 1000u); }
void sleep_s(unsigned s) { sleep_us(uint64_t(s) * 1000000u); }

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
    const auto real = std::chrono::nanoseconds(uint64_t(double(us) * 1000.0 / s_scale.load()));
    std::unique_lock<std::mutex> lock(mu_);
    const bool woken = cv_.wait_for(lock, real, [this] { return signalled_; });
    signalled_ = false;
    lock.unlock();
    if (SleepObserverFn fn = s_sleep_observer.load(std::memory_order_relaxed)) fn(us, mono_us() - t0);
    return woken;
}

void Wakeup::signal() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        signalled_ = true;
    }
    cv_.notify_all();
}

}  // namespace kos
