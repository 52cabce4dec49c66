#include "os/emulation.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "os/os.h"

namespace kos {
namespace {

// Constant-initialised: the emulation installs itself from a static
// constructor, possibly before this file's own initialisation would run.
std::atomic<const Emulation *> s_installed{nullptr};

bool in_machine() {
    const char *m = getenv("KMX_MACHINE");
    return m && *m;
}

}  // namespace

void install_emulation(const Emulation *e) {
    s_installed.store(e);
    if (e && e->time_scale && in_machine()) set_time_scale(e->time_scale());
}

const Emulation *emulation() {
#if KMX_EMULATION
    static const bool on = [] {
        if (!in_machine()) return false;
        if (!s_installed.load()) {
            // A program built with the emulation but linked without it would
            // otherwise drive the host's own /dev/mem.
            fprintf(stderr, "kmx: KMX_MACHINE is set but no emulated machine is linked into this program\n");
            abort();
        }
        return true;
    }();
    return on ? s_installed.load() : nullptr;
#else
    return nullptr;
#endif
}

bool emulated() { return emulation() != nullptr; }

void sim_devices_ready() {
    const Emulation *e = emulation();
    if (!e || !e->register_devices) return;
    static std::once_flag once;
    std::call_once(once, e->register_devices);
}

std::string sim_dir() {
    const char *d = getenv("KMX_SIM_DIR");
    return (d && *d) ? d : "/run/sim";
}

std::string sim_mem_path(uint32_t phys) {
    char name[32];
    snprintf(name, sizeof name, "/mem/%08x.bin", phys);
    return sim_dir() + name;
}

}  // namespace kos
