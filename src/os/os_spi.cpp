#include "os/spi.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

#include "os/emulated_fds.h"
#include "os/os.h"

namespace kos {

namespace {

struct SpiRegistry {
    std::mutex lock;
    SpiFactory factory = nullptr;
    EmulatedFds<EmulatedSpi> open;
};

SpiRegistry &registry() {
    // Never destroyed: threads may still use a device while the process
    // runs its exit handlers.
    static SpiRegistry &r = *new SpiRegistry;
    return r;
}

#if KMX_EMULATION
std::shared_ptr<EmulatedSpi> emulated_fd(int fd) { return registry().open.find(fd); }

long result(long r) {
    if (r >= 0) return r;
    errno = int(-r);
    return -1;
}
#endif

}  // namespace

void register_emulated_spi(SpiFactory factory) {
    std::lock_guard<std::mutex> g(registry().lock);
    registry().factory = factory;
}

int spi_open(const char *path) {
#if KMX_EMULATION
    if (emulated()) {
        sim_devices_ready();
        SpiFactory factory;
        {
            std::lock_guard<std::mutex> g(registry().lock);
            factory = registry().factory;
        }
        if (!factory) {
            errno = ENOENT;
            return -1;
        }
        return registry().open.adopt(factory(path));
    }
#endif
    return open(path, O_RDWR | O_CLOEXEC);
}

int spi_ioctl(int fd, unsigned long request, void *arg) {
#if KMX_EMULATION
    if (auto dev = emulated_fd(fd)) return int(result(dev->ioctl(request, arg)));
#endif
    return ioctl(fd, request, arg);
}

long spi_write(int fd, const void *buf, size_t n) {
#if KMX_EMULATION
    if (auto dev = emulated_fd(fd)) return result(dev->write(static_cast<const uint8_t *>(buf), n));
#endif
    return long(write(fd, buf, n));
}

long spi_read(int fd, void *buf, size_t n) {
#if KMX_EMULATION
    if (auto dev = emulated_fd(fd)) return result(dev->read(static_cast<uint8_t *>(buf), n));
#endif
    return long(read(fd, buf, n));
}

std::string board_sysfs_path(const char *path) {
#if KMX_EMULATION
    if (emulated()) {
        sim_devices_ready();
        return sim_dir() + path;
    }
#endif
    return path;
}

void spi_close(int fd) {
    if (fd < 0) return;
#if KMX_EMULATION
    registry().open.forget(fd);
#endif
    close(fd);
}

}  // namespace kos
