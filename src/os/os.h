// The one layer between the library and what the board's Linux gives it:
// time, process ending, the shell, register windows and small file helpers.
// The Linux implementation is the board's; with an emulated machine installed
// (emulation.h) and a machine description named in KMX_MACHINE, the same
// calls reach the emulated machine instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/time.h>

#include "os/emulation.h"

namespace kos {

// ---- time ---------------------------------------------------------------
// Every sleep and every monotonic reading goes through here. Under emulation
// KMX_TIME_SCALE=N makes sleeps N times shorter and the monotonic clock N
// times faster, so waiting threads still see each other progress. The wall
// clock (file contents, log stamps) stays real unless a test overrides it.
double time_scale();
void set_time_scale(double scale);
uint64_t mono_us();
uint64_t mono_ms();
// Pauses shorter than kSpinBelowUs (machine time) spin on the monotonic
// clock instead of sleeping: the chip protocol's 1 us pauses would otherwise
// cost the kernel's timer slack each. Longer waits sleep.
inline constexpr uint64_t kSpinBelowUs = 50;
bool pause_spins(uint64_t us);
void sleep_us(uint64_t us);
void sleep_ms(uint64_t ms);
void sleep_s(unsigned s);
// Sees every wait asked of the clock, on the thread that asked it, once the
// wait is over: what was asked and what it took, in machine microseconds. A
// benchmark sums a run's waits to set its wall time against them. nullptr
// (the default) removes it.
using SleepObserverFn = void (*)(uint64_t asked_us, uint64_t taken_us);
void set_sleep_observer(SleepObserverFn fn);
struct timeval wall_time();
using WallClockFn = struct timeval (*)();
void set_wall_clock(WallClockFn fn);  // nullptr restores gettimeofday
// A test's own monotonic clock in microseconds (nullptr restores the real,
// scaled one). Sleeps are not affected.
using MonoClockFn = uint64_t (*)();
void set_mono_clock(MonoClockFn fn);
// A clock a test drives, so that what it checks never depends on the host's
// speed. While one exists the monotonic clock reads it (before a
// set_mono_clock function). A sleep on the thread that made it moves it on
// at once by what was asked, as advance_us does. Any other thread's sleep,
// and a Wakeup wait on any thread, blocks until the clock reaches its end
// (or the Wakeup is signalled): the test moves the clock, then waits with
// wait_sleepers for its threads to be asleep again before it looks. Made and
// ended while no thread waits on the clock; one at a time. A wait on it that
// has not ended after `host_bound_s` seconds of the host's time (an advance
// or a wake-up the test never gives) ends the process with a line on
// standard error that names it.
class TestClock {
public:
    explicit TestClock(uint64_t start_us = uint64_t(1) << 40, int host_bound_s = 300);
    ~TestClock();
    TestClock(const TestClock &) = delete;
    TestClock &operator=(const TestClock &) = delete;
    uint64_t now_us() const;
    void advance_us(uint64_t us);
    // True once at least `n` threads are blocked on the clock for a time
    // still to come; false if they are not after `host_ms` of the host's
    // time (a thread that never waits again), which the test reports.
    bool wait_sleepers(int n, int host_ms = 120000);
};
// Real milliseconds to wait for a peer that the board would give `board_ms`:
// shortened with the clock's scale, yet never below a second when scaled,
// since a loaded test host answers slower than its scaled clock suggests.
int peer_budget_ms(double board_ms);

// ---- ending the process ---------------------------------------------------
// exit() with the status the callers expect; flushes syslog-bound output.
// An end signal noted while caught (catch_end_signals) ends the process by
// that signal instead, so that its status is the signal's.
[[noreturn]] void terminate(int status);
// A start-up step that must not go on: sleep in 10 s steps forever.
[[noreturn]] void halt_forever();

// The end signals (TERM, INT and HUP) of a program that has something to
// undo before it ends: chains it powered, a root it remounted writable.
// catch_end_signals() takes over those whose action is still the default
// (one ignored from the start, as nohup does with HUP, stays ignored) with
// a handler that only notes the signal, restarts no call it interrupts and
// cuts short the waits of sleep_s_unless_ended. The program looks at
// end_signal() between its steps, undoes what it did, then calls
// release_end_signals(): the actions are what they were before, and a
// signal noted meanwhile ends the process there by its default action, so
// that its status is the signal's. Without one noted it returns.
void catch_end_signals();
int end_signal();  // the first end signal noted, 0 while none
// Readable once an end signal is noted (and the handler has run), for a
// wait in poll; -1 before catch_end_signals.
int end_signal_fd();
void release_end_signals();
// sleep_s, cut short by an end signal noted before or during it: true when
// the whole wait passed without one. Under a test clock it is a plain sleep.
bool sleep_s_unless_ended(unsigned s);

// ---- shell ------------------------------------------------------------------
// capture: run through /bin/sh and collect up to `limit` bytes of output;
// false only when the pipe cannot be opened. status: system()'s raw result.
class ShellBackend {
public:
    virtual ~ShellBackend() = default;
    virtual bool capture(const char *cmd, std::string &out, size_t limit) = 0;
    virtual int status(const char *cmd) = 0;
};
bool shell_capture(const char *cmd, std::string &out, size_t limit = 64 * 1024);
int shell_status(const char *cmd);
// nullptr restores the real shell. Test binaries install a recording fake.
void set_shell_backend(ShellBackend *backend);

// ---- register windows -----------------------------------------------------
// A window of physical memory mapped for 32-bit access. Nothing outside this
// layer dereferences a mapped register.
struct Window;
// Opens the physical-memory device (/dev/mem on the board) with O_RDWR and
// the given extra flags; -1 with errno on failure.
int mem_open(int extra_flags);
void mem_close(int fd);
// Maps `size` bytes at `phys` through a descriptor from mem_open. Returns
// nullptr (errno set) on failure; the caller logs and decides.
Window *window_map(int mem_fd, const char *name, uint32_t phys, uint32_t size);
void window_unmap(Window *w);
// A null or unmapped window reads 0 and drops writes: a thread that races
// the teardown must not fault. Offsets are masked to the window.
uint32_t window_read32(const Window *w, uint32_t off);
void window_write32(Window *w, uint32_t off, uint32_t val);
void *window_base(const Window *w);  // the mapped address, for log lines
uint32_t window_size(const Window *w);

// A window that one thread may unmap while others still access it (the
// library's exit against the fan loop and the chain threads). Each access
// counts itself in; retire() hides the window from new accesses and waits
// until the running ones are out before handing it back to be unmapped.
class SharedWindow {
public:
    constexpr SharedWindow() = default;
    SharedWindow(const SharedWindow &) = delete;
    SharedWindow &operator=(const SharedWindow &) = delete;
    Window *current() const { return win_.load(); }
    // Both return the window no access can reach any more (nullptr when
    // none was installed), for the caller to unmap.
    Window *replace(Window *w);
    Window *retire() { return replace(nullptr); }
    uint32_t read32(uint32_t off) const;
    void write32(uint32_t off, uint32_t val);

private:
    std::atomic<Window *> win_{nullptr};
    mutable std::atomic<int> users_{0};
};

// ---- files ------------------------------------------------------------------
// Replace `path` whole: write a temporary file beside it, fsync, rename.
// Readers never see a half-written file.
// The file keeps its mode; the directory is synced after the rename.
bool write_file_atomic(const char *path, std::string_view data);
// Temporary files a killed write_file_atomic left beside `path` (named
// "<name>.tmpXXXXXX"): a program that owns the file removes them when it
// starts, before it writes the file. Returns how many were removed.
int remove_write_leftovers(const char *path);
// The same, done once per path in a process: what the first write of a
// file in a program that owns it calls, so that leftovers of an earlier run
// go when the program starts writing, not during another's write later.
int remove_write_leftovers_once(const char *path);
// True when directory entry `name` is such a leftover of file `base`.
bool is_write_leftover(const char *name, const char *base);
bool read_file(const char *path, std::string &out, size_t limit = 1 << 20);

// Held by every read-modify-write of /config/cgminer.conf, and by every
// rewrite of the network file that the same guard checks, in every program:
// the daemon's server commands, backup guard and network check, its button
// and its start-up sweep of unfinished copies, the factory resets, stepctl
// and the board self-test's network switch. The miner unit's refill of an
// empty file takes no lock: the unit's text is the images' own, which their
// checksum list holds. A mutex among the threads of one process and an
// exclusive flock on kConfLockFile among processes, so that no writer
// replaces the file with a copy read before another's change. Blocks until
// both are held. held() is false when the lock file could not be opened or
// locked (errno tells why): the caller then leaves the file alone. The
// library's holders take it as kmisc::ConfLock, which logs such a failure
// with the line of the holder that takes it.
constexpr const char *kConfLockFile = "/run/cgminer.conf.lock";
class ConfLock {
public:
    ConfLock();
    ~ConfLock();
    ConfLock(const ConfLock &) = delete;
    ConfLock &operator=(const ConfLock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace kos
