#include "os/ioctl_dev.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "os/emulated_fds.h"
#include "os/os.h"


namespace kos {

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, DeviceFactory> factories;
    EmulatedFds<EmulatedDevice> open;
};

Registry &registry() {
    // Never destroyed: threads may still use a device while the process
    // runs its exit handlers.
    static Registry &r = *new Registry;
    return r;
}

#if KMX_EMULATION
std::shared_ptr<EmulatedDevice> emulated_fd(int fd) { return registry().open.find(fd); }

int result(int r) {
    if (r == 0) return 0;
    errno = -r;
    return -1;
}
#endif

}  // namespace

void register_emulated_device(const char *path, DeviceFactory factory) {
    std::lock_guard<std::mutex> g(registry().lock);
    registry().factories[path] = factory;
}

int dev_open(const char *path, int flags) {
#if KMX_EMULATION
    if (emulated()) {
        sim_devices_ready();
        DeviceFactory factory = nullptr;
        {
            std::lock_guard<std::mutex> g(registry().lock);
            auto it = registry().factories.find(path);
            if (it != registry().factories.end()) factory = it->second;
        }
        if (!factory) {
            errno = ENOENT;
            return -1;
        }
        return registry().open.adopt(factory(path));
    }
#endif
    return open(path, flags | O_CLOEXEC);
}

int dev_ioctl_int(int fd, unsigned long request, int value) {
#if KMX_EMULATION
    if (auto dev = emulated_fd(fd)) return result(dev->ioctl_int(request, value));
#endif
    return ioctl(fd, request, value);
}

int dev_ioctl_out(int fd, unsigned long request, int *out) {
#if KMX_EMULATION
    if (auto dev = emulated_fd(fd)) return result(dev->ioctl_out(request, out));
#endif
    return ioctl(fd, request, out);
}

long dev_write(int fd, const void *buf, size_t len) {
#if KMX_EMULATION
    if (auto dev = emulated_fd(fd)) {
        long r = dev->write(buf, len);
        if (r >= 0) return r;
        errno = int(-r);
        return -1;
    }
#endif
    return long(write(fd, buf, len));
}

void dev_close(int fd) {
    if (fd < 0) return;
#if KMX_EMULATION
    registry().open.forget(fd);
#endif
    close(fd);
}

}  // namespace kos
