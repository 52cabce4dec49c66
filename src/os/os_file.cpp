#include "os/os.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
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
    // can take: block the terminating signals while it exists. A kill -9 or
    // a power cut can still leave one; remove_write_leftovers clears those.
    sigset_t all, saved;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    auto fail = [&](int fd, bool unlink_tmp) {
        const int e = errno;
        if (fd >= 0) close(fd);
        if (unlink_tmp) unlink(tmp);
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
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
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
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
