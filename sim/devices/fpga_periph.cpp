// The FPGA hub's peripheral window with the control-board test fixture in
// its slots: plain storage over the window's shared file, except that the
// fixture loops each chain's LED line back to its plug input. Once it has
// seen the chain's LED bit (word 0x24, bit c) set and then cleared, it pulls
// the plug input (word 0x28, bit c) low ("pulse_stuck": true: never).
// Without fixture boards the window stays plain storage.
#include <sys/mman.h>

#include "drv/hub.h"
#include "drv/hub_gpio.h"
#include "os/os.h"
#include "sim/devices/gpio_devices.h"
#include "sim/devices/machine_desc.h"

namespace sim {
namespace {

class FixturePeripheral : public kos::ActiveWindow {
public:
    FixturePeripheral(volatile uint32_t *mem, uint32_t size, const bool (&loops)[8]) : mem_(mem), size_(size) {
        for (int c = 0; c < 8; c++) loops_back_[c] = loops[c];
    }
    ~FixturePeripheral() override { munmap(const_cast<uint32_t *>(mem_), size_); }

    uint32_t read32(uint32_t off) override { return mem_[off / 4]; }
    void write32(uint32_t off, uint32_t val) override {
        mem_[off / 4] = val;
        if (off != HUB_LED) return;
        for (int c = 0; c < 8; c++) {
            if (!loops_back_[c]) continue;
            if ((val >> c) & 1) {
                seen_high_[c] = true;
            } else if (seen_high_[c]) {
                volatile uint32_t &in = mem_[HUB_INPUTS / 4];
                in = in & ~(1u << c);
            }
        }
    }

private:
    volatile uint32_t *mem_;
    uint32_t size_;
    bool loops_back_[8] = {};
    bool seen_high_[8] = {};
};

}  // namespace

kos::ActiveWindow *make_fpga_peripheral(uint32_t phys, uint32_t size) {
    bool loops[8] = {};
    bool any = false;
    for (int c = 0; c < 8; c++) {
        json_t *b = board_in_slot(c);
        if (!b || !desc_bool(b, "fixture", false)) continue;
        any = true;
        loops[c] = !desc_bool(b, "pulse_stuck", false);
    }
    if (!any) return nullptr;  // plain storage
    volatile uint32_t *mem = map_window_file(phys, size);
    return mem ? new FixturePeripheral(mem, size, loops) : nullptr;
}

}  // namespace sim
