// The hub's SPI engines as an active window: one block of registers per
// chain (c * 0x200), each driving an emulated chain of chips built from the
// board in slot c. Status is computed on each read and each command write
// acts at once, so the driver's polls succeed on their first read.
//
// Both push-code sets (0xA5/0xB5 and 0xAD/0xBD) are accepted. The frame
// length is taken from the length word's bits 24-30 and the reply length
// from bits 8-14; bits 0-7 and 16-23 and the chip-count register are stored
// only.
//
// Manual mode (control bit 5): each 0x1000 / 0x3000 command clocks one word
// out and captures one word back. A frame starts with the first non-zero
// word and ends when the driver leaves manual mode; the chain then answers
// it, and the reply is shifted back by the following (padding) words, from
// the first one on. A new frame drops what is left of an older reply.
//
// Registers that do not hold their value (a fault of the hub under test):
// the description's "hub_stuck" list and the control file <sim dir>/hub_stuck,
// read when the window is mapped, give one "OFFSET BIT LEVEL" each (offset
// in the SPI window, C notation; bit 0..31; level 0 or 1); that bit then
// always stores LEVEL.
//
// Chain power: a chain answers only while its power enable and its reset
// line are both high; a power or reset drop loses the chips' state. A
// pulled board answers nothing (chip.h), its temperature sweep included. On the
// FPGA hub these are peripheral word 0x20, bits 18 + c and 9 + c; on the SoC
// hub the slot's power-enable and reset pads, driven as outputs. A board
// cabled with "power_from": s also needs supply output s on.
//
// Push codes: 0xA5 sends the last frame of a batch and raises "command done"
// (status bit 0); 0xB5 sends a frame with more to follow and leaves the
// batch open (done stays clear until the batch's last frame).
//
// Engine faults, from the description's "spi_faults" list and the control
// file <sim dir>/spi_faults (re-read when it changes, checked on every
// status read and command write), one line each; CHAIN is a block number or "*":
//   CHAIN busy N [MASK]     after every frame sent on the chain the next N
//                           status reads show MASK (default 0x03000040:
//                           transmit buffer not empty, transmit busy, PHY
//                           busy) with done and receive-ready clear;
//                           N = "forever": every status read, at once
//   CHAIN short W           replies carry at most W words (a chain that
//                           stops answering mid-frame)
//   CHAIN record            append "chain C push 0xXX words W" to
//                           <sim dir>/spi_push.log for every push command
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "drv/hub.h"
#include "os/os.h"
#include "sim/devices/chip.h"
#include "sim/devices/gpio_devices.h"
#include "sim/devices/hub_spi_engine.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/refusal.h"
#include "sim/devices/sim_devices.h"
#include "sim/devices/spi_faults.h"

namespace sim {
namespace {

constexpr uint32_t kBlock = 0x200;
constexpr uint32_t kChains = 8;
constexpr uint32_t kChainEn = 0x1200;

std::atomic<bool> g_count_time{false};
std::atomic<uint64_t> g_engine_ns{0};
std::atomic<uint64_t> g_engine_accesses{0};

// Adds the handler's duration to g_engine_ns while counting is on.
struct HandlerTimer {
    const bool on = g_count_time.load(std::memory_order_relaxed);
    const std::chrono::steady_clock::time_point t0 = on ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    ~HandlerTimer() {
        if (on) g_engine_accesses.fetch_add(1, std::memory_order_relaxed);
        if (on)
            g_engine_ns.fetch_add(uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count()),
                                  std::memory_order_relaxed);
    }
};

struct ChainBlock {
    std::mutex lock;
    std::array<uint32_t, kBlock / 4> regs{};
    uint8_t rx[64] = {};
    unsigned rx_words = 0;
    bool done = false;
    bool error = false;
    bool auto_poll = false;
    std::deque<std::vector<uint8_t>> auto_queue;
    bool sweep_pending = false;
    // Manual mode: the words of the frame being clocked out, and what the
    // chain still has to shift back.
    std::vector<uint8_t> m_frame;
    std::deque<uint8_t> m_reply;
    std::unique_ptr<ChipChain> chain;
    unsigned busy_left = 0;  // status reads still to show busy
};

class HubSpiEngine : public kos::ActiveWindow {
public:
    HubSpiEngine(uint32_t phys, uint32_t size) : size_(size), fpga_(phys == HUB_SPI_PHY) {
        for (uint32_t c = 0; c < kChains; c++) {
            block_[c].chain = std::make_unique<ChipChain>(board_in_slot(int(c)), int(c));
            block_[c].chain->set_fan_duty_source([this] { return fan_duty(); });
            block_[c].regs[0x04 / 4] = 0x1F;
        }
        load_stuck();
        faults_.refresh();
        if (fpga_) {
            int fd = kos::mem_open(0);
            periph_ = kos::window_map(fd, "peripheral", HUB_PERIPHERAL_PHY, HUB_PERIPHERAL_SIZE);
            kos::mem_close(fd);
        }
    }
    ~HubSpiEngine() override { kos::window_unmap(periph_); }

    uint32_t read32(uint32_t off) override {
        HandlerTimer timer;
        const uint32_t c = off / kBlock;
        if (c >= kChains) {
            std::lock_guard<std::mutex> g(global_lock_);
            return global_word(off);
        }
        ChainBlock &b = block_[c];
        std::lock_guard<std::mutex> g(b.lock);
        const uint32_t r = off % kBlock;
        if (r == 0x18) return status(c, b);
        if (r >= 0x20 && r < 0x60) {
            const uint32_t i = r - 0x20;
            return uint32_t(b.rx[i]) | uint32_t(b.rx[i + 1]) << 8 | uint32_t(b.rx[i + 2]) << 16 |
                   uint32_t(b.rx[i + 3]) << 24;
        }
        return b.regs[r / 4];
    }

    void write32(uint32_t off, uint32_t v) override {
        HandlerTimer timer;
        const uint32_t c = off / kBlock;
        v = stuck(off, v);
        if (c >= kChains) {
            std::lock_guard<std::mutex> g(global_lock_);
            global_word(off) = v;
            return;
        }
        ChainBlock &b = block_[c];
        std::lock_guard<std::mutex> g(b.lock);
        const uint32_t r = off % kBlock;
        if (r == 0x18) return;  // read only
        const uint32_t old_ctrl = b.regs[0x04 / 4];
        b.regs[r / 4] = v;
        if (r == 0x04) control(c, b, v, old_ctrl);
        if (r == 0x14) command(c, b, v);
        if (r == 0x160 && (v & 0x1000) && b.sweep_pending) sweep(b, board_seated(int(c)));
    }

private:
    struct StuckBit {
        uint32_t off, mask;
        bool level;
    };

    void add_stuck(const std::string &line) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string t; in >> t;) w.push_back(t);
        if (w.empty()) return;
        unsigned long long off = 0, bit = 0, level = 0;
        if (w.size() != 3 || !parse_uint(w[0], 0xFFFFFFFFull, &off) || !parse_uint(w[1], 31, &bit) ||
            !parse_uint(w[2], 1, &level)) {
            refuse("hub_stuck: not \"OFFSET BIT LEVEL\": \"" + line + "\"");
            return;
        }
        stuck_.push_back({uint32_t(off) & (size_ - 1), 1u << bit, level != 0});
    }

    void load_stuck() {
        size_t i;
        json_t *v;
        json_array_foreach(json_object_get(machine_desc(), "hub_stuck"), i, v) {
            if (json_is_string(v))
                add_stuck(json_string_value(v));
            else
                refuse("hub_stuck entry " + std::to_string(i) + " is not a text");
        }
        std::string text;
        if (kos::read_file((kos::sim_dir() + "/hub_stuck").c_str(), text)) {
            std::istringstream in(text);
            std::string line;
            while (std::getline(in, line)) add_stuck(line);
        }
    }

    uint32_t stuck(uint32_t off, uint32_t v) const {
        for (const StuckBit &s : stuck_)
            if (s.off == off) v = s.level ? (v | s.mask) : (v & ~s.mask);
        return v;
    }

    // Fan 0's duty: the FPGA hub's fan registers, else the fan devices' record.
    int fan_duty() {
        if (periph_) {
            const uint32_t period = kos::window_read32(periph_, 0x40), on = kos::window_read32(periph_, 0x44);
            return period ? int(uint64_t(on) * 100 / period) : 0;
        }
        std::string text;
        kos::read_file((kos::sim_dir() + "/fans").c_str(), text);
        std::istringstream in(text);
        std::string dev, fan, w1, w2;
        int period = 0, on = 0;
        while (in >> dev >> fan >> w1 >> period >> w2 >> on)
            if (fan == "fan0" && period) return on * 100 / period;
        return 0;
    }

    uint32_t &global_word(uint32_t off) {
        if (global_.empty()) global_.assign(size_ / 4, 0);
        return global_[off / 4];
    }

    bool enabled(uint32_t c) {
        std::lock_guard<std::mutex> g(global_lock_);
        return (global_word(kChainEn) >> c) & 1;
    }

    // A board cabled with "power_from": s takes its power from the supply
    // output of slot s; its chips answer only while that output is on.
    bool supply_feeds(uint32_t c) {
        json_t *b = board_in_slot(int(c));
        json_t *from = b ? json_object_get(b, "power_from") : nullptr;
        return !from || psu_output_on(int(json_integer_value(from)) + 1);
    }

    // The chain's power and reset lines; while either is low the chips hold
    // no state.
    bool lines_ok(uint32_t c, ChainBlock &b) {
        bool ok = true;
        if (!b.chain->is_fixture()) {  // the fixture needs no chain power
            if (fpga_) {
                const uint32_t w = kos::window_read32(periph_, 0x20);
                ok = ((w >> (18 + c)) & 1) && ((w >> (9 + c)) & 1);
            } else {
                ok = soc_chain_lines_on(int(c));
            }
        }
        if (ok) ok = supply_feeds(c);
        if (!ok) b.chain->lose_state();
        return ok;
    }

    // A board with "max_spi_speed": N loses its link above clock index N
    // (configuration bits 16-23, the driver's speed table): the chips see
    // no valid frame and answer nothing.
    bool clock_ok(uint32_t c, ChainBlock &b) {
        json_t *board = board_in_slot(int(c));
        const long long max = board ? desc_int(board, "max_spi_speed", -1) : -1;
        if (max < 0) return true;
        static const uint32_t kFpga[] = {0x02, 0x04, 0x08, 0x10, 0x20, 0x33};
        static const uint32_t kSoc[] = {0x05, 0x0A, 0x13, 0x26, 0x4C, 0x6E};
        const uint32_t sel = (b.regs[0] >> 16) & 0xFF;
        for (int i = 0; i < 6; i++)
            if ((fpga_ ? kFpga : kSoc)[i] == sel) return i <= max;
        return true;
    }

    void transfer(uint32_t c, ChainBlock &b, const uint8_t *frame, size_t len, uint8_t *reply, size_t reply_len,
                  bool divider_pll = false) {
        if (lines_ok(c, b) && clock_ok(c, b))
            b.chain->exchange(frame, len, reply, reply_len, divider_pll);
        else
            memset(reply, 0, reply_len);
    }

    void clear_rx(ChainBlock &b) {
        memset(b.rx, 0, sizeof b.rx);
        b.rx_words = 0;
    }

    void control(uint32_t c, ChainBlock &b, uint32_t v, uint32_t old) {
        if ((v & 0xB) != 0xB) {  // engine reset held
            clear_rx(b);
            b.done = b.error = false;
            b.auto_poll = false;
            b.auto_queue.clear();
            b.sweep_pending = false;
            b.m_frame.clear();
            b.m_reply.clear();
            return;
        }
        if (!(v & 0x4)) clear_rx(b);
        if ((old & 0x20) && !(v & 0x20) && !b.m_frame.empty()) {
            // The driver clocks as many words as it pads: the reply is kept
            // up to the longest result a chain sends (677 words).
            uint8_t reply[2048];
            transfer(c, b, b.m_frame.data(), b.m_frame.size(), reply, sizeof reply);
            b.m_reply.assign(reply, reply + sizeof reply);
            b.m_frame.clear();
        }
    }

    void manual_word(ChainBlock &b) {
        const uint32_t hdr = b.regs[0x60 / 4];
        const uint8_t o0 = uint8_t(hdr >> 8), o1 = uint8_t(hdr);
        if (b.m_frame.empty() && (o0 || o1)) b.m_reply.clear();
        if (!b.m_frame.empty() || o0 || o1) {
            b.m_frame.push_back(o0);
            b.m_frame.push_back(o1);
        }
        clear_rx(b);
        for (int i = 0; i < 2 && !b.m_reply.empty(); i++) {
            b.rx[i] = b.m_reply.front();
            b.m_reply.pop_front();
        }
    }

    // Frame = header word's two bytes, then (W - 1) * 2 bytes of the
    // transmit buffer.
    std::vector<uint8_t> frame(ChainBlock &b) {
        const uint32_t lw = b.regs[0x10 / 4];
        const unsigned w = (lw >> 24) & 0x7F;
        std::vector<uint8_t> f;
        const uint32_t hdr = b.regs[0x60 / 4];
        f.push_back(uint8_t(hdr));
        f.push_back(uint8_t(hdr >> 8));
        for (unsigned i = 0; w > 0 && i < (w - 1) * 2 && i < 252; i++)
            f.push_back(uint8_t(b.regs[(0x64 + (i & ~3u)) / 4] >> (8 * (i & 3))));
        return f;
    }

    void present_auto(ChainBlock &b) {
        clear_rx(b);
        if (b.auto_queue.empty()) return;
        const std::vector<uint8_t> &r = b.auto_queue.front();
        memcpy(b.rx, r.data(), std::min(r.size(), sizeof b.rx));
        b.rx_words = unsigned(r.size() / 2);
    }

    // Automatic polling offers the read-result frame once per status read.
    void poll_once(uint32_t c, ChainBlock &b) {
        if (b.auto_queue.size() >= 64) return;
        const uint32_t hdr = b.regs[0x60 / 4];
        const uint8_t f[2] = {uint8_t(hdr), uint8_t(hdr >> 8)};
        const unsigned rw = std::min<unsigned>((b.regs[0x10 / 4] >> 8) & 0x7F, 32);
        std::vector<uint8_t> reply(rw * 2, 0);
        transfer(c, b, f, 2, reply.data(), reply.size());
        if (reply.size() >= 2 && reply[1] != 0) {
            b.auto_queue.push_back(reply);
            if (b.auto_queue.size() == 1) present_auto(b);
        }
    }

    uint32_t status(uint32_t c, ChainBlock &b) {
        faults_.refresh();
        const SpiFault f = faults_.chain(c);
        if (f.busy_forever) return f.busy_mask;
        if (b.busy_left > 0) {
            b.busy_left--;
            return f.busy_mask;
        }
        if (b.auto_poll) poll_once(c, b);
        uint32_t st = 0;
        if (b.done) st |= 0x1;
        if (b.error) st |= 0x4;
        if (b.rx_words) st |= 0x10 | (b.rx_words & 0xFF) << 8;
        return st;
    }

    // A frame went out: a slow engine stays busy for a while.
    void sent(uint32_t c, ChainBlock &b) { b.busy_left = faults_.chain(c).busy_polls; }

    void command(uint32_t c, ChainBlock &b, uint32_t v) {
        faults_.refresh();
        if ((b.regs[0x04 / 4] & 0xB) != 0xB) return;  // reset held
        const uint32_t ctrl = b.regs[0x04 / 4];
        switch (v) {
        case 0xA5:
        case 0xB5:
        case 0xAD:
        case 0xBD: {
            if (!enabled(c)) return;
            const std::vector<uint8_t> f = frame(b);
            const unsigned rw = (b.regs[0x10 / 4] >> 8) & 0x7F;
            const SpiFault fault = faults_.chain(c);
            if (fault.record) {
                char line[64];
                snprintf(line, sizeof line, "chain %u push 0x%02X words %u", c, v, unsigned(f.size() / 2));
                record_line("spi_push.log", line);
            }
            uint8_t reply[256] = {};
            transfer(c, b, f.data(), f.size(), reply, rw * 2, v == 0xAD || v == 0xBD);
            const unsigned got = std::min(rw, fault.short_words);
            if (got > 0) {
                memcpy(b.rx, reply, std::min<size_t>(got * 2, sizeof b.rx));
                b.rx_words = std::min(got, 32u);
            }
            // Only the last frame of a batch completes the command.
            b.done = (v & 0xF0) == 0xA0;
            sent(c, b);
            return;
        }
        case 0x800:
            if (!b.auto_poll) clear_rx(b);
            return;
        case 0x2:
            b.done = b.error = false;
            return;
        case 0x0:
            b.auto_poll = false;
            b.auto_queue.clear();
            clear_rx(b);
            return;
        case 0x304:
            if (!enabled(c)) return;
            b.auto_poll = true;
            b.auto_queue.clear();
            clear_rx(b);
            return;
        case 0xB00:
            if (!b.auto_queue.empty()) b.auto_queue.pop_front();
            present_auto(b);
            return;
        case 0x4:
            b.sweep_pending = !b.chain->sweep_never_completes();
            b.regs[0x170 / 4] &= ~(1u << 24);
            return;
        case 0x1000:
        case 0x3000: {
            if (!(ctrl & 0x20) || !enabled(c)) return;
            manual_word(b);
            b.done = true;
            sent(c, b);
            return;
        }
        default:
            if ((v & ~0x4000u) == 0xA1 || (v & ~0x4000u) == 0xB1) {
                if (!enabled(c)) return;
                const std::vector<uint8_t> f = frame(b);
                uint8_t none[1];
                transfer(c, b, f.data(), f.size(), none, 0);
                b.done = true;
                sent(c, b);
            }
            return;  // other values are stored only
        }
    }

    // Lowest raw code = hottest: 0x16C holds the three smallest codes,
    // 0x168 the three largest, 0x170 the total / 2 with bit 24 = complete.
    // The sweep configuration (0x160) says where each chip's register reply
    // holds the code: bits 24-31 its last bit, bits 16-23 its first.
    void sweep(ChainBlock &b, bool answering) {
        b.sweep_pending = false;
        const uint32_t cfg = b.regs[0x160 / 4];
        std::vector<int> v;
        if (answering) v = b.chain->sensor_codes(int(cfg >> 24 & 0xFF), int(cfg >> 16 & 0xFF));
        std::sort(v.begin(), v.end());
        auto pack = [](const std::vector<int> &x) {
            uint32_t w = 0;
            for (size_t i = 0; i < 3 && i < x.size(); i++) w |= uint32_t(x[i] & 0x3FF) << (10 * i);
            return w;
        };
        std::vector<int> hi(v.begin(), v.begin() + long(std::min<size_t>(3, v.size())));
        std::vector<int> lo(v.rbegin(), v.rbegin() + long(std::min<size_t>(3, v.size())));
        long sum = 0;
        for (int x : v) sum += x;
        b.regs[0x16C / 4] = pack(hi);
        b.regs[0x168 / 4] = pack(lo);
        b.regs[0x170 / 4] = uint32_t(sum / 2) & 0xFFFF;
        b.regs[0x170 / 4] |= 1u << 24;
    }

    uint32_t size_;
    bool fpga_;
    kos::Window *periph_ = nullptr;
    std::mutex global_lock_;
    std::vector<uint32_t> global_;
    std::vector<StuckBit> stuck_;
    std::array<ChainBlock, kChains> block_;
    SpiFaults faults_;
};

kos::ActiveWindow *make_engine(uint32_t phys, uint32_t size) { return new HubSpiEngine(phys, size); }

}  // namespace

void hub_spi_engine_count_time(bool on) { g_count_time = on; }
uint64_t hub_spi_engine_ns() { return g_engine_ns.load(); }
uint64_t hub_spi_engine_accesses() { return g_engine_accesses.load(); }

void register_hub_spi_engine() {
    kos::register_active_window(HUB_SPI_PHY, make_engine);
    kos::register_active_window(SOC_SPI_PHY, make_engine);
}

}  // namespace sim
