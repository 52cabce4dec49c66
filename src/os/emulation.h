// The one place where an emulated machine plugs into this layer. The layer
// knows nothing of the emulation: the emulation installs itself (from a
// static constructor, before main) with install_emulation, and registers its
// active register windows here and its device nodes through
// register_emulated_device (ioctl_dev.h), register_emulated_spi (spi.h) and
// register_sysfs_hook (sysfs.h) when register_devices is called.
//
// Nothing is installed in a board build (KMX_EMULATION off): every call here
// then takes the plain Linux path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct i2c_msg;

namespace kos {

// A window whose reads and writes act (an emulated register block).
class ActiveWindow {
public:
    virtual ~ActiveWindow() = default;
    virtual uint32_t read32(uint32_t off) = 0;
    virtual void write32(uint32_t off, uint32_t val) = 0;
};
using ActiveFactory = ActiveWindow *(*)(uint32_t phys, uint32_t size);
void register_active_window(uint32_t phys, ActiveFactory factory);
// The factory registered for `phys`, or nullptr (a recorder can wrap it).
ActiveFactory active_window_factory(uint32_t phys);

// Emulated failures of the physical-memory device: an errno value when the
// open (or the mapping of the window at `phys`) is to fail, else 0.
class MemGate {
public:
    virtual ~MemGate() = default;
    virtual int open_error() = 0;
    virtual int map_error(uint32_t phys) = 0;
};
void register_mem_gate(MemGate *gate);

// What the emulation answers for. Results follow the Linux calls they stand
// for (-1 or false with errno set on failure).
struct Emulation {
    // Registers the machine's windows and device nodes; called once per
    // process before the first device of any kind is opened or mapped.
    void (*register_devices)();
    // Machine time runs this many times faster than real time (the clock's
    // scale from the start of the process); at least 1.
    double (*time_scale)();
    // Backing store of a register window no active device claims (plain
    // registers that keep what is written); nullptr with errno on failure.
    volatile uint32_t *(*map_plain_window)(uint32_t phys, uint32_t size);
    // The supply's I2C bus.
    bool (*i2c_present)(const char *path);
    int (*i2c_transfer)(struct i2c_msg *msgs, int n);
    // Regulator UARTs: whether the line exists, and the bytes written
    // during one open (handed over at close).
    bool (*tty_present)(const char *path);
    void (*tty_received)(const char *path, const uint8_t *data, size_t len);
    // Path-addressed ioctl devices (the VID generator).
    int (*ioctl_device)(const char *path, unsigned long request, unsigned long arg);
    // Raw flash partitions.
    bool (*mtd_erase)(const char *path, uint32_t off, uint32_t len);
    int (*mtd_open)(const char *path);
    long (*mtd_read)(int fd, void *buf, size_t len, uint32_t off);
    long (*mtd_program)(int fd, const void *buf, size_t len, uint32_t off);
};

// Installs the emulation (the table must outlive the process). It takes
// effect in processes that run inside a machine (KMX_MACHINE set); there it
// also sets the clock's scale.
void install_emulation(const Emulation *emulation);
// The installed emulation when this process runs inside a machine, else
// nullptr.
const Emulation *emulation();
// True when this process runs inside an emulated machine.
bool emulated();
// Registers the emulated machine's devices, once per process, before the
// first device of any kind is opened or mapped.
void sim_devices_ready();
// The machine's state folder (KMX_SIM_DIR, "/run/sim" by default).
std::string sim_dir();
// Path of the shared backing file of a plain-storage window.
std::string sim_mem_path(uint32_t phys);

}  // namespace kos
