// Installs the emulated machine into the os layer before main runs. The
// os layer never names the emulation; the build links this file into every
// program (see kmx_emulation in CMakeLists.txt) by asking for the symbol
// below.
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/refusal.h"
#include "sim/devices/sim_devices.h"

namespace sim {
namespace {

// KMX_TIME_SCALE=N (1..1e6, 200 when sim/machine starts the program) makes
// the machine's time run N times faster than real time. A value that is not
// such a number is refused (the run fails) and time runs at real speed.
double time_scale_from_env() {
    const char *s = getenv("KMX_TIME_SCALE");
    if (!s || !*s) return 1.0;
    char *end = nullptr;
    errno = 0;
    const double v = strtod(s, &end);
    if (end != s && !*end && !errno && v >= 1.0 && v <= 1e6) return v;
    refuse(std::string("KMX_TIME_SCALE must be a number from 1 to 1000000, not \"") + s + "\"");
    return 1.0;
}

// Plain registers: a file under <sim dir>/mem shared by every process of
// the machine, so that kmx-sim peek and poke see what the programs wrote.
volatile uint32_t *map_plain_window(uint32_t phys, uint32_t size) {
    const std::string dir = kos::sim_dir() + "/mem";
    mkdir(dir.c_str(), 0755);
    const std::string path = kos::sim_mem_path(phys);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size < off_t(size)) {
        if (ftruncate(fd, off_t(size)) != 0) {
            const int e = errno;
            close(fd);
            errno = e;
            return nullptr;
        }
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int e = errno;
    close(fd);
    errno = e;
    return p == MAP_FAILED ? nullptr : static_cast<volatile uint32_t *>(p);
}

const kos::Emulation kMachine = {
    register_devices,
    time_scale_from_env,
    map_plain_window,
    [](const char *) { return psu_present(); },
    psu_transfer,
    [](const char *path) { return tty_present(path); },
    [](const char *path, const uint8_t *data, size_t len) { uart_received(path, data, len); },
    [](const char *path, unsigned long request, unsigned long arg) { return ioctl_device(path, request, arg); },
    [](const char *path, uint32_t off, uint32_t len) { return mtd_erase(path, off, len); },
    [](const char *path) { return mtd_open(path); },
    mtd_read,
    mtd_program,
};

struct Installer {
    Installer() { kos::install_emulation(&kMachine); }
} s_installer;

}  // namespace
}  // namespace sim

// Named by the link (--undefined) so that this file, and with it the whole
// emulation, is taken from the archive.
extern "C" {
extern const int kmx_emulation_linked;
const int kmx_emulation_linked = 1;
}
