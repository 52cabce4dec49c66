#include "support/lock_wait.h"

#include <regex.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

bool thread_waits_on_lock(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/wchan");
    std::string channel;
    std::getline(in, channel);
    // The POSIX reader of extended expressions, as grep -E reads them.
    static regex_t lock_wait;
    static const bool compiled = regcomp(&lock_wait, kLockWaitChannel.c_str(), REG_EXTENDED | REG_NOSUB) == 0;
    return compiled && regexec(&lock_wait, channel.c_str(), 0, nullptr, 0) == 0;
}

LockWaiter::LockWaiter(std::function<void()> body)
    : thread_([this, body = std::move(body)] {
          tid_ = gettid();
          body();
          done_ = true;
      }) {}

LockWaiter::~LockWaiter() { join(); }

void LockWaiter::join() {
    if (thread_.joinable()) thread_.join();
}

testing::AssertionResult LockWaiter::reached_lock(int host_s) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(host_s);
    for (;;) {
        const pid_t tid = tid_;
        if (tid != 0 && thread_waits_on_lock(tid)) return testing::AssertionSuccess();
        if (done_) return testing::AssertionFailure() << "the thread ended without waiting for a file lock";
        if (std::chrono::steady_clock::now() >= give_up)
            return testing::AssertionFailure() << "the thread waited for no file lock within " << host_s
                                               << " s of the host's time";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
