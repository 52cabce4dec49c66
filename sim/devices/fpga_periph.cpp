// The FPGA hub's peripheral window: storage over the window's shared file,
// with two devices behind it.
// - The VID pulse generator: a start (word 12, bit 0) sends the waveform of
//   sequence words 132, 136 and 140 to the channels selected in word 16
//   (bits 0-7); each selected board's regulator takes the VID it encodes,
//   and its chips' core voltage follows (see chip.h).
// - The SoC's VID block (its "vid_vid" window), the same pulse generator
//   per channel: a start (word 12, bit c) sends channel c's sequence words
//   (0x80 + 0x20 c + 4, 8, 0xC) to chain c's regulator while the block is
//   on (word 4, bit 0).
// - The control-board test fixture in a slot loops the chain's LED line
//   back to its plug input: once it has seen the chain's LED bit (word 0x24,
//   bit c) set and then cleared, it pulls the plug input (word 0x28, bit c)
//   low ("pulse_stuck": true: never).
#include <sys/mman.h>

#include "drv/hub.h"
#include "drv/hub_gpio.h"
#include "os/os.h"
#include "sim/devices/chip.h"
#include "sim/devices/gpio_devices.h"
#include "sim/devices/machine_desc.h"

namespace sim {
namespace {

constexpr uint32_t kVidStart = 12;
constexpr uint32_t kVidSelect = 16;
constexpr uint32_t kVidSeq0 = 132, kVidSeq1 = 136, kVidSeq2 = 140;

// The VID the three sequence words carry: sixteen 4-bit symbols after the
// 0xFF lead-in, bit i of the VID sent as symbol i (7 for a one, 1 for a
// zero) and its complement as symbol 8 + i. -1 when a pair does not agree.
int decode_vid_waveform(uint32_t s0, uint32_t s1, uint32_t s2) {
    uint32_t sym[16];
    for (int i = 0; i < 4; i++) sym[i] = (s0 >> (16 + 4 * i)) & 0xF;
    for (int i = 0; i < 8; i++) sym[4 + i] = (s1 >> (4 * i)) & 0xF;
    for (int i = 0; i < 4; i++) sym[12 + i] = (s2 >> (4 * i)) & 0xF;
    int vid = 0;
    for (int i = 0; i < 8; i++) {
        const bool one = sym[i] == 7 && sym[8 + i] == 1;
        const bool zero = sym[i] == 1 && sym[8 + i] == 7;
        if (!one && !zero) return -1;
        if (one) vid |= 1 << i;
    }
    return vid;
}

class HubPeripheral : public kos::ActiveWindow {
public:
    HubPeripheral(volatile uint32_t *mem, uint32_t size, const bool (&loops)[8]) : mem_(mem), size_(size) {
        for (int c = 0; c < 8; c++) loops_back_[c] = loops[c];
    }
    ~HubPeripheral() override { munmap(const_cast<uint32_t *>(mem_), size_); }

    uint32_t read32(uint32_t off) override { return mem_[off / 4]; }
    void write32(uint32_t off, uint32_t val) override {
        mem_[off / 4] = val;
        if (off == kVidStart && (val & 1)) send_vid();
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
    void send_vid() {
        const int vid = decode_vid_waveform(mem_[kVidSeq0 / 4], mem_[kVidSeq1 / 4], mem_[kVidSeq2 / 4]);
        if (vid < 0) return;  // no valid pulse train: the regulators keep their VID
        const uint32_t sel = mem_[kVidSelect / 4];
        for (int c = 0; c < 8; c++)
            if ((sel >> c) & 1) set_chain_vid(c, vid);
    }

    volatile uint32_t *mem_;
    uint32_t size_;
    bool loops_back_[8] = {};
    bool seen_high_[8] = {};
};

class SocVidBlock : public kos::ActiveWindow {
public:
    SocVidBlock(volatile uint32_t *mem, uint32_t size) : mem_(mem), size_(size) {}
    ~SocVidBlock() override { munmap(const_cast<uint32_t *>(mem_), size_); }

    uint32_t read32(uint32_t off) override { return mem_[off / 4]; }
    void write32(uint32_t off, uint32_t val) override {
        mem_[off / 4] = val;
        if (off != kVidStart || !(mem_[kSocVidOn / 4] & 1)) return;
        for (int c = 0; c < 8; c++) {
            if (!((val >> c) & 1)) continue;
            const uint32_t ch = (kSocVidChannels + kSocVidChannelSize * uint32_t(c)) / 4;
            const int vid = decode_vid_waveform(mem_[ch + 1], mem_[ch + 2], mem_[ch + 3]);
            if (vid >= 0) set_chain_vid(c, vid);
        }
    }

private:
    static constexpr uint32_t kSocVidOn = 4, kSocVidChannels = 0x80, kSocVidChannelSize = 0x20;
    volatile uint32_t *mem_;
    uint32_t size_;
};

}  // namespace

kos::ActiveWindow *make_soc_vid_block(uint32_t phys, uint32_t size) {
    volatile uint32_t *mem = map_window_file(phys, size);
    return mem ? new SocVidBlock(mem, size) : nullptr;
}

kos::ActiveWindow *make_fpga_peripheral(uint32_t phys, uint32_t size) {
    bool loops[8] = {};
    for (int c = 0; c < 8; c++) {
        json_t *b = board_in_slot(c);
        if (!b || !desc_bool(b, "fixture", false)) continue;
        loops[c] = !desc_bool(b, "pulse_stuck", false);
    }
    volatile uint32_t *mem = map_window_file(phys, size);
    return mem ? new HubPeripheral(mem, size, loops) : nullptr;
}

}  // namespace sim
