// A thread or program that has reached a file lock (flock or fcntl) another
// holds: read from the kernel's wait channel of each thread, so that a test
// holding the lock knows the other side is blocked on it before it lets go,
// however slow the host.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

// The wait channels of a thread blocked on a file lock (an extended regular
// expression): flock's, and fcntl's (F_SETLKW, F_OFD_SETLKW).
inline const std::string kLockWaitChannel = "^((locks|flock)_lock_(inode|file)_wait|fcntl_setlk)";

// A shell condition, true while some thread in the machine waits for a
// file lock: how a script holding a lock learns that a program has reached it.
inline const std::string kWaitsOnLock = "grep -qE '" + kLockWaitChannel + "' /proc/[0-9]*/task/*/wchan 2>/dev/null";

// True while thread `tid` of this process waits for a file lock.
bool thread_waits_on_lock(pid_t tid);

// Runs `body` on a thread of its own; the test, holding a lock that body
// takes, asks reached_lock() before it lets go. Joined at the end.
class LockWaiter {
public:
    explicit LockWaiter(std::function<void()> body);
    ~LockWaiter();
    LockWaiter(const LockWaiter &) = delete;
    LockWaiter &operator=(const LockWaiter &) = delete;
    // Success once the thread waits for a file lock; a failure when body
    // ended without waiting for one, or had not reached one after
    // `host_s` seconds of the host's time.
    testing::AssertionResult reached_lock(int host_s = 120);
    void join();

private:
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};
