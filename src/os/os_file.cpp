#include "os/os.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kos {

namespace {

constexpr char kTempMark[] = ".tmp";
constexpr size_t kTempTail = 6;  // the characters mkstemp fills in

// Flush the directory entry the rename made: without it a power cut can
// bring back the old name, or no file at all, on flash.
void sync_dir_of(const char *target) {
    std::string dir(target);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    fsync(dfd);
    close(dfd);
}

// The signals whose default action ends the process (SIGKILL and SIGSTOP
// aside, which nothing can hold). The faults a program raises itself
// (SIGSEGV, SIGSYS, ...) stay out: holding them back would hang it.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,   SIGPIPE,
                                  SIGALRM, SIGPOLL,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGSTKFLT, SIGPWR};

// A mask blocks a signal in one thread only: the kernel hands a signal sent
// to the process to any thread that does not block it, and its default
// action then ends every thread, the writer's in the middle of its write.
// While any write is under way, the ending signals whose action is still the
// default are caught by a handler that only notes them; when the last write
// is done their default comes back and the first one noted is sent again,
// so the process ends as it would have, only after the rename. Signals the
// program handles or ignores itself are left as they are.
pthread_mutex_t s_hold_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> s_writers{0};
bool s_held[NSIG];
std::atomic<int> s_noted{0};

// A signal taken just as the last write gave the defaults back may be noted
// after that write looked: it is sent again from here, to its default now.
void note_signal(int sig) {
    int none = 0;
    s_noted.compare_exchange_strong(none, sig);
    if (s_writers.load() == 0) kill(getpid(), sig);
}

// The default action back for every signal the handler took over.
void give_back_defaults() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig : kEndingSignals)
        if (s_held[sig]) sigaction(sig, &dfl, nullptr);
}

// Every signal but the faults a program raises itself.
void all_but_faults(sigset_t *set) {
    sigfillset(set);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(set, sig);
}

// A child forked while a write is under way in another thread has no write
// of its own: it starts with the default actions back and nothing held.
// The forking thread blocks the signals across the fork, so that one sent
// to the child at once waits for its defaults instead of being noted.
thread_local sigset_t t_fork_mask;
void hold_before_fork() {
    sigset_t all;
    all_but_faults(&all);
    pthread_sigmask(SIG_BLOCK, &all, &t_fork_mask);
    pthread_mutex_lock(&s_hold_lock);
}
void hold_after_fork_parent() {
    pthread_mutex_unlock(&s_hold_lock);
    pthread_sigmask(SIG_SETMASK, &t_fork_mask, nullptr);
}
void hold_after_fork_child() {
    if (s_writers.load() > 0) give_back_defaults();
    s_writers.store(0);
    s_noted.store(0);
    pthread_mutex_unlock(&s_hold_lock);
    pthread_sigmask(SIG_SETMASK, &t_fork_mask, nullptr);
}

void hold_ending_signals() {
    static pthread_once_t fork_hooks = PTHREAD_ONCE_INIT;
    pthread_once(&fork_hooks, [] { pthread_atfork(hold_before_fork, hold_after_fork_parent, hold_after_fork_child); });
    pthread_mutex_lock(&s_hold_lock);
    if (s_writers.fetch_add(1) == 0) {
        struct sigaction note {};
        note.sa_handler = note_signal;
        sigfillset(&note.sa_mask);
        note.sa_flags = SA_RESTART;
        for (int sig : kEndingSignals) {
            struct sigaction cur {};
            s_held[sig] = sigaction(sig, nullptr, &cur) == 0 && !(cur.sa_flags & SA_SIGINFO) &&
                          cur.sa_handler == SIG_DFL && sigaction(sig, &note, nullptr) == 0;
        }
    }
    pthread_mutex_unlock(&s_hold_lock);
}

// Returns the signal noted while the last write was under way (0 if none).
int release_ending_signals() {
    int noted = 0;
    pthread_mutex_lock(&s_hold_lock);
    if (s_writers.load() == 1) {
        give_back_defaults();
        s_writers.store(0);
        noted = s_noted.exchange(0);
    } else {
        s_writers.fetch_sub(1);
    }
    pthread_mutex_unlock(&s_hold_lock);
    return noted;
}

}  // namespace

bool write_file_atomic(const char *path, std::string_view data) {
    // Follow a symlink so the link itself survives and its target is replaced.
    char real[PATH_MAX];
    const char *target = path;
    if (realpath(path, real) != nullptr) target = real;

    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s%sXXXXXX", target, kTempMark) >= int(sizeof tmp)) {
        errno = ENAMETOOLONG;
        return false;
    }
    // A replaced file keeps its permissions; a new one is rw-r--r--.
    mode_t mode = 0644;
    struct stat old {};
    if (stat(target, &old) == 0 && S_ISREG(old.st_mode)) mode = old.st_mode & 07777;

    // The temporary file must not outlive this call on any path a signal
    // can take, whichever thread the signal reaches: the ending signals are
    // blocked in this thread and held back in the others while it exists.
    // A kill -9 or a power cut can still leave one; remove_write_leftovers
    // clears those.
    sigset_t all, saved;
    all_but_faults(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    hold_ending_signals();
    // The signals held back end the process now, as they would have then.
    auto done_with_signals = [&] {
        if (const int sig = release_ending_signals()) kill(getpid(), sig);
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    };
    auto fail = [&](int fd, bool unlink_tmp) {
        const int e = errno;
        if (fd >= 0) close(fd);
        if (unlink_tmp) unlink(tmp);
        done_with_signals();
        errno = e;
        return false;
    };
    int fd = mkstemp(tmp);
    if (fd < 0) return fail(-1, false);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(fd, true);
        }
        done += size_t(n);
    }
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0) return fail(fd, true);
    if (close(fd) != 0) return fail(-1, true);
    if (rename(tmp, target) != 0) return fail(-1, true);
    sync_dir_of(target);
    done_with_signals();
    return true;
}

bool is_write_leftover(const char *name, const char *base) {
    const size_t blen = strlen(base);
    const size_t mlen = sizeof kTempMark - 1;
    if (strncmp(name, base, blen) != 0) return false;
    const char *rest = name + blen;
    if (strncmp(rest, kTempMark, mlen) != 0) return false;
    rest += mlen;
    if (strlen(rest) != kTempTail) return false;
    for (const char *c = rest; *c; c++)
        if (!isalnum((unsigned char)*c)) return false;
    return true;
}

int remove_write_leftovers(const char *path) {
    char real[PATH_MAX];
    const char *target = realpath(path, real) != nullptr ? real : path;
    std::string dir(target);
    const size_t slash = dir.rfind('/');
    const std::string base = slash == std::string::npos ? dir : dir.substr(slash + 1);
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    DIR *d = opendir(dir.c_str());
    if (!d) return 0;
    int removed = 0;
    while (struct dirent *e = readdir(d)) {
        if (!is_write_leftover(e->d_name, base.c_str())) continue;
        const std::string full = dir + "/" + e->d_name;
        struct stat st {};
        if (lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(full.c_str()) == 0) removed++;
    }
    closedir(d);
    return removed;
}

int remove_write_leftovers_once(const char *path) {
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    // Never destroyed: writers may run while the process exits.
    static std::set<std::string> &done = *new std::set<std::string>;
    pthread_mutex_lock(&lock);
    const bool first = done.insert(path).second;
    pthread_mutex_unlock(&lock);
    return first ? remove_write_leftovers(path) : 0;
}

namespace {
pthread_mutex_t s_conf_threads = PTHREAD_MUTEX_INITIALIZER;
}

ConfLock::ConfLock() {
    pthread_mutex_lock(&s_conf_threads);
    // Opened anew for each hold: the lock belongs to this open file, and
    // O_CLOEXEC keeps it out of the programs this process starts.
    int fd = open(kConfLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int rc = fd < 0 ? -1 : 0;
    if (fd >= 0)
        while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
    if (rc != 0) {
        const int e = errno;
        if (fd >= 0) close(fd);
        pthread_mutex_unlock(&s_conf_threads);
        errno = e;
        return;
    }
    fd_ = fd;
}

ConfLock::~ConfLock() {
    if (fd_ < 0) return;
    // Unlocked explicitly: a child forked meanwhile by another thread shares
    // the open file until it execs, and closing alone would leave it locked.
    flock(fd_, LOCK_UN);
    close(fd_);
    pthread_mutex_unlock(&s_conf_threads);
}

bool read_file(const char *path, std::string &out, size_t limit) {
    out.clear();
    FILE *fp = fopen(path, "rb");
    if (!fp) return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0 && out.size() < limit)
        out.append(buf, std::min(n, limit - out.size()));
    fclose(fp);
    return true;
}

}  // namespace kos
