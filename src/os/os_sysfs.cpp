#include "os/sysfs.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>

#include "os/os.h"


namespace kos {

namespace {

struct Hooks {
    std::mutex lock;
    std::map<std::string, SysfsWriteHook> by_path;
    std::map<int, SysfsWriteHook> by_fd;
};

Hooks &hooks() {
    // Never destroyed: a thread may still write a sysfs file at exit.
    static Hooks &h = *new Hooks;
    return h;
}

}  // namespace

void register_sysfs_hook(const char *path, SysfsWriteHook hook) {
    std::lock_guard<std::mutex> g(hooks().lock);
    hooks().by_path[path] = hook;
}

int sysfs_open(const char *path, int flags) {
    int fd = open(path, flags | O_CLOEXEC);
#if KMX_EMULATION
    if (fd >= 0 && emulated()) {
        sim_devices_ready();
        std::lock_guard<std::mutex> g(hooks().lock);
        auto it = hooks().by_path.find(path);
        if (it != hooks().by_path.end()) hooks().by_fd[fd] = it->second;
    }
#endif
    return fd;
}

ssize_t sysfs_write(int fd, const void *buf, size_t n) {
#if KMX_EMULATION
    SysfsWriteHook hook = nullptr;
    {
        std::lock_guard<std::mutex> g(hooks().lock);
        auto it = hooks().by_fd.find(fd);
        if (it != hooks().by_fd.end()) hook = it->second;
    }
    if (hook) {
        int err = hook(static_cast<const char *>(buf), n);
        if (err) {
            errno = err;
            return -1;
        }
        return ssize_t(n);
    }
#endif
    return write(fd, buf, n);
}

ssize_t sysfs_read(int fd, void *buf, size_t n) { return read(fd, buf, n); }

void sysfs_close(int fd) {
    if (fd < 0) return;
#if KMX_EMULATION
    {
        std::lock_guard<std::mutex> g(hooks().lock);
        hooks().by_fd.erase(fd);
    }
#endif
    close(fd);
}

}  // namespace kos
