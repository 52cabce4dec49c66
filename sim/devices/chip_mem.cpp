#include "sim/devices/chip_mem.h"

#include <cstdio>
#include <sstream>

// What the memory chips answer (the board test's bring-up reads these):
// - PHY register 0x35 of each channel: the PLL lock word, 2 after a ring-type
//   PLL set-up (PLL[0x500] := 0x4281096) and at power-on, 1 after an LC-type
//   one (PLL[0x500] := 0x281078).
// - PHY registers 0x30..0x34 (WCK2CK, CA, LDFF, read, write training): done
//   (3) while the training's start bit (PHY 4, 5, 2, 8, 9 bit 0) is set.
// - PHY check words 0x17F/0x27F/0x37F/0x47F: 0x03FF03FF while the read check
//   runs (PHY 0x2A bit 10), 0x03FF01FF while the write check runs (PHY 9
//   bit 1).
// - Controller registers 0x1F of C1 and C2: bits 0, 8 and 16 (init done).
// - Seed command (0x8F001 := 1): 0x8F000 bit 0 and the valid counts
//   0x8F010..13 = 0x3FFF, 0x000A, 0xFFF5, 0x0147. Cache start (0x8F001 := 2)
//   after a seed: 0x8F000 bits 1..0 = 3 and the last cache word 0x8F048 =
//   0xA02D.
// - DAG start (0x86001 := 1): bit 4 of every core block's status
//   (0x8E000 + 0x100 * block). A BIST or DAG reset pattern does not stop it.
// - Core BIST (command 01 while 0x84001 = 64): bit 5 of every block status,
//   fail bits in block registers 0x04 (low 16) and 0x05 (high 16).
// The memory contents are not modelled: trainings, cache and DAG complete at
// once with the fixed results above, which the chip says on first use.

namespace sim {

namespace {

constexpr uint32_t kChannelBits = 0x6000;
constexpr uint32_t kPhy = 0xD8000;
constexpr uint32_t kPll500 = 0xD0500;
constexpr uint32_t kCacheCtl = 0x8F001, kCacheSt = 0x8F000, kLastCache = 0x8F048;
constexpr uint32_t kCounts = 0x8F010;
constexpr uint16_t kCountWords[4] = {0x3FFF, 0x000A, 0xFFF5, 0x0147};
constexpr uint16_t kLastCacheWord = 0xA02D;
constexpr uint32_t kDagStart = 0x86001;
constexpr uint32_t kBistArm = 0x84001;
constexpr uint32_t kBlocks = 0x8E000;

uint32_t key(uint32_t addr) { return addr | 0x8000; }
uint32_t block_reg(int b, uint32_t r) { return kBlocks + 0x100u * uint32_t(b) + r; }
uint32_t word(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }

}  // namespace

MemChips::MemChips(int chips, json_t *board, int slot) : chip_(size_t(chips)), slot_(slot) {
    json_t *list = board ? json_object_get(board, "mem_faults") : nullptr;
    size_t i;
    json_t *v;
    json_array_foreach(list, i, v) {
        MemFault f;
        const char *s = json_string_value(v);
        if (s && parse_fault(s, &f)) desc_faults_.push_back(f);
        else fprintf(stderr, "kmx-sim: chain %d: mem_faults entry %zu not understood\n", slot_, i);
    }
}

bool MemChips::parse_fault(const std::string &line, MemFault *out) {
    std::istringstream l(line);
    MemFault f;
    if (!(l >> f.key) || f.key.compare(0, 3, "mem") != 0) return false;
    if (!(l >> f.chip)) return false;
    if (f.key == "membad" || f.key == "memcache") {
        if (!(l >> f.v)) return false;
    } else if (f.key != "memtrain" && f.key != "memdag" && f.key != "memphy") {
        return false;
    }
    *out = f;
    return true;
}

void MemChips::reset() {
    for (Chip &c : chip_) c = Chip{};
}

void MemChips::announce() {
    if (announced_) return;
    announced_ = true;
    fprintf(stderr,
            "kmx-sim: chain %d: memory chips model their registers only; trainings, cache and DAG "
            "complete at once with fixed results, memory contents are not modelled\n",
            slot_);
}

bool MemChips::has(const std::vector<MemFault> &f, const char *k, int chip, int *v) const {
    auto match = [&](const MemFault &x) {
        if (x.key != k || (x.chip != 0 && x.chip != chip)) return false;
        if (v) *v = x.v;
        return true;
    };
    for (const MemFault &x : desc_faults_)
        if (match(x)) return true;
    for (const MemFault &x : f)
        if (match(x)) return true;
    return false;
}

uint32_t MemChips::get(const Chip &c, uint32_t addr) const {
    auto it = c.cell.find(key(addr));
    return it == c.cell.end() ? 0 : it->second;
}

uint32_t MemChips::read(int k, uint32_t addr, const std::vector<MemFault> &f) const {
    const Chip &c = chip_[size_t(k - 1)];
    const uint32_t a = key(addr);
    const uint32_t ch = a & kChannelBits;
    const uint32_t plain = a & ~kChannelBits;
    if (plain == kPhy + 0x35) {
        if (ch == 0 && has(f, "memphy", k)) return 0;
        return c.lock_value;
    }
    if (plain >= kPhy + 0x30 && plain <= kPhy + 0x34) {
        static const uint32_t start[5] = {4, 5, 2, 8, 9};
        const bool running = get(c, kPhy | ch | start[plain - (kPhy + 0x30)]) & 1;
        return running ? (get(c, a) | 3) : get(c, a);
    }
    if (plain == kPhy + 0x17F || plain == kPhy + 0x27F || plain == kPhy + 0x37F || plain == kPhy + 0x47F) {
        if (get(c, kPhy | ch | 0x2A) & (1u << 10)) return 0x03FF03FF;
        if (get(c, kPhy | ch | 0x09) & (1u << 1)) return has(f, "memtrain", k) ? 0 : 0x03FF01FF;
        return get(c, a);
    }
    if (plain == key(0xC801F) || plain == key(0xC901F)) return get(c, a) | 0x00010101;
    return get(c, a);
}

void MemChips::write(int k, uint32_t addr, uint32_t v, const std::vector<MemFault> &f) {
    Chip &c = chip_[size_t(k - 1)];
    c.cell[key(addr)] = v;
    if (addr == kPll500) {
        if (v == 0x4281096) c.lock_value = 2;
        if (v == 0x281078) c.lock_value = 1;
    } else if (addr == kCacheCtl && v == 1) {
        c.cell[key(kCacheSt)] |= 1;
        for (uint32_t i = 0; i < 4; i++) c.cell[key(kCounts + i)] = kCountWords[i];
    } else if (addr == kCacheCtl && v == 2 && (get(c, kCacheSt) & 1)) {
        c.cell[key(kCacheSt)] |= 3;
        int w = kLastCacheWord;
        has(f, "memcache", k, &w);
        c.cell[key(kLastCache)] = uint32_t(w) & 0xFFFF;
    } else if (addr == kDagStart && v == 1 && !has(f, "memdag", k)) {
        for (int b = 0; b < 16; b++) c.cell[key(block_reg(b, 0))] |= 0x10;
    }
}

void MemChips::reg0d(int first, int last, const uint8_t req[12], uint8_t out[12], const std::vector<MemFault> &f) {
    announce();
    for (int i = 0; i < 12; i++) out[i] = req[i];
    const uint32_t w3 = word(req + 4), w4 = word(req + 6);
    const uint32_t addr = (w3 & 0xF) << 16 | w4;
    if (w3 & 0x10) {
        const uint32_t v = word(req + 8) << 16 | word(req + 10);
        for (int k = first; k <= last; k++) write(k, addr, v, f);
        return;
    }
    const uint32_t v = read(first == last ? first : 1, addr, f);
    out[8] = uint8_t(v >> 24);
    out[9] = uint8_t(v >> 16);
    out[10] = uint8_t(v >> 8);
    out[11] = uint8_t(v);
}

void MemChips::bist_start(int first, int last, const std::vector<MemFault> &f) {
    for (int k = first; k <= last; k++) {
        Chip &c = chip_[size_t(k - 1)];
        if (get(c, kBistArm) != 64) continue;
        for (int b = 0; b < 16; b++) {
            c.cell[key(block_reg(b, 0))] |= 0x20;
            bool bad = false;
            for (const std::vector<MemFault> *l : {static_cast<const std::vector<MemFault> *>(&desc_faults_), &f})
                for (const MemFault &x : *l)
                    bad = bad || (x.key == "membad" && (x.chip == 0 || x.chip == k) && x.v == b);
            c.cell[key(block_reg(b, 4))] = bad ? 0xFFFF : 0;
            c.cell[key(block_reg(b, 5))] = bad ? 0xFFFF : 0;
        }
    }
}

}  // namespace sim
