#include "os/os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kos {

struct Window {
    volatile uint32_t *base = nullptr;  // plain storage or real registers
    ActiveWindow *active = nullptr;     // emulated device that acts
    uint32_t phys = 0;
    uint32_t size = 0;
};

namespace {

std::mutex &active_lock() {
    static std::mutex m;
    return m;
}
std::map<uint32_t, ActiveFactory> &active_registry() {
    // Never destroyed, like the windows made from it.
    static std::map<uint32_t, ActiveFactory> &r = *new std::map<uint32_t, ActiveFactory>;
    return r;
}

MemGate *s_mem_gate = nullptr;

}  // namespace

void register_mem_gate(MemGate *gate) { s_mem_gate = gate; }

int mem_open(int extra_flags) {
#if KMX_EMULATION
    if (emulated()) {
        sim_devices_ready();
        if (const int e = s_mem_gate ? s_mem_gate->open_error() : 0) {
            errno = e;
            return -1;
        }
        return open("/dev/null", O_RDWR | O_CLOEXEC);
    }
#endif
    return open("/dev/mem", O_RDWR | O_CLOEXEC | extra_flags);
}

void mem_close(int fd) {
    if (fd >= 0) close(fd);
}

Window *window_map(int mem_fd, const char *name, uint32_t phys, uint32_t size) {
    (void)name;
    auto *w = new Window;
    w->phys = phys;
    w->size = size;
#if KMX_EMULATION
    if (emulated()) {
        sim_devices_ready();
        if (const int e = s_mem_gate ? s_mem_gate->map_error(phys) : 0) {
            delete w;
            errno = e;
            return nullptr;
        }
        ActiveFactory factory = nullptr;
        {
            std::lock_guard<std::mutex> g(active_lock());
            auto it = active_registry().find(phys);
            if (it != active_registry().end()) factory = it->second;
        }
        if (factory) w->active = factory(phys, size);
        if (!w->active) {
            const Emulation *e = emulation();
            w->base = e->map_plain_window ? e->map_plain_window(phys, size) : nullptr;
        }
        if (!w->active && !w->base) {
            delete w;
            return nullptr;
        }
        return w;
    }
#endif
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd, off_t(phys));
    if (p == MAP_FAILED) {
        int e = errno;
        delete w;
        errno = e;
        return nullptr;
    }
    w->base = static_cast<volatile uint32_t *>(p);
    return w;
}

void window_unmap(Window *w) {
    if (!w) return;
    if (w->base) munmap(const_cast<uint32_t *>(w->base), w->size);
    delete w->active;
    delete w;
}

uint32_t window_read32(const Window *w, uint32_t off) {
    if (!w) return 0;
    off &= (w->size - 1) & ~3u;
    if (w->active) return w->active->read32(off);
    return w->base ? w->base[off / 4] : 0;
}

void window_write32(Window *w, uint32_t off, uint32_t val) {
    if (!w) return;
    off &= (w->size - 1) & ~3u;
    if (w->active)
        w->active->write32(off, val);
    else if (w->base)
        w->base[off / 4] = val;
}

Window *SharedWindow::replace(Window *next) {
    Window *w = win_.exchange(next);
    // An access that counted itself in before the exchange may still hold
    // the old window; one that counts in after it sees nullptr.
    while (users_.load() != 0) sched_yield();
    return w;
}

uint32_t SharedWindow::read32(uint32_t off) const {
    users_.fetch_add(1);
    const uint32_t v = window_read32(win_.load(), off);
    users_.fetch_sub(1);
    return v;
}

void SharedWindow::write32(uint32_t off, uint32_t val) {
    users_.fetch_add(1);
    window_write32(win_.load(), off, val);
    users_.fetch_sub(1);
}

void *window_base(const Window *w) {
    if (!w) return nullptr;
    return w->base ? const_cast<uint32_t *>(w->base) : static_cast<void *>(w->active);
}

uint32_t window_size(const Window *w) { return w ? w->size : 0; }

void register_active_window(uint32_t phys, ActiveFactory factory) {
    std::lock_guard<std::mutex> g(active_lock());
    active_registry()[phys] = factory;
}

ActiveFactory active_window_factory(uint32_t phys) {
    std::lock_guard<std::mutex> g(active_lock());
    auto it = active_registry().find(phys);
    return it == active_registry().end() ? nullptr : it->second;
}

}  // namespace kos
