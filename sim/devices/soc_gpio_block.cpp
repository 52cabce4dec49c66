#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "drv/soc_gpio.h"
#include "drv/soc_pads.h"
#include "os/os.h"
#include "sim/devices/gpio_devices.h"
#include "sim/devices/machine_desc.h"

namespace sim {

volatile uint32_t *map_window_file(uint32_t phys, size_t bytes) {
    const std::string path = kos::sim_mem_path(phys);
    mkdir((kos::sim_dir() + "/mem").c_str(), 0755);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || (st.st_size < off_t(bytes) && ftruncate(fd, off_t(bytes)) != 0)) {
        close(fd);
        return nullptr;
    }
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<volatile uint32_t *>(p);
}

namespace {

constexpr size_t kFileSize = 2 * kSocGpioExternal;

volatile uint32_t *map_block() { return map_window_file(SOC_GPIO_PHY, kFileSize); }

// Input word offset -> its port's data word offset, 0xFFFF when none.
constexpr uint32_t data_of_input(uint32_t in_off) {
    for (const soc_pads::Run &r : soc_pads::kRuns)
        if (r.in_off == in_off) return r.data_off;
    return 0xFFFF;
}

constexpr int kPlugPads[8] = {39, 43, 47, 75, 79, 83, 155, 151};
constexpr int kLedPads[8] = {38, 42, 46, 74, 78, 82, 156, 152};
constexpr int kPowerPads[8] = {170, 169, 168, 167, 166, 165, 164, 163};
constexpr int kResetPads[8] = {37, 41, 45, 73, 77, 81, 157, 153};

// The test fixture loops each chain's output lines back to its plug input:
// once it has seen the chain's LED line driven high and then low, it pulls
// the plug input low ("pulse_stuck": true on the fixture board: never).
class SocGpioBlock : public kos::ActiveWindow {
public:
    explicit SocGpioBlock(volatile uint32_t *mem) : mem_(mem) {
        for (int c = 0; c < 8; c++) {
            json_t *b = board_in_slot(c);
            loops_back_[c] = b && desc_bool(b, "fixture", false) && !desc_bool(b, "pulse_stuck", false);
        }
    }
    ~SocGpioBlock() override { munmap(const_cast<uint32_t *>(mem_), kFileSize); }

    uint32_t read32(uint32_t off) override {
        const uint32_t data = data_of_input(off);
        if (data == 0xFFFF) return word(off);
        const uint32_t dir = word(data + 4);
        return (word(data) & dir) | (word(kSocGpioExternal + off) & ~dir);
    }
    void write32(uint32_t off, uint32_t val) override {
        if (data_of_input(off) != 0xFFFF) return;  // input words are read-only
        mem_[off / 4] = val;
        for (int c = 0; c < 8; c++) {
            const soc_pads::PadLoc &led = soc_pads::kPads[kLedPads[c]];
            if (!loops_back_[c] || (off != led.data_off && off != led.data_off + 4u)) continue;
            const bool out = (word(led.data_off + 4) >> led.bit) & 1;
            const bool high = out && ((word(led.data_off) >> led.bit) & 1);
            if (high) seen_high_[c] = true;
            if (out && !high && seen_high_[c]) {
                const soc_pads::PadLoc &plug = soc_pads::kPads[kPlugPads[c]];
                volatile uint32_t &w = mem_[(kSocGpioExternal + plug.in_off) / 4];
                w = w & ~(1u << plug.bit);
            }
        }
    }

private:
    uint32_t word(uint32_t off) const { return mem_[off / 4]; }
    volatile uint32_t *mem_;
    bool loops_back_[8] = {};
    bool seen_high_[8] = {};
};

}  // namespace

kos::ActiveWindow *make_soc_gpio_block(uint32_t, uint32_t) {
    volatile uint32_t *mem = map_block();
    return mem ? new SocGpioBlock(mem) : nullptr;
}

bool soc_pad_set_external(int pad, int level) {
    if (pad < 0 || pad >= soc_pads::kPadCount) return false;
    volatile uint32_t *mem = map_block();
    if (!mem) return false;
    const soc_pads::PadLoc &p = soc_pads::kPads[pad];
    volatile uint32_t &w = mem[(kSocGpioExternal + p.in_off) / 4];
    w = level ? (w | (1u << p.bit)) : (w & ~(1u << p.bit));
    munmap(const_cast<uint32_t *>(mem), kFileSize);
    return true;
}

int soc_pad_output(int pad) {
    if (pad < 0 || pad >= soc_pads::kPadCount) return -1;
    volatile uint32_t *mem = map_block();
    if (!mem) return -1;
    const soc_pads::PadLoc &p = soc_pads::kPads[pad];
    const int v = int((mem[p.data_off / 4] >> p.bit) & 1u);
    munmap(const_cast<uint32_t *>(mem), kFileSize);
    return v;
}

bool soc_chain_lines_on(int slot) {
    if (slot < 0 || slot >= 8) return false;
    // Mapped once per process: the engine asks on every frame.
    static volatile uint32_t *const mem = map_block();
    if (!mem) return false;
    auto driven_high = [](int pad) {
        const soc_pads::PadLoc &p = soc_pads::kPads[pad];
        const uint32_t bit = 1u << p.bit;
        return (mem[(p.data_off + 4) / 4] & bit) && (mem[p.data_off / 4] & bit);
    };
    return driven_high(kPowerPads[slot]) && driven_high(kResetPads[slot]);
}

bool soc_pads_boot() {
    bool ok = true;
    // A board pulls its plug line low; the test fixture leaves it high.
    for (int slot = 0; slot < 8; slot++) {
        json_t *b = board_in_slot(slot);
        ok &= soc_pad_set_external(kPlugPads[slot], b && !desc_bool(b, "fixture", false) ? 0 : 1);
    }
    ok &= soc_pad_set_external(69, desc_bool(machine_desc(), "button_pressed", false) ? 0 : 1);
    json_t *straps = json_object_get(machine_desc(), "straps");
    const long long code = desc_int(straps, "board_code", 0), vendor = desc_int(straps, "vendor", 0);
    const int code_pads[4] = {146, 145, 144, 161};  // bit 0 .. bit 3
    for (int b = 0; b < 4; b++) ok &= soc_pad_set_external(code_pads[b], int((code >> b) & 1));
    ok &= soc_pad_set_external(159, int(vendor & 1));
    ok &= soc_pad_set_external(160, int((vendor >> 1) & 1));
    return ok;
}

}  // namespace sim
