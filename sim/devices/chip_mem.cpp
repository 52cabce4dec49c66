#include "sim/devices/chip_mem.h"

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

#include "os/os.h"
#include "sim/devices/refusal.h"

// How the memory chips answer the registers the board test's bring-up writes
// and reads, in the order it uses them. Where the chips' inner workings do
// not show in those registers, the model is the simplest that answers them
// the way the chips do:
// - PHY PLL: PLL[0x500] := 0x4281096 sets up the ring-type PLL, 0x281078
//   (with its rate in bits 11..0) the LC-type one; the rate follows from
//   the VCO word PLL[0x504] (ring: 0x20000081 + (40 x GHz + 2) x 256) or
//   from PLL[0x500] bits 11..0 (LC: 10 x GHz). PHY[0x35] of a channel reads
//   2 (ring) or 1 (LC) once the PLL is set up, 0 before. The PLL registers
//   read back at 0xD8000 + r, where the channel AB PHY lies: the set-up is
//   taken from the writes addressed to 0xD0000 + r.
// - Trainings (PHY[0x30..0x34] bits 1..0 for WCK2CK, CA, LDFF, read, write):
//   done while their start bit (PHY 4, 5, 2, 8, 9 bit 0) is set and the
//   channel's PLL is locked.
// - Check cycles: PHY[0x2A] bit 10 going to 1 starts a read check and each
//   rising PHY[0x2A] bit 8 while it runs is one cycle; PHY[9] bit 1 and
//   bit 2 do the same for the write check. A cycle is good (lane words
//   0x17F/0x27F/0x37F/0x47F read 0x03FF03FF, write check 0x03FF01FF) when
//   the training was started (PHY[8] / PHY[9] bit 0) with the PLL locked
//   and no fault fails it; a bad cycle changes lane group 0's word. A
//   channel reads and writes data right at a rate when most cycles of its
//   last read check (and write check, where one ran) at that rate were
//   good: the few errors of a marginal channel are left to EDC.
// - Controllers: C1[0x1F] / C2[0x1F] bit 0 is set once C1[0] / C2[0] was
//   written with bit 3 clear (out of reset) and clears when it is written
//   with bit 3 set; bit 8 (memory init done, both) follows the last write
//   of CFG[0] bit 4; bit 16 (timing handshake, both) the last write of
//   CFG[29] bit 17. A rising CFG[1] bit 20 issues the mode-register command
//   in CFG[11] bits 15..0 (logged).
// - Memory reset: a write addressed to 0x84001 with bit 2, 3, 4 or 8 set
//   drops the seed, cache, DAG and the channels' check results. 0x8C001 is
//   both 0x84001's read-back twin and the register the high-speed restart
//   toggles: one cell, and its writes reset nothing.
// - Seed (0x8F001 := 1): 0x8F000 bit 0, and the valid counts 0x8F010..13
//   (0xA3FFF cache and 0x147FFF5 DAG items, in pages of 8192 items with a
//   partial page counted from 1024 items: 0x52 and 0xA40). A seed other
//   than the cache's drops the cache.
// - Cache (0x8F001 := 2 while seeded, memory mode 0x84001 = 1): 0x8F000
//   bits 1..0. The last cache word 0x8F048 is 0xA02D when the seed was 200,
//   the parameters 0x84012..15 were 0, 4, 0, 0, the eight ranges
//   0x8F030/31 + 2k and the bases 0x8C010 + 0x100 k split the cache pages
//   evenly and every channel reads back at the PHY's rate; another word
//   otherwise.
// - DAG (0x86001 := 1, memory mode 2, seeded with a cache): every core
//   block whose hub register 0x14 names a hub (16 + h) generates that hub's
//   share, unless its four sub-cores (0x17, 0x18) are not good ones or its
//   BIST failed (22 or more failing sub-cores: a block needs 11 good ones);
//   it then shows bit 4 of its status. The DAG is right when the
//   parameters, counts and ranges (0x86002..0x86031, bases 0x8C011 +
//   0x100 k, block ranges 0x12/0x13) split the DAG pages evenly. Writing 0
//   stops generation that has not finished.
// - Core BIST: command 04 with the BIST pattern, then command 01 while
//   0x84001 = 64: bit 5 of every block status and the fail bits in block
//   registers 0x04 (low 16) and 0x05 (high 16); every sub-core fails when
//   the seed words 0x86040/0x86042..5A, 0xC0001 or the controller numbers
//   0xC8082 + 0x1000 i were not the chip's.
// - Test jobs: a chip works them only with a complete, right DAG, its PLL
//   locked and every channel reading back at the PHY's rate.

namespace sim {

namespace {

constexpr uint32_t kChannelBits = 0x6000;
constexpr uint32_t kPhy = 0xD8000;
constexpr uint32_t kPll = 0xD0000;
constexpr uint32_t kC1 = 0xC8000, kC2 = 0xC9000, kCfg = 0xC8800;
constexpr uint32_t kMemMode = 0x84001;
constexpr uint32_t kCacheCtl = 0x8F001, kCacheSt = 0x8F000, kSeed = 0x8F004, kLastCache = 0x8F048;
constexpr uint32_t kCounts = 0x8F010;
constexpr uint32_t kGoodCache = 0xA3FFF, kGoodDag = 0x147FFF5;
constexpr uint16_t kLastCacheWord = 0xA02D;
constexpr uint32_t kGoodSeed = 200;
constexpr uint32_t kDagCtl = 0x86001;
constexpr uint32_t kBlocks = 0x8E000;
constexpr uint32_t kReadCheck = 0x03FF03FF, kWriteCheck = 0x03FF01FF;
constexpr uint16_t kBistSeeds[26] = {14619, 31779, 20334, 35369, 54,    42642, 25768, 12453, 34540,
                                     5040,  47990, 19808, 39291, 7119,  35054, 51222, 19167, 62689,
                                     57516, 43879, 15169, 33935, 16793, 9370,  62213, 12212};
const char *const kSides[4] = {"AB", "CD", "EF", "GH"};

uint32_t key(uint32_t addr) { return addr | 0x8000; }
uint32_t block_reg(int b, uint32_t r) { return kBlocks + 0x100u * uint32_t(b) + r; }
uint32_t word(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }
// Pages of 8192 items; a partial page counts from 1024 items on.
uint32_t pages(uint32_t n) { return n / 8192 + ((n & 0x1C00) ? 1 : 0); }

bool parse_channel(const std::string &s, int *ch) {
    if (s == "*") return *ch = -1, true;
    for (int i = 0; i < 4; i++)
        if (s == kSides[i] || s == std::to_string(i)) return *ch = i, true;
    return false;
}

}  // namespace

MemChips::MemChips(int chips, json_t *board, int slot)
    : chip_(size_t(chips)), slot_(slot), write_logs_(size_t(chips) + 1), mr_logs_(size_t(chips) + 1) {
    json_t *list = board ? json_object_get(board, "mem_faults") : nullptr;
    size_t i;
    json_t *v;
    json_array_foreach(list, i, v) {
        MemFault f;
        const char *s = json_string_value(v);
        if (s && parse_fault(s, &f))
            desc_faults_.push_back(f);
        else
            refuse("slot " + std::to_string(slot_) + ": mem_faults entry " + std::to_string(i) + " not understood");
    }
}

MemChips::~MemChips() {
    for (auto *files : {&write_logs_, &mr_logs_})
        for (FILE *fp : *files)
            if (fp) fclose(fp);
}

// Every value must read whole, and nothing may follow the last one.
bool MemChips::parse_fault(const std::string &line, MemFault *out) {
    std::istringstream l(line);
    std::vector<std::string> w;
    for (std::string t; l >> t;) w.push_back(t);
    size_t at = 1;
    const auto more = [&] { return at < w.size(); };
    const auto num = [&](int *v) {
        long long n;
        if (!more() || !parse_int(w[at], 0, 1 << 30, &n)) return false;
        *v = int(n), at++;
        return true;
    };
    const auto hex = [&](uint32_t *v) {
        if (!more() || w[at].empty() || !isxdigit(static_cast<unsigned char>(w[at][0]))) return false;
        char *end = nullptr;
        const unsigned long n = strtoul(w[at].c_str(), &end, 16);
        if (*end || n > 0xFFFFFFFFul) return false;
        *v = uint32_t(n), at++;
        return true;
    };
    const auto channel = [&](int *ch) { return more() && parse_channel(w[at++], ch); };
    MemFault f;
    if (w.empty() || w[0].compare(0, 3, "mem") != 0) return false;
    f.key = w[0];
    if (!num(&f.chip) || f.chip > 255) return false;
    bool ok = true;
    if (f.key == "membad") {
        ok = num(&f.block) && f.block < 16;
        f.v = 0xFFFFFFFFu;
    } else if (f.key == "membits") {
        ok = num(&f.block) && f.block < 16 && hex(&f.v);
    } else if (f.key == "memcache") {
        int v = 0;
        ok = num(&v);
        f.v = uint32_t(v);
    } else if (f.key == "memcount") {
        ok = more() && (w[at] == "cache" || w[at] == "dag");
        if (ok) f.which = w[at++];
        ok = ok && hex(&f.v);
    } else if (f.key == "memread" || f.key == "memwrite") {
        ok = channel(&f.ch) && num(&f.cycles);
        if (ok && more()) ok = num(&f.speed);
        if (ok && more()) ok = num(&f.times);
    } else if (f.key == "memdag") {
        if (more()) {
            ok = num(&f.block) && num(&f.cycles);
            f.late = true;
        }
    } else if (f.key == "memphy") {
        f.ch = 0;
        if (more()) ok = channel(&f.ch);
        if (ok && more()) ok = num(&f.speed);
    } else if (f.key != "memtrain") {
        return false;
    }
    if (!ok || more()) return false;
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
            "kmx-sim: chain %d: memory chips answer status, checks, cache, DAG and core BIST from what was "
            "written; not modelled: memory contents (check words, the last cache word and job results are "
            "fixed patterns; the seed does not change the valid counts), training, PLL lock and cache times "
            "(at once), DAG time (counted in status polls), PHY, PLL and controller settings beyond those that "
            "start a step (logged, not checked), EDC (a channel reads right when most of its check cycles "
            "were), BIST mask and fix, the controllers' own BIST, registers cleared by a memory reset\n",
            slot_);
}

std::vector<const MemFault *> MemChips::all(const std::vector<MemFault> &f, const char *k, int chip) const {
    std::vector<const MemFault *> out;
    for (const std::vector<MemFault> *l : {&desc_faults_, &f})
        for (const MemFault &x : *l)
            if (x.key == k && (x.chip == 0 || x.chip == chip)) out.push_back(&x);
    return out;
}

bool MemChips::has(const std::vector<MemFault> &f, const char *k, int chip, const MemFault **hit) const {
    const std::vector<const MemFault *> found = all(f, k, chip);
    if (found.empty()) return false;
    if (hit) *hit = found.front();
    return true;
}

uint32_t MemChips::get(const Chip &c, uint32_t addr) const {
    auto it = c.cell.find(key(addr));
    return it == c.cell.end() ? 0 : it->second;
}

int MemChips::speed_ghz(const Chip &c) const {
    const uint32_t setup = c.pll500, vco = c.pll504;
    if (setup == 0x4281096) {
        if ((vco & 0xFFF000FFu) != 0x20000081u) return 0;
        const uint32_t x = (vco >> 8) & 0xFFF;
        return x >= 2 && (x - 2) % 40 == 0 ? int((x - 2) / 40) : 0;
    }
    if ((setup & 0xFCFFF000u) == 0x281000u) return int((setup & 0xFFF) / 10);
    return 0;
}

uint32_t MemChips::pll_lock(int k, int ch, const std::vector<MemFault> &f) const {
    const Chip &c = chip_[size_t(k - 1)];
    const bool ring = c.pll500 == 0x4281096, lc = (c.pll500 & 0xFCFFF000u) == 0x281000u;
    if (!ring && !lc) return 0;
    const int s = speed_ghz(c);
    for (const MemFault *x : all(f, "memphy", k))
        if ((x->ch < 0 || x->ch == ch) && (x->speed == 0 || x->speed == s)) return 0;
    return ring ? 2 : 1;
}

uint32_t MemChips::block_fails(int k, int b, const std::vector<MemFault> &f) const {
    uint32_t m = 0;
    for (const char *name : {"membad", "membits"})
        for (const MemFault *x : all(f, name, k))
            if (x->block == b) m |= x->v;
    return m;
}

FILE *MemChips::log_file(std::vector<FILE *> &files, const char *name, int k) {
    if (slot_ < 0 || !kos::emulated() || k < 1 || size_t(k) >= files.size()) return nullptr;
    if (!files[size_t(k)]) {
        const std::string dir = kos::sim_dir() + "/mem" + std::to_string(slot_);
        mkdir(dir.c_str(), 0755);
        files[size_t(k)] = fopen((dir + "/" + name + std::to_string(k)).c_str(), "a");
    }
    return files[size_t(k)];
}

void MemChips::log_write(int k, uint32_t addr, uint32_t v) {
    if (FILE *fp = log_file(write_logs_, "writes", k)) {
        fprintf(fp, "%llu %05x %08x\n", (unsigned long long)order_, addr, v);
        fflush(fp);
    }
}

void MemChips::log_mr(int k, int ch, uint32_t w) {
    if (FILE *fp = log_file(mr_logs_, "mr", k)) {
        fprintf(fp, "%llu %s %04x\n", (unsigned long long)order_, kSides[ch], w);
        fflush(fp);
    }
}

uint32_t MemChips::read(int k, uint32_t addr, const std::vector<MemFault> &f) {
    Chip &c = chip_[size_t(k - 1)];
    const uint32_t a = key(addr);
    const int ch = int((a & kChannelBits) >> 13);
    const uint32_t plain = a & ~kChannelBits;
    const uint32_t base = a & kChannelBits;
    if (plain == kPhy + 0x35) return pll_lock(k, ch, f);
    if (plain >= kPhy + 0x30 && plain <= kPhy + 0x34) {
        static const uint32_t start[5] = {4, 5, 2, 8, 9};
        const bool done = (get(c, kPhy | base | start[plain - (kPhy + 0x30)]) & 1) && pll_lock(k, ch, f);
        return (get(c, a) & ~3u) | (done ? 3u : 0u);
    }
    if (plain == kPhy + 0x17F || plain == kPhy + 0x27F || plain == kPhy + 0x37F || plain == kPhy + 0x47F) {
        const Channel &x = c.chan[ch];
        const Check *chk = x.read.on ? &x.read : x.write.on ? &x.write : nullptr;
        if (!chk) return get(c, a);
        const uint32_t want = x.read.on ? kReadCheck : kWriteCheck;
        return chk->good || plain != kPhy + 0x17F ? want : want ^ 1u;
    }
    if (plain == kC1 + 0x1F || plain == kC2 + 0x1F) {
        const Channel &x = c.chan[ch];
        const bool ready = plain == kC1 + 0x1F ? x.c1_ready : x.c2_ready;
        const bool init = get(c, kCfg | base) & 0x10;
        const bool timing = get(c, kCfg | base | 29) & (1u << 17);
        return (ready ? 1u : 0u) | (init ? 0x100u : 0u) | (timing ? 0x10000u : 0u);
    }
    for (int b = 0; b < 16; b++) {
        if (a != key(block_reg(b, 0))) continue;
        if (c.dag_polls[b] > 0) c.dag_polls[b]--;
        else if (c.dag_polls[b] == 0) c.cell[a] |= 0x10;
        break;
    }
    return get(c, a);
}

void MemChips::check_pulse(int k, int ch, bool read_check, uint32_t old, uint32_t v, const std::vector<MemFault> &f) {
    Chip &c = chip_[size_t(k - 1)];
    Channel &x = c.chan[ch];
    Check &chk = read_check ? x.read : x.write;
    const uint32_t mode_bit = read_check ? 1u << 10 : 1u << 1, pulse_bit = read_check ? 1u << 8 : 1u << 2;
    const int s = speed_ghz(c);
    std::map<int, int> &started = read_check ? x.reads_at : x.writes_at;
    if ((v & mode_bit) && !(old & mode_bit)) {
        chk = Check{};
        chk.on = true;
        chk.index = started[s]++;
        return;
    }
    if (!(v & mode_bit) && (old & mode_bit) && chk.on) {
        chk.on = false;
        if (chk.cycle > 0) {
            (read_check ? x.read_ok : x.write_ok)[s] = chk.failed * 2 < chk.cycle;
        }
        return;
    }
    if (!chk.on || !(v & pulse_bit) || (old & pulse_bit)) return;
    const int cycle = chk.cycle++;
    const uint32_t start = get(c, kPhy | uint32_t(ch) << 13 | (read_check ? 8u : 9u));
    bool fail = !(start & 1) || !pll_lock(k, ch, f);
    if (!read_check && has(f, "memtrain", k)) fail = true;
    for (const MemFault *m : all(f, read_check ? "memread" : "memwrite", k))
        if ((m->ch < 0 || m->ch == ch) && (m->speed == 0 || m->speed == s) && (m->times == 0 || chk.index < m->times) &&
            cycle < m->cycles)
            fail = true;
    chk.good = !fail;
    if (fail) chk.failed++;
}

void MemChips::start_dag(int k, const std::vector<MemFault> &f) {
    Chip &c = chip_[size_t(k - 1)];
    c.dag_started = false;
    for (int b = 0; b < 16; b++) {
        c.dag_polls[b] = -1;
        c.cell[key(block_reg(b, 0))] &= ~0x10u;
    }
    if (get(c, kMemMode) != 2 || !c.seeded || !c.cache_done) return;
    c.dag_started = true;
    const uint32_t d = pages(c.dag_items), cp = pages(c.cache_items);
    bool right = get(c, 0x86002) == 128 && get(c, 0x86003) == 0 && get(c, 0x86006) == 0 && get(c, 0x86007) == 0 &&
                 get(c, 0x86010) == (c.dag_items & 0xFFFF) && get(c, 0x86011) == c.dag_items >> 16 &&
                 get(c, 0x86015) == (c.cache_items & 0xFFFF) && get(c, 0x86016) == c.cache_items >> 16;
    for (uint32_t i = 0; i < 8; i++)
        right = right && get(c, 0x86020 + 2 * i) == i * d && get(c, 0x86021 + 2 * i) == (i + 1) * d - 1 &&
                get(c, 0x86030 + 2 * i) == i * cp && get(c, 0x86031 + 2 * i) == (i + 1) * cp - 1 &&
                get(c, 0x8C011 + 0x100 * i) == i * d;
    const bool never = [&] {
        for (const MemFault *m : all(f, "memdag", k))
            if (!m->late) return true;
        return false;
    }();
    for (int b = 0; b < 16; b++) {
        const uint32_t hub = get(c, block_reg(b, 0x14)) - 16;
        if (hub > 7) continue;
        const uint32_t fails = block_fails(k, b, f);
        const uint32_t w17 = get(c, block_reg(b, 0x17)), w18 = get(c, block_reg(b, 0x18));
        const uint32_t named[4] = {w17 & 0xFF, w17 >> 8 & 0xFF, w18 & 0xFF, w18 >> 8 & 0xFF};
        bool runs = !never && __builtin_popcount(fails) <= 21;
        for (uint32_t sc : named) runs = runs && sc < 32 && !(fails >> sc & 1);
        if (!runs) continue;
        int polls = 0;
        for (const MemFault *m : all(f, "memdag", k))
            if (m->late && uint32_t(m->block) == hub) polls = m->cycles;
        c.dag_polls[b] = polls;
        if (polls == 0) c.cell[key(block_reg(b, 0))] |= 0x10;
    }
    c.dag_params_right = right;
}

bool MemChips::can_hash(int k, const std::vector<MemFault> &f) const {
    if (k < 1 || size_t(k) > chip_.size()) return false;
    const Chip &c = chip_[size_t(k - 1)];
    if (!c.dag_started || !c.dag_params_right || !c.cache_right) return false;
    const uint32_t d = pages(c.dag_items);
    for (uint32_t hub = 0; hub < 8; hub++) {
        bool done = false;
        for (int b = 0; b < 16 && !done; b++)
            done = get(c, block_reg(b, 0x14)) == 16 + hub && (get(c, block_reg(b, 0)) & 0x10) &&
                   get(c, block_reg(b, 0x12)) == hub * d && get(c, block_reg(b, 0x13)) == (hub + 1) * d - 1;
        if (!done) return false;
    }
    return memory_right(k, f);
}

bool MemChips::memory_right(int k, const std::vector<MemFault> &f) const {
    const Chip &c = chip_[size_t(k - 1)];
    const int s = speed_ghz(c);
    if (s == 0) return false;
    for (int ch = 0; ch < 4; ch++) {
        const Channel &x = c.chan[ch];
        const auto r = x.read_ok.find(s);
        const auto w = x.write_ok.find(s);
        if (!pll_lock(k, ch, f) || r == x.read_ok.end() || !r->second || (w != x.write_ok.end() && !w->second))
            return false;
    }
    return true;
}

void MemChips::write(int k, uint32_t addr, uint32_t v, const std::vector<MemFault> &f) {
    Chip &c = chip_[size_t(k - 1)];
    log_write(k, addr, v);
    const uint32_t a = key(addr);
    const uint32_t old = get(c, addr);
    c.cell[a] = v;
    const int ch = int((addr & kChannelBits) >> 13);
    const uint32_t plain = addr & ~kChannelBits;
    if (addr == kPll + 0x500) {
        c.pll500 = v;
    } else if (addr == kPll + 0x504) {
        c.pll504 = v;
    } else if (plain == kPhy + 0x2A) {
        check_pulse(k, ch, true, old, v, f);
    } else if (plain == kPhy + 0x09) {
        check_pulse(k, ch, false, old, v, f);
    } else if (plain == kC1) {
        c.chan[ch].c1_ready = !(v & 8);
    } else if (plain == kC2) {
        c.chan[ch].c2_ready = !(v & 8);
    } else if (plain == kCfg + 1) {
        if ((v & (1u << 20)) && !(old & (1u << 20))) log_mr(k, ch, get(c, kCfg | (addr & kChannelBits) | 11) & 0xFFFF);
    } else if (addr == kMemMode) {
        if (v & 0x11C) {
            c.seeded = c.cache_done = c.cache_right = c.dag_started = false;
            for (int b = 0; b < 16; b++) c.dag_polls[b] = -1, c.cell[key(block_reg(b, 0))] &= ~0x10u;
            for (Channel &x : c.chan) x.read = x.write = Check{}, x.read_ok.clear(), x.write_ok.clear();
        }
    } else if (addr == kCacheCtl && v == 1) {
        const uint32_t seed = get(c, kSeed);
        if (!c.seeded || seed != c.seed) c.cache_done = c.cache_right = false;
        c.seeded = true;
        c.seed = seed;
        c.cache_items = kGoodCache;
        c.dag_items = kGoodDag;
        for (const MemFault *m : all(f, "memcount", k)) (m->which == "cache" ? c.cache_items : c.dag_items) = m->v;
        c.cell[key(kCounts)] = c.cache_items & 0xFFFF;
        c.cell[key(kCounts + 1)] = c.cache_items >> 16;
        c.cell[key(kCounts + 2)] = c.dag_items & 0xFFFF;
        c.cell[key(kCounts + 3)] = c.dag_items >> 16;
        c.cell[key(kCacheSt)] = 1u | (c.cache_done ? 2u : 0u);
    } else if (addr == kCacheCtl && v == 2 && c.seeded && get(c, kMemMode) == 1) {
        const uint32_t cp = pages(c.cache_items);
        bool right = c.seed == kGoodSeed && get(c, 0x84012) == 0 && get(c, 0x84013) == 4 && get(c, 0x84014) == 0 &&
                     get(c, 0x84015) == 0;
        for (uint32_t i = 0; i < 8; i++)
            right = right && get(c, 0x8F030 + 2 * i) == i * cp && get(c, 0x8F031 + 2 * i) == (i + 1) * cp - 1 &&
                    get(c, 0x8C010 + 0x100 * i) == i * cp;
        right = right && memory_right(k, f);
        uint32_t w = right ? kLastCacheWord : (kLastCacheWord ^ 0x5A5Au ^ (c.seed & 0xFFFF));
        const MemFault *m = nullptr;
        if (has(f, "memcache", k, &m)) w = m->v & 0xFFFF;
        c.cache_done = true;
        c.cache_right = right && w == kLastCacheWord;
        c.cell[key(kCacheSt)] = 3;
        c.cell[key(kLastCache)] = w;
    } else if (addr == kDagCtl) {
        if (v == 1) {
            start_dag(k, f);
        } else if (v == 0) {
            for (int b = 0; b < 16; b++)
                if (c.dag_polls[b] > 0) c.dag_polls[b] = -1;
        }
    }
}

void MemChips::reg0d(int first, int last, const uint8_t req[12], uint8_t out[12], const std::vector<MemFault> &f) {
    announce();
    for (int i = 0; i < 12; i++) out[i] = req[i];
    const uint32_t w3 = word(req + 4), w4 = word(req + 6);
    const uint32_t addr = (w3 & 0xF) << 16 | w4;
    if (w3 & 0x10) {
        const uint32_t v = word(req + 8) << 16 | word(req + 10);
        order_++;
        for (int k = first; k <= last; k++) write(k, addr, v, f);
        return;
    }
    const uint32_t v = read(first == last ? first : 1, addr, f);
    out[8] = uint8_t(v >> 24);
    out[9] = uint8_t(v >> 16);
    out[10] = uint8_t(v >> 8);
    out[11] = uint8_t(v);
}

void MemChips::bist_reset(int first, int last) {
    for (int k = first; k <= last; k++) {
        Chip &c = chip_[size_t(k - 1)];
        c.bist_reset = true;
        for (int b = 0; b < 16; b++) c.cell[key(block_reg(b, 0))] &= ~0x20u;
    }
}

void MemChips::bist_start(int first, int last, const std::vector<MemFault> &f) {
    for (int k = first; k <= last; k++) {
        Chip &c = chip_[size_t(k - 1)];
        if (!c.bist_reset || get(c, kMemMode) != 64) continue;
        c.bist_reset = false;
        bool seeds = get(c, 0xC0001) == 0x4A252D10 && get(c, 0x86040) == kBistSeeds[0];
        for (uint32_t i = 1; i < 26; i++) seeds = seeds && get(c, 0x86041 + i) == kBistSeeds[i];
        for (uint32_t i = 0; i < 8; i++) seeds = seeds && get(c, 0xC8082 + 0x1000 * i) == i;
        for (int b = 0; b < 16; b++) {
            c.cell[key(block_reg(b, 0))] |= 0x20;
            const uint32_t m = seeds ? block_fails(k, b, f) : 0xFFFFFFFFu;
            c.cell[key(block_reg(b, 4))] = m & 0xFFFF;
            c.cell[key(block_reg(b, 5))] = m >> 16;
        }
    }
}

}  // namespace sim
