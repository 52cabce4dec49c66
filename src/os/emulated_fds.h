// Descriptors of emulated devices: each emulated device object is backed by
// a real descriptor (of /dev/null), so the numbers stay unique and close()
// stays honest, and the calls on a descriptor find their object here.
#pragma once

#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace kos {

template <class Dev>
class EmulatedFds {
public:
    // Takes `dev`; -1 (and `dev` deleted) when no descriptor can be had.
    int adopt(Dev *dev) {
        if (!dev) return -1;
        const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            delete dev;
            return -1;
        }
        std::lock_guard<std::mutex> g(lock_);
        open_[fd].reset(dev);
        return fd;
    }
    // Shared, so a close on another thread cannot free an object in use.
    std::shared_ptr<Dev> find(int fd) {
        std::lock_guard<std::mutex> g(lock_);
        auto it = open_.find(fd);
        return it == open_.end() ? nullptr : it->second;
    }
    void forget(int fd) {
        std::lock_guard<std::mutex> g(lock_);
        open_.erase(fd);
    }

private:
    std::mutex lock_;
    std::map<int, std::shared_ptr<Dev>> open_;
};

}  // namespace kos
