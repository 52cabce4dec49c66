#include "os/os.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace kos {

void terminate(int status) {
    fflush(nullptr);
    // An end that comes while the end signals are caught (a start-up step
    // that cannot go on) ends by a signal noted meanwhile, as the program's
    // release of them would have: its caller reads the signal's status.
    release_end_signals();
    exit(status);
}

void halt_forever() {
    for (;;) sleep_s(10);
}

// ---- end signals ------------------------------------------------------------

namespace {

constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Lock-free, so that the handler may use them.
std::atomic<int> s_noted{0};
std::atomic<int> s_wake_rd{-1};
std::atomic<int> s_wake_wr{-1};
bool s_caught[NSIG];
struct sigaction s_before[NSIG];

// Notes the first end signal and wakes a wait on the pipe; errno is the
// interrupted code's.
void note_end(int sig) {
    const int saved = errno;
    int none = 0;
    s_noted.compare_exchange_strong(none, sig);
    const int fd = s_wake_wr.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);  // a full pipe is readable already
    }
    errno = saved;
}

}  // namespace

void catch_end_signals() {
    if (s_wake_rd.load() < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            s_wake_wr.store(fds[1]);
            s_wake_rd.store(fds[0]);
        }
    }
    struct sigaction note {};
    note.sa_handler = note_end;
    sigemptyset(&note.sa_mask);
    note.sa_flags = 0;  // an interrupted call returns: no step waits on past the signal
    for (int sig : kEndSignals) {
        if (s_caught[sig]) continue;
        struct sigaction cur {};
        s_caught[sig] = sigaction(sig, nullptr, &cur) == 0 && !(cur.sa_flags & SA_SIGINFO) &&
                        cur.sa_handler == SIG_DFL && sigaction(sig, &note, &s_before[sig]) == 0;
    }
}

int end_signal() { return s_noted.load(); }

int end_signal_fd() { return s_wake_rd.load(); }

void release_end_signals() {
    for (int sig : kEndSignals) {
        if (!s_caught[sig]) continue;
        sigaction(sig, &s_before[sig], nullptr);
        s_caught[sig] = false;
    }
    // Caught, so its action before was the default: it ends the process.
    if (const int sig = s_noted.load()) raise(sig);
}

}  // namespace kos
