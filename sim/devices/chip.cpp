#include "sim/devices/chip.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <unistd.h>

#include "drv/hub.h"
#include "drv/hub_gpio.h"
#include "os/os.h"

#include "sim/devices/chip_mem.h"
#include "sim/devices/gpio_devices.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/refusal.h"
#include "sim/devices/test_jobs.h"
#include "drv/kmx_chip_frame_internal.h"

// Choices where the chips' behaviour is ours to make (kept here, in one place):
// - Power-up or a reset-all (04 xx 00 00) leaves the chips without ids;
//   BIST start (01) gives an id to every chip without one and answers how
//   many it addressed in byte 3. A BIST reset (04 xx 20 20) keeps the ids,
//   so the BIST start after it answers 0.
// - A PLL image leaves the sensor code bits of the register as they were.
// - A PLL image the chip cannot run (from "pll_fail_mhz" or a pllfail
//   control on) is not taken and the write gets no reply. The library's
//   images (its push codes) carry the PLL flag (byte 0 bit 7) and the MHz
//   in bytes 1-2. The board test's images (its push codes) carry divider
//   fields, which each chip decodes in its own layout (pll_image_layout():
//   the one the board test packs for that chip), whatever byte 0 bit 7
//   holds: on reset code 5 that bit belongs to the divider word.
// - A job reset (BD BD) drops queued results; the chain clean (FF FF) acts
//   like a reset-all.
// - A broadcast (chip 0) acts on every chip; the reply comes from the last
//   chip that answers, with its id.
// - Each job written to chip k queues one result for k: data byte i is
//   job byte (2 + i) XOR k. A read-result (08) with nothing queued answers
//   [08, 00, zeros]: the echo passes, the id says "no result".
// - Register writes (09, 0D) store the data into the chip's register image;
//   reads (0A, 0D) return it. The sensor code sits in image bytes 7-8
//   (10 bits); the good cores in byte 11 (core_bits()) are a status the
//   chip measures, which no write changes: all of its cores after a reset
//   (healthy_cores()); "cores" sets what it reads.
// - Type-8 chips answer their sensor through 0D, the one the configuration
//   register selects (temperature or voltage), as the 0A answer does for
//   the others.
// - Type-12 chips answer a test job with one result per solution found
//   (test_jobs.h).
// - Frames sent by the hub carry zero CRC words; the chips do not check them.

namespace sim {

int divider_image_mhz(const uint8_t *b, int chip_type) {
    const bool t13 = chip_type == 13;
    const unsigned pre = t13 ? (b[0] & 0x3Fu) : ((b[0] >> 1) & 0x1Fu);
    const unsigned fb = t13 ? b[1] + 256u * (b[2] >> 4) : b[1] + 256u * (b[0] & 1u);
    unsigned post;
    if (t13)
        post = b[2] & 0x7u;
    else if (chip_type == 5 || chip_type == 6 || chip_type == 7 || chip_type == 10 || chip_type == 12 ||
             chip_type == 14 || chip_type == 15)
        post = (b[3] >> 4) & 0x7u;
    else
        post = (b[3] >> 6) & 0x3u;
    if (t13 && post > 3) post -= 2;
    const unsigned den = pre << post;
    return den ? int(fb * (t13 ? 50u : 12u) / den) : 0;
}

uint16_t chip_crc16(const uint8_t *p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

uint16_t chip_frame_crc16(const uint8_t *p, size_t n) {
    std::vector<uint8_t> sw(p, p + n);
    for (size_t i = 0; i + 1 < n; i += 2) std::swap(sw[i], sw[i + 1]);
    return chip_crc16(sw.data(), n);
}

namespace {

std::string regulator_path(int slot) { return kos::sim_dir() + "/regulator" + std::to_string(slot); }

// The regulator's whole state is its one setting line.
void set_regulator_line(int slot, const std::string &line) {
    if (slot < 0 || slot > 7 || !board_seated(slot)) return;
    kos::write_file_atomic(regulator_path(slot).c_str(), line + "\n");
}

}  // namespace

void set_chain_vid(int slot, int vid) { set_regulator_line(slot, "vid " + std::to_string(vid)); }

void set_chain_code(int slot, int code) { set_regulator_line(slot, "code " + std::to_string(code & 0xFF)); }

bool regulator_code(int slot, int *code) {
    *code = 0;
    std::string text;
    if (slot < 0 || !kos::emulated() || !kos::read_file(regulator_path(slot).c_str(), text)) return false;
    std::istringstream in(text);
    std::string key, value, extra;
    long long n = 0;
    if (!(in >> key >> value) || (in >> extra) || (key != "vid" && key != "code") ||
        !parse_int(value, 0, 255, &n)) {
        refuse("regulator" + std::to_string(slot) + ": not a regulator setting: \"" + text + "\"");
        return false;
    }
    *code = key == "vid" ? 8 * int(n) : int(n);
    return true;
}

void forget_regulator(int slot) { unlink(regulator_path(slot).c_str()); }

bool board_seated(int slot) {
    json_t *b = board_in_slot(slot);
    if (!b) return false;
    if (desc_bool(b, "fixture", false)) return true;
    // Mapped once per process: the engine asks on every frame.
    static volatile uint32_t *const mem = map_window_file(HUB_PERIPHERAL_PHY, HUB_PERIPHERAL_SIZE);
    return !mem || !((mem[HUB_INPUTS / 4] >> slot) & 1u);
}

int regulator_mv(int top_mv, int mv_per_vid, int code) {
    // Eight codes to a VID step; rounded to the nearest millivolt.
    return std::max(0, top_mv - (mv_per_vid * code + 4) / 8);
}

ChipChain::ChipChain(json_t *board, int slot) : slot_(slot) {
    if (!board) return;
    heat_ = double(desc_int(board, "heat", 0));
    volt_modelled_ = json_object_get(board, "volt_mv") != nullptr;
    // Memory chips run at a higher core voltage than the hashing chips.
    const bool mem_chips = (int(desc_int(board, "chip_type", 0)) & 0xF) == 0xA;
    volt_mv_ = int(desc_int(board, "volt_mv", mem_chips ? kMemChipTopMv : kHashChipTopMv));
    mv_per_vid_ = int(desc_int(board, "mv_per_vid", 3));
    min_mv_ = int(desc_int(board, "min_mv", 0));
    fixture_ = desc_bool(board, "fixture", false);
    work_mode_ = int(desc_int(board, "work_mode", 0x0F));
    if (const char *f = json_string_value(json_object_get(board, "echo_fault"))) echo_fault_ = f;
    chips_ = int(std::clamp<long long>(desc_int(board, "chips", fixture_ ? 10 : 0), 0, 255));
    chip_type_ = int(desc_int(board, "chip_type", 0)) & 0xF;
    model_ = int(desc_int(board, "chip_model", 0));
    dead_ = desc_bool(board, "dead", false);
    silent_ = int(desc_int(board, "silent_chip", 0));
    crc_error_ = desc_bool(board, "crc_error", false);
    raw_given_ = json_object_get(board, "temp_raw") != nullptr;
    temp_raw_ = int(desc_int(board, "temp_raw", 600));
    never_completes_ = desc_bool(board, "temp_never_completes", false);
    read_service_faults(board);
    pll_lock_ms_ = int(desc_int(board, "pll_lock_ms", 0));
    pll_fail_mhz_ = int(desc_int(board, "pll_fail_mhz", 0));
    pll_fail_chip_ = int(desc_int(board, "pll_fail_chip", 0));
    chip_.resize(size_t(chips_));
    if (chip_type_ == 0xA) mem_ = std::make_shared<MemChips>(chips_, board, slot_);
    last_code_.assign(size_t(chips_), -1);
    reset_chips();
}

void ChipChain::reset_chips() {
    for (size_t i = 0; i < chip_.size(); i++) {
        Chip &c = chip_[i];
        memset(c.reg0a, 0, sizeof c.reg0a);
        const int raw = (temp_raw_ + int(i)) & 0x3FF;
        c.reg0a[7] = uint8_t(raw >> 8);
        c.reg0a[8] = uint8_t(raw);
        c.reg0a[11] = healthy_cores();
        if (model_ == 14 || model_ == 15) {
            const uint8_t pll[4] = {0x02, 0x50, 0x40, 0x30};
            memcpy(c.reg0a, pll, sizeof pll);
        }
        memcpy(c.reg0d, c.reg0a, sizeof c.reg0d);
        c.results.clear();
        c.test_results.clear();
        c.addressed = false;
        c.pll_ms = 0;
        c.pll_refused = false;
        c.temp_reads = 0;
    }
    if (mem_) mem_->reset();
}

namespace {

// The values each control line takes after its key: how many at least and
// at most, and each one's range (the first is the chip, 0: every chip).
struct ControlForm {
    const char *key;
    int min_args, max_args;
    long long lo[3], hi[3];
};
constexpr long long kAny = 1000000;
const ControlForm kControlForms[] = {
    {"temp", 2, 2, {0, -kAny}, {255, kAny}},
    {"settle", 3, 3, {0, -kAny, 0}, {255, kAny, kAny}},
    {"raw", 2, 2, {0, 0}, {255, 1023}},
    {"volt", 2, 2, {0, -kAny}, {255, kAny}},
    {"stale", 1, 1, {0}, {255}},
    {"badcrc", 1, 1, {0}, {255}},
    {"badhead", 1, 1, {0}, {255}},
    {"silent", 1, 1, {0}, {255}},
    {"pllfail", 2, 2, {0, 1}, {255, kAny}},
    {"fail", 1, 2, {0, 0}, {15, kAny}},  // the code in hex
    {"cores", 2, 2, {0, 0}, {255, 255}},
    {"unlocked", 1, 1, {0}, {255}},
    {"drop", 1, 1, {0}, {255}},
    {"corrupt", 1, 1, {0}, {255}},
    {"wrongjob", 1, 1, {0}, {255}},
    {"groups", 2, 2, {0, 0}, {255, 15}},
};

bool parse_hex(const std::string &s, long long lo, long long hi, long long *v) {
    if (s.empty() || !isxdigit(static_cast<unsigned char>(s[0]))) return false;
    char *end = nullptr;
    const long long n = strtoll(s.c_str(), &end, 16);
    if (*end || n < lo || n > hi) return false;
    *v = n;
    return true;
}

}  // namespace

std::vector<ChipChain::Control> ChipChain::controls() {
    std::vector<Control> out;
    std::string text;
    has_controls_ = slot_ >= 0 && kos::emulated() &&
                    kos::read_file((kos::sim_dir() + "/chips" + std::to_string(slot_)).c_str(), text);
    if (!has_controls_) return out;
    const std::string file = "chips" + std::to_string(slot_);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::vector<std::string> w;
        for (std::string t; l >> t;) w.push_back(t);
        if (w.empty()) continue;
        Control c;
        c.key = w[0];
        if (c.key.compare(0, 3, "mem") == 0) {
            // Memory faults keep their whole line (see mem_faults()).
            MemFault f;
            if (!mem_)
                refuse(file + ": a memory fault on a board without memory chips: \"" + line + "\"");
            else if (!MemChips::parse_fault(line, &f))
                refuse(file + ": memory fault not understood: \"" + line + "\"");
            else
                c.key = line, out.push_back(c);
            continue;
        }
        const ControlForm *form = nullptr;
        for (const ControlForm &x : kControlForms)
            if (c.key == x.key) form = &x;
        if (!form) {
            refuse(file + ": unknown control \"" + line + "\"");
            continue;
        }
        const int args = int(w.size()) - 1;
        bool ok = args >= form->min_args && args <= form->max_args;
        long long v[3] = {};
        for (int i = 0; ok && i < args; i++)
            ok = c.key == "fail" && i == 0 ? parse_hex(w[1], form->lo[0], form->hi[0], &v[0])
                                           : parse_int(w[size_t(i) + 1], form->lo[i], form->hi[i], &v[i]);
        if (!ok) {
            refuse(file + ": bad value in \"" + line + "\"");
            continue;
        }
        // A chip the board does not have would never act.
        if (c.key != "fail" && v[0] > chips_) {
            refuse(file + ": no chip " + std::to_string(v[0]) + " on a board of " + std::to_string(chips_) +
                   " chips: \"" + line + "\"");
            continue;
        }
        c.n = int(v[0]), c.v = int(v[1]), c.r = int(v[2]);
        out.push_back(c);
    }
    return out;
}

void ChipChain::lose_state() {
    std::lock_guard<std::mutex> g(lock_);
    reset_chips();
}

int ChipChain::answering() const {
    if (dead_) return 0;
    if (silent_ > 0 && silent_ <= chips_) return silent_ - 1;
    return chips_;
}

std::vector<int> ChipChain::sensor_codes(int msb, int lsb) {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<int> v;
    // Bit 0 is the last bit of the 12-byte register image; a field reaching
    // past the image reads as zeros there.
    const auto bit = [](const uint8_t *img, int n) { return n < 96 ? (img[11 - n / 8] >> (n % 8)) & 1 : 0; };
    for (int i = 0; i < answering(); i++) {
        int code = 0;
        for (int n = msb; n >= lsb && n >= 0; n--) code = code << 1 | bit(chip_[size_t(i)].reg0a, n);
        v.push_back(code);
    }
    return v;
}

void ChipChain::reply_frame(uint8_t code, uint8_t id, const uint8_t *data, size_t dlen, uint8_t *reply,
                            size_t reply_len) {
    std::vector<uint8_t> f(dlen + 4, 0);
    f[0] = bad_head_chip_ == 0 || bad_head_chip_ == id ? uint8_t(code ^ 0x30) : code;
    f[1] = id;
    if (dlen) memcpy(f.data() + 2, data, dlen);
    uint16_t crc = chip_frame_crc16(f.data(), dlen + 2);
    if (crc_error_ || bad_crc_chip_ == 0 || bad_crc_chip_ == id) crc ^= 0x0001;
    f[dlen + 2] = uint8_t(crc >> 8);
    f[dlen + 3] = uint8_t(crc);
    memcpy(reply, f.data(), std::min(reply_len, f.size()));
}

void ChipChain::exchange(const uint8_t *frame, size_t len, uint8_t *reply, size_t reply_len, bool divider_pll) {
    std::lock_guard<std::mutex> g(lock_);
    memset(reply, 0, reply_len);
    if (len < 2) return;
    if (fixture_) {
        fixture_exchange(frame, len, reply, reply_len);
        return;
    }
    const uint8_t code = frame[0] & 0xF;
    const int id = frame[1];
    if (slot_ >= 0 && !board_seated(slot_)) {
        // Pulled: nothing answers, and the chips come back blank.
        reset_chips();
        return;
    }
    if (silenced_by_fault(code)) return;
    const std::vector<Control> ctl = controls();
    bad_crc_chip_ = bad_head_chip_ = -1;
    for (const Control &c : ctl) {
        if (c.key == "badcrc") bad_crc_chip_ = c.n;
        if (c.key == "badhead") bad_head_chip_ = c.n;
    }
    if (min_mv_ > 0 && core_mv() < min_mv_) {
        // Browned out: nothing answers, and what the chips held is gone.
        reset_chips();
        return;
    }
    const int live = answering();
    if (live == 0) return;
    if (id > live) return;  // no such chip, or behind a silent one
    const int last = id == 0 ? live : id;
    const int first = id == 0 ? 1 : id;
    // Bytes of the reply available for data: header 2, CRC 2.
    const size_t dlen = reply_len >= 4 ? reply_len - 4 : 0;
    Chip &target = chip_[size_t(last - 1)];
    const long long seen = code_seen_[code]++;
    for (const Control &c : ctl)
        if (c.key == "fail" && c.n == code && seen >= c.v) return;
    switch (code) {
    case 0x04: {
        const uint8_t p = len >= 4 ? frame[2] : 0;
        if (p == 0x00 || p == 0xFF) {
            reset_chips();
        } else if (p == 0xBD || p == 0xA4 || p == 0xE1 || p == 0x24) {
            // Job resets: the chips drop their queued work and results.
            for (int k = first; k <= last; k++) chip_[size_t(k - 1)].results.clear(), chip_[size_t(k - 1)].test_results.clear();
        } else if (p == 0xA0 && mem_) {
            mem_->bist_reset(first, last);
        }
        const uint8_t r[4] = {uint8_t(chip_type_ << 4 | 0x4), uint8_t(last), 0, 0};
        memcpy(reply, r, std::min<size_t>(reply_len, 4));
        return;
    }
    case 0x01: {
        if (mem_) mem_->bist_start(first, last, mem_faults(ctl));
        int n = 0;
        for (int k = 1; k <= live; k++)
            if (!chip_[size_t(k - 1)].addressed) chip_[size_t(k - 1)].addressed = true, n++;
        const uint8_t r[4] = {0x01, uint8_t(last), 0, uint8_t(n)};
        memcpy(reply, r, std::min<size_t>(reply_len, 4));
        return;
    }
    case 0x0D:
        if (mem_) {
            uint8_t req[12] = {}, data[60] = {};
            memcpy(req, frame + 2, std::min<size_t>(len > 2 ? len - 2 : 0, 12));
            mem_->reg0d(first, last, req, data, mem_faults(ctl));
            reply_frame(0x1D, uint8_t(last), data, std::min<size_t>(dlen, sizeof data), reply, reply_len);
            return;
        }
        [[fallthrough]];
    case 0x09: {
        const size_t n = std::min<size_t>(len > 2 ? len - 2 : 0, 12);
        const bool lib_pll = !divider_pll && code == 0x09 && n >= 3 && (frame[2] & 0x80);
        // The board test packs its PLL as divider fields: the frequency
        // those fields give, in this chip's layout, is what it is asked to run.
        const int bt_mhz = divider_pll && code == 0x09 && n >= 4 ? divider_image_mhz(frame + 2, pll_image_layout()) : 0;
        const bool pll = lib_pll || bt_mhz > 0;
        const int mhz = lib_pll ? frame[3] << 8 | frame[4] : bt_mhz;
        const auto cannot_run = [&](int k) {
            const auto from = [&](int chip, int f) { return f > 0 && mhz >= f && (chip == 0 || chip == k); };
            bool no = from(pll_fail_chip_, pll_fail_mhz_);
            for (const Control &c : ctl)
                if (c.key == "pllfail") no = no || from(c.n, c.v);
            return no;
        };
        bool refused = false;
        for (int k = first; k <= last; k++) {
            Chip &c = chip_[size_t(k - 1)];
            if (pll) {
                if (cannot_run(k)) {
                    refused = true;
                    c.pll_refused = true;
                    continue;
                }
                c.pll_ms = kos::mono_ms();
                c.pll_refused = false;
            }
            memcpy(c.reg0d, frame + 2, n);
            if (code == 0x09) {
                c.library_image = !divider_pll;
                // A PLL setting leaves the sensor's output (byte 7 bits 0-1,
                // byte 8) as the chip had it.
                const uint8_t s7 = c.reg0a[7] & 0x03, s8 = c.reg0a[8], s11 = c.reg0a[11];
                memcpy(c.reg0a, frame + 2, n);
                if (pll) c.reg0a[7] = uint8_t((c.reg0a[7] & 0xFC) | s7), c.reg0a[8] = s8;
                // The good-core count is a status the chip measures: no
                // image changes it.
                const uint8_t keep = core_bits();
                c.reg0a[11] = uint8_t((c.reg0a[11] & ~keep) | (s11 & keep));
            }
        }
        if (refused) return;
        if (code == 0x09) {
            reply[0] = 0x09;
            if (reply_len > 1) reply[1] = uint8_t(last);
            return;
        }
        uint8_t data[60] = {};
        memcpy(data, target.reg0d, 12);
        if (chip_type_ == 3) {
            // Chip type 3 answers its sensor through register 0x0d: the raw
            // code in bytes 2-3, big-endian, low 10 bits, of the sensor its
            // configuration register selects.
            const int sel = sensor_selected(target.reg0a);
            int code = sensor_code(last, sel == 1, ctl);
            if (code == -2) return;
            if (sel < 0 && code >= 0) code = 0;
            if (code >= 0) {
                data[2] = uint8_t((data[2] & 0xFC) | ((code >> 8) & 0x3));
                data[3] = uint8_t(code);
            }
        }
        if (model_ == 15) data[10] = 0x19, data[11] = 0x54;
        reply_frame(0x1D, uint8_t(last), data, std::min<size_t>(dlen, sizeof data), reply, reply_len);
        return;
    }
    case 0x0A: {
        uint8_t data[60] = {};
        memcpy(data, target.reg0a, 12);
        if ((data[0] & 0x80) && pll_lock_ms_ > 0) {
            const bool locked = kos::mono_ms() - target.pll_ms >= uint64_t(pll_lock_ms_);
            data[0] = uint8_t(locked ? data[0] | 0x40 : data[0] & ~0x40);
        }
        for (const Control &c : ctl)
            if (c.key == "cores" && (c.n == 0 || c.n == last)) data[11] = uint8_t(c.v);
        report_pll_lock(target, last, ctl, data);
        const int sel = sensor_selected(target.reg0a);
        int code = sensor_code(last, sel == 1, ctl);
        if (code == -2) return;
        // With a modelled sensor, an image that selects neither reads 0.
        if (sel < 0 && code >= 0) code = 0;
        if (code >= 0) {
            data[7] = uint8_t((data[7] & 0xFC) | ((code >> 8) & 0x3));
            data[8] = uint8_t(code);
        }
        reply_frame(0x1A, uint8_t(last), data, std::min<size_t>(dlen, sizeof data), reply, reply_len);
        return;
    }
    case 0x0C:
    case 0x07: {
        if (id == 0) return;
        if (test_job(frame, len, target, last, ctl)) return;
        if (code != 0x07) {
            reply[0] = code;
            if (reply_len > 1) reply[1] = uint8_t(last);
            return;
        }
        std::vector<uint8_t> res(60, 0);
        for (size_t i = 0; i < res.size() && 2 + i < len; i++) res[i] = uint8_t(frame[2 + i] ^ id);
        if (target.results.size() < 64) target.results.push_back(res);
        return;
    }
    case 0x08: {
        for (int k = first; k <= last; k++) {
            Chip &c = chip_[size_t(k - 1)];
            if (!c.test_results.empty()) {
                // [id << 4 | 8, chip, data..., CRC, pad]: the CRC closes
                // the data one word before the end of the read.
                std::vector<uint8_t> res = c.test_results.front();
                c.test_results.pop_front();
                const uint8_t head = res[0];
                res.erase(res.begin());
                reply_frame(head, uint8_t(k), res.data(), std::min(dlen >= 2 ? dlen - 2 : 0, res.size()), reply, reply_len);
                return;
            }
            if (c.results.empty()) continue;
            std::vector<uint8_t> res = c.results.front();
            c.results.pop_front();
            reply_frame(0x18, uint8_t(k), res.data(), std::min(dlen, res.size()), reply, reply_len);
            return;
        }
        reply[0] = 0x08;
        return;
    }
    default:
        // 0x03, 0x0B, 0x05, 0x06 and unknown codes: echo only.
        reply[0] = code;
        if (reply_len > 1) reply[1] = uint8_t(last);
        return;
    }
}

std::vector<MemFault> ChipChain::mem_faults(const std::vector<Control> &ctl) {
    std::vector<MemFault> out;
    MemFault f;
    for (const Control &c : ctl)
        if (MemChips::parse_fault(c.key, &f)) out.push_back(f);
    return out;
}

void ChipChain::read_service_faults(json_t *board) {
    no_power_ = desc_bool(board, "no_power", false);
    stop_after_jobs_ = desc_int(board, "stop_after_jobs", -1);
}

// Under the lock. Jobs are counted as they arrive; the chain stops
// answering once the limit has passed, power cycles included.
bool ChipChain::silenced_by_fault(uint8_t code) {
    if (no_power_) return true;
    if (is_job_write(code)) jobs_seen_++;
    return stop_after_jobs_ >= 0 && jobs_seen_ > stop_after_jobs_;
}

// Every chip takes jobs with code 7; the wide-job chips (reset codes 0 and
// 5: the board test's types 0, 10, 14 and 15) also with code 0xC, the
// board test's wide job.
bool ChipChain::is_job_write(uint8_t code) const {
    return code == 0x07 || (code == 0x0C && (chip_type_ == 0x0 || chip_type_ == 0x5));
}

void ChipChain::fixture_exchange(const uint8_t *frame, size_t len, uint8_t *reply, size_t reply_len) {
    const uint8_t code = frame[0] & 0xF;
    if (code == 0x0F) {
        if (work_mode_ >= 0) reply[0] = uint8_t(work_mode_);
        return;
    }
    if (code == 0x01) {
        const uint8_t r[4] = {0x01, frame[1], 0, uint8_t(chips_)};
        memcpy(reply, r, std::min<size_t>(reply_len, 4));
        return;
    }
    if (code != 0x07) {
        reply[0] = code;
        return;
    }
    if (echo_fault_ == "none") return;
    uint8_t job[158] = {};
    memcpy(job, frame, std::min(len, sizeof job));
    const uint16_t crc = chip_frame_crc16(job, sizeof job);
    uint8_t echo[46];
    memcpy(echo, job, 42);
    echo[42] = echo[44] = uint8_t(crc >> 8);
    echo[43] = echo[45] = uint8_t(crc);
    if (echo_fault_ == "data") echo[17] ^= 0xFF;
    if (echo_fault_ == "crc") echo[44] ^= 0x01;
    memcpy(reply, echo, std::min(reply_len, sizeof echo));
}

namespace {

// The code closest to reading t degrees on a sensor of constant t0
// (several codes share a degree).
int code_for(double t, int t0) {
    int best = 0;
    double err = 1e9;
    for (int raw = 0; raw < 1024; raw++) {
        const int c = int(float(t0 - raw) * 2.0f / 3.0f + 0.5f);
        if (std::fabs(c - t) < err) err = std::fabs(c - t), best = raw;
    }
    return best;
}

}  // namespace

namespace {
uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
}  // namespace

// The core voltage at the regulator's setting (code 0 before any).
int ChipChain::core_mv(bool *set) const {
    int code = 0;
    const bool has = regulator_code(slot_, &code);
    if (set) *set = has;
    return regulator_mv(volt_mv_, mv_per_vid_, code);
}

bool ChipChain::names(const std::vector<Control> &ctl, const char *key, int k, int *v) {
    for (const Control &c : ctl)
        if (c.key == key && (c.n == 0 || c.n == k)) {
            if (v) *v = c.v;
            return true;
        }
    return false;
}

// A board-test job (a job id in byte 0's high nibble) is worked by the rule
// of test_jobs.h; false for other job frames. A job whose CRC does not
// check is dropped. Fault controls: "drop N" loses chip N's results,
// "corrupt N" flips a bit of its nonce word, "wrongjob N" makes it work the
// job as another job id, "groups N M" leaves only core groups M (4 bits) of
// a wide job finding the nonce.
bool ChipChain::test_job(const uint8_t *frame, size_t len, Chip &target, int k, const std::vector<Control> &ctl) {
    const int job_id = frame[0] >> 4;
    const bool wide = (frame[0] & 0xF) == 0x0C;
    if (job_id == 0 || len < 12 || len % 2) return false;
    // The frame ends with the CRC word and one zero word.
    const size_t words = wide ? 81 : len / 2;
    if (len < words * 2) return true;
    const size_t crc_at = words - 2;
    if (chip_frame_crc16(frame, crc_at * 2) != be16(frame + crc_at * 2)) return true;
    std::vector<uint16_t> w(words);
    for (size_t i = 0; i < words; i++) w[i] = be16(frame + 2 * i);
    size_t data_end, start_at, end_at = 0;
    if (wide) {
        data_end = 71, start_at = 72;
    } else {
        if (words < 7) return true;
        data_end = words - 5, start_at = words - 4, end_at = words - 3;
    }
    const int hashed_id = names(ctl, "wrongjob", k) ? job_id ^ 1 : job_id;
    const uint32_t g = test_job_golden(hashed_id, w.data() + 1, data_end - 1);
    const uint16_t pos = test_job_position(g);
    // A wide job is searched by every core of each of the four core groups,
    // one position per core from the range start; word 75 is not an end.
    const bool found = wide ? pos >= w[start_at] && uint32_t(pos) < uint32_t(w[start_at]) + uint32_t(wide_cores())
                            : pos >= w[start_at] && pos <= w[end_at];
    if (names(ctl, "drop", k)) return true;
    if (chip_type_ == 0x9 && !wide) {
        queue_solutions(target, job_id, g, w[start_at], w[end_at], names(ctl, "corrupt", k));
        return true;
    }
    if (!found) return true;
    // A memory chip needs its DAG in memory that reads back right.
    if (mem_ && !mem_->can_hash(k, mem_faults(ctl))) return true;
    uint16_t nonce = test_job_nonce(g);
    if (wide) {
        int groups = 0xF;
        names(ctl, "groups", k, &groups);
        nonce = uint16_t((nonce & 0xFFF0) | (groups & 0xF));
    }
    if (names(ctl, "corrupt", k)) nonce ^= 0x0100;
    // Memory chips (reset code 0xA) answer in words 18 (nonce) and 17.
    const bool mem = chip_type_ == 0xA;
    std::vector<uint8_t> res(1 + 40, 0);
    res[0] = uint8_t(job_id << 4 | 0x08);
    const size_t nw = mem ? 18 : 1, pw = mem ? 17 : 2;
    res[1 + 2 * (nw - 1)] = uint8_t(nonce >> 8), res[2 + 2 * (nw - 1)] = uint8_t(nonce);
    res[1 + 2 * (pw - 1)] = uint8_t(pos >> 8), res[2 + 2 * (pw - 1)] = uint8_t(pos);
    if (target.test_results.size() < 64) target.test_results.push_back(res);
    return true;
}

// Chip type 12: one result per solution in the job's range, each of the
// chip's 677-word result length (header word, 676 data words; the CRC
// follows). "corrupt" flips a bit of each solution's nonce word.
void ChipChain::queue_solutions(Chip &target, int job_id, uint32_t g, uint16_t start, uint16_t end, bool corrupt) {
    constexpr size_t kDataBytes = 2 * 676;
    for (int i = 0; i < kMultiSolutions; i++) {
        uint16_t words[kSolutionWords];
        test_job_solution(g, i, words);
        if (words[1] < start || words[1] > end) continue;
        if (corrupt) words[0] ^= 0x0100;
        std::vector<uint8_t> res(1 + kDataBytes, 0);
        res[0] = uint8_t(job_id << 4 | 0x08);
        for (int w = 0; w < kSolutionWords; w++) res[1 + 2 * w] = uint8_t(words[w] >> 8), res[2 + 2 * w] = uint8_t(words[w]);
        if (target.test_results.size() < 64) target.test_results.push_back(res);
    }
}

// Cores per core group of a wide-job chip: 60 on model 14, 96 on model 15,
// 32 on the others.
int ChipChain::wide_cores() const { return model_ == 15 ? 96 : model_ == 14 ? 60 : 32; }

// What a chip with every core good reports in register byte 11: its
// chip type's cores (reset code 0x6: 9, 0x7: 28, 0xA: 16, 0xB: 6, 0xC: 63;
// models 14 and 15: 60 and 96; 32 on the others), as a count; type-8 chips
// (reset code 3) report one bit per core, six.
uint8_t ChipChain::healthy_cores() const {
    switch (chip_type_) {
    case 0x3: return 0x3F;
    case 0x5: return model_ == 15 ? 96 : model_ == 14 ? 60 : 32;
    case 0x6: return 9;
    case 0x7: return 28;
    case 0xA: return 16;
    case 0xB: return 6;
    case 0xC: return 63;
    default: return 32;
    }
}

// The temperature constant T0 of the chips' sensor (raw code = T0 - 1.5 x
// degrees), by their process: the chips of reset codes 0, 5 and 9 are of
// the older one (588), model 15 of the newer one (605), the others 594.
int ChipChain::temp_t0() const {
    if (chip_type_ == 0x5 && model_ == 15) return 605;
    if (chip_type_ == 0x0 || chip_type_ == 0x5 || chip_type_ == 0x9) return 588;
    return 594;
}

// The voltage factor K of the chips' sensor (raw code = mV x 1024 / K,
// rounded), by their process as temp_t0(): 1248 on the older one, 1238 on
// model 15, 1230 on the others.
int ChipChain::volt_k() const {
    if (chip_type_ == 0x5 && model_ == 15) return 1238;
    if (chip_type_ == 0x0 || chip_type_ == 0x5 || chip_type_ == 0x9) return 1248;
    return 1230;
}

// The layout of the divider fields in this chip's PLL image, named by the
// board test's chip type that packs it (divider_image_mhz()): reset codes
// 0x0 -> 0, 0x3 -> 8, 0x5 -> 10 (models 14 and 15, types 14 and 15, take
// the same layout), 0x6 -> 1, 0x7 -> 6, 0x9 -> 12, 0xA -> 13, 0xB -> 5,
// 0xC -> 7. The other reset codes are no chip the board test knows: the
// common layout (type 4).
int ChipChain::pll_image_layout() const {
    switch (chip_type_) {
    case 0x0: return 0;
    case 0x3: return 8;
    case 0x5: return 10;
    case 0x6: return 1;
    case 0x7: return 6;
    case 0x9: return 12;
    case 0xA: return 13;
    case 0xB: return 5;
    case 0xC: return 7;
    default: return 4;
    }
}

// Type-12 chips (reset code 0x9) hold their good cores in byte 11 bits
// 0-5, the memory chips (0xA) in bits 0-6, the others in the whole byte.
uint8_t ChipChain::core_bits() const { return chip_type_ == 0x9 ? 0x3F : chip_type_ == 0xA ? 0x7F : 0xFF; }

// The main PLL's lock status in the configuration read-back: byte 2 bit 0
// (byte 3 bit 1 on the memory chips, reset code 0xA). A chip whose last PLL
// image was refused, or named by an "unlocked" control, reads unlocked.
void ChipChain::report_pll_lock(const Chip &c, int k, const std::vector<Control> &ctl, uint8_t data[12]) const {
    // The library's images (PLL settings with byte 0 bit 7 carry their lock
    // in byte 0 bit 6 and their frequency in byte 2) are left as they are.
    if (c.library_image) return;
    bool locked = !c.pll_refused;
    for (const Control &x : ctl)
        if (x.key == "unlocked" && (x.n == 0 || x.n == k)) locked = false;
    if (chip_type_ == 0xA)
        data[3] = uint8_t(locked ? data[3] | 0x02 : data[3] & ~0x02);
    else
        data[2] = uint8_t(locked ? data[2] | 0x01 : data[2] & ~0x01);
}

// The sensor the configuration image selects: byte 5 bits 0-1 and byte 6
// bit 1 together. 0/clear is temperature, 1/set voltage; an image where the
// two disagree selects neither, and the sensor field then reads 0.
int ChipChain::sensor_selected(const uint8_t reg[12]) {
    const int b5 = reg[5] & 0x3;
    const bool b6 = reg[6] & 0x02;
    if (b5 == 0 && !b6) return 0;
    if (b5 == 1 && b6) return 1;
    return -1;
}

// -1: no override (the stored image stands), -2: no reply, else the code.
int ChipChain::sensor_code(int k, bool volt_mode, const std::vector<Control> &ctl) {
    int fixed_t = -1000, raw = -1, volt_ofs = 0, settle_t = 0, settle_reads = 0;
    bool stale = false, silent = false;
    bool regulated = false;
    const int core = core_mv(&regulated);
    // Without a model or controls the register image written stands as is.
    if (!has_controls_ && !regulated && heat_ <= 0 && !volt_modelled_) return -1;
    for (const Control &c : ctl) {
        if (c.n != 0 && c.n != k) continue;
        if (c.key == "temp") fixed_t = c.v;
        if (c.key == "settle") settle_t = c.v, settle_reads = c.r;
        if (c.key == "raw") raw = c.v;
        if (c.key == "volt") volt_ofs = c.v;
        if (c.key == "stale") stale = true;
        if (c.key == "silent") silent = true;
    }
    if (silent) return -2;
    int &last = last_code_[size_t(k - 1)];
    if (stale && last >= 0) return last;
    int code = -1;
    const bool settling = !volt_mode && ++chip_[size_t(k - 1)].temp_reads <= settle_reads;
    if (settling) {
        code = code_for(settle_t, temp_t0());
    } else if (volt_mode) {
        const int mv = std::max(0, core + volt_ofs);
        const int k = volt_k();
        code = std::min(1023, ((mv << 10) + k / 2) / k);
    } else if (raw >= 0) {
        code = raw & 0x3FF;
    } else if (fixed_t > -1000) {
        code = code_for(fixed_t, temp_t0());
    } else if (heat_ > 0 || !raw_given_) {
        // The thermal model; a board without "heat" sits at 25 degrees.
        const uint64_t now = kos::mono_ms();
        const int duty = fan_duty_ ? std::clamp(fan_duty_(), 0, 100) : 0;
        const double target = 25.0 + heat_ / (1.0 + duty / 25.0);
        if (model_ms_ == 0) model_t_ = target;
        else model_t_ += (target - model_t_) * (1.0 - std::exp(-double(now - model_ms_) / 20000.0));
        model_ms_ = now;
        // Chips further along run a little warmer.
        code = code_for(model_t_ + (k - 1) % 4, temp_t0());
    }
    if (code >= 0 && !volt_mode) last = code;
    return code;
}

}  // namespace sim
