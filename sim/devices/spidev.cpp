#include "sim/devices/spidev.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <linux/spi/spidev.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os.h"
#include "os/spi.h"
#include "os/sysfs.h"
#include "sim/devices/chip.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/sim_devices.h"
#include "drv/kmx_chip_frame_internal.h"

namespace sim {

namespace {

constexpr uint32_t kPioMap = 0x01C20000;
constexpr uint32_t kPioOff = 0x800;

struct ChainState {
    std::unique_ptr<ChipChain> chips;
    std::deque<uint8_t> stream;  // reply bytes still to be read
    int idle_words = 2;
    int result_len = 8;
    SpiFault fault = SpiFault::None;
    int fault_times = 0;
    std::vector<std::vector<uint8_t>> frames;
    int reads = 0;
};

struct State {
    std::mutex lock;
    std::map<int, ChainState> chains;
    int io_failures = 0;
    std::vector<unsigned long> ioctls;
    std::vector<int> last_select;
};

// Never destroyed: a program's exit runs the static destructors while its
// other threads may still be talking to the chains.
State &state() {
    static State *s = new State;
    return *s;
}

ChainState &chain_state(int chain) {
    auto &m = state().chains;
    auto it = m.find(chain);
    if (it != m.end()) return it->second;
    ChainState &c = m[chain];
    json_t *board = board_in_slot(chain);
    c.chips = std::make_unique<ChipChain>(board, chain);
    c.idle_words = int(desc_int(board, "spi_idle_words", 2));
    c.result_len = int(desc_int(board, "result_len", 8));
    return c;
}

SpiFault take_fault(ChainState &c) {
    if (c.fault_times <= 0) return SpiFault::None;
    c.fault_times--;
    return c.fault;
}

bool io_fails() {
    if (state().io_failures <= 0) return false;
    state().io_failures--;
    return true;
}

// The chips' reply to [code, chip, data...]; empty when they ignore it.
std::vector<uint8_t> chip_reply(ChainState &c, const uint8_t *f, size_t n) {
    if (n < 2) return {};
    const uint8_t code = f[0] & 0xF;
    size_t body = n;
    if (code == 0x09 || code == 0x0D) {
        // These two carry a CRC over the frame before it; a frame that fails
        // it is noise to the chips.
        if (n < 4 || chip_frame_crc16(f, n - 2) != uint16_t(f[n - 2] << 8 | f[n - 1])) return {};
        body = n - 2;
    }
    size_t reply_len = 4;
    switch (code) {
    case 0x07: reply_len = 0; break;
    case 0x09: reply_len = body; break;  // header and the data length
    case 0x0A: reply_len = 16; break;    // 12 register bytes
    case 0x0D: reply_len = body + 2; break;
    case 0x08: reply_len = size_t(c.result_len) + 4; break;
    default: break;
    }
    std::vector<uint8_t> r(reply_len ? reply_len : 1);
    c.chips->exchange(f, body, r.data(), reply_len);
    if (reply_len == 0) return {};
    bool silent = true;
    for (uint8_t b : r) silent = silent && b == 0;
    return silent ? std::vector<uint8_t>{} : r;
}

void corrupt(std::vector<uint8_t> &r, SpiFault fault) {
    if (r.empty()) return;
    if (fault == SpiFault::WrongHeader) r[0] = uint8_t((r[0] & 0xF0) | ((r[0] + 1) & 0xF));
    if (fault == SpiFault::BadCrc) r.back() ^= 0x01;
}

void queue_idle(ChainState &c) {
    for (int i = 0; i < c.idle_words; i++) c.stream.insert(c.stream.end(), {0, 0});
}

// A frame on a direct link, or an unwrapped chip reply on the shared bus.
void queue_plain(ChainState &c, const uint8_t *f, size_t n) {
    const SpiFault fault = take_fault(c);
    c.stream.clear();
    std::vector<uint8_t> r = chip_reply(c, f, n);
    if (r.empty() || fault == SpiFault::NoReply) return;
    corrupt(r, fault);
    queue_idle(c);
    if (fault == SpiFault::Decoy) c.stream.insert(c.stream.end(), {uint8_t(f[0] & 0xF), 0});
    c.stream.insert(c.stream.end(), r.begin(), r.end());
}

// Wrapped answers on the shared bus: mark, [code 00], then the body.
void queue_wrapped(ChainState &c, uint8_t m0, uint8_t m1, uint8_t code, std::vector<uint8_t> body, SpiFault fault) {
    c.stream.clear();
    if (fault == SpiFault::NoReply) return;
    if (fault == SpiFault::WrongHeader) {
        if (m0 == 0xA5 && !body.empty()) corrupt(body, fault);
        else std::swap(m0, m1);
    }
    c.stream.insert(c.stream.end(), {m0, m1, code, uint8_t(fault == SpiFault::BadAck ? 1 : 0)});
    if (fault == SpiFault::BadCrc && !body.empty()) body.back() ^= 0x01;
    c.stream.insert(c.stream.end(), body.begin(), body.end());
}

// The microcontroller behind the single-board computer's link.
void mcu_request(int chain, ChainState &c, const uint8_t *f, size_t n) {
    const uint8_t code = f[2];
    std::vector<uint8_t> data;
    if (code == 0x14 && n == 4) data = {uint8_t(board_seated(chain) ? 0 : 1), 0};  // plug query
    if (code == 0x22 || code == 0x23) c.chips->lose_state();
    queue_wrapped(c, 0x69, 0x96, code, data, take_fault(c));
}

void sbc_chip_request(ChainState &c, const uint8_t *f, size_t n) {
    const uint8_t code = f[0] & 0xF;
    if (code == 0x0A || code == 0x0D || code == 0x08) {
        queue_plain(c, f, n);
        return;
    }
    // Requests go out padded to whole words; the chip reads the frame the
    // command defines.
    const size_t len = code == 0x09 ? n : std::min<size_t>(n, 4);
    const SpiFault fault = take_fault(c);
    std::vector<uint8_t> r = chip_reply(c, f, len);
    if (r.empty()) {
        c.stream.clear();
        return;
    }
    queue_wrapped(c, 0xA5, 0x5A, code, r, fault);
}

void pop(ChainState &c, uint8_t *out, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (c.stream.empty()) {
            out[i] = 0;
            continue;
        }
        out[i] = c.stream.front();
        c.stream.pop_front();
    }
    c.reads++;
}

class SpidevNode : public kos::EmulatedSpi {
public:
    int ioctl(unsigned long request, void *arg) override {
        std::lock_guard<std::mutex> g(state().lock);
        state().ioctls.push_back(request);
        switch (request) {
        case SPI_IOC_WR_MODE: mode_ = *static_cast<uint8_t *>(arg); return 0;
        case SPI_IOC_RD_MODE: *static_cast<uint8_t *>(arg) = mode_; return 0;
        case SPI_IOC_WR_BITS_PER_WORD: bits_ = *static_cast<uint8_t *>(arg); return 0;
        case SPI_IOC_RD_BITS_PER_WORD: *static_cast<uint8_t *>(arg) = bits_; return 0;
        case SPI_IOC_WR_MAX_SPEED_HZ: speed_ = *static_cast<uint32_t *>(arg); return 0;
        case SPI_IOC_RD_MAX_SPEED_HZ: *static_cast<uint32_t *>(arg) = speed_; return 0;
        default: break;
        }
        if (request == SPI_IOC_MESSAGE(1)) {
            if (io_fails()) return -EIO;
            return message(*static_cast<const spi_ioc_transfer *>(arg));
        }
        return -EINVAL;
    }
    long write(const uint8_t *, size_t) override { return -EINVAL; }
    long read(uint8_t *, size_t) override { return -EINVAL; }

protected:
    virtual int message(const spi_ioc_transfer &) { return -EINVAL; }

private:
    uint8_t mode_ = 0, bits_ = 8;
    uint32_t speed_ = 500000;
};

// One chain slot's link: half-duplex frames and reply reads.
class DirectNode : public SpidevNode {
public:
    explicit DirectNode(int slot) : slot_(slot) {}
    long write(const uint8_t *buf, size_t n) override {
        std::lock_guard<std::mutex> g(state().lock);
        if (io_fails()) return -EIO;
        if (n == 0) return 0;
        ChainState &c = chain_state(slot_);
        c.frames.emplace_back(buf, buf + n);
        if ((buf[0] & 0xF) == 0x07) {
            chip_reply(c, buf, n);  // jobs are taken without a reply
            return long(n);
        }
        queue_plain(c, buf, n);
        return long(n);
    }
    long read(uint8_t *buf, size_t n) override {
        std::lock_guard<std::mutex> g(state().lock);
        if (io_fails()) return -EIO;
        pop(chain_state(slot_), buf, n);
        return long(n);
    }

private:
    int slot_;
};

// The single-board computer's shared bus.
class SbcNode : public SpidevNode {
public:
    SbcNode() {
        int fd = kos::mem_open(0);
        pio_ = kos::window_map(fd, "h3_pio_sim", kPioMap, 0x2000);
        kos::mem_close(fd);
    }
    ~SbcNode() override { kos::window_unmap(pio_); }

protected:
    int line(unsigned pin) const {
        const uint32_t data = kos::window_read32(pio_, kPioOff + 36u * (pin >> 5) + 16u);
        return int((data >> (pin & 31)) & 1);
    }

    int message(const spi_ioc_transfer &t) override {
        const size_t n = t.len;
        const uint16_t *tx = reinterpret_cast<const uint16_t *>(uintptr_t(t.tx_buf));
        uint16_t *rx = reinterpret_cast<uint16_t *>(uintptr_t(t.rx_buf));
        std::vector<uint8_t> bytes(n, 0), reply(n, 0);
        for (size_t i = 0; tx && i < n; i++) bytes[i] = uint8_t(i % 2 ? tx[i / 2] & 0xFF : tx[i / 2] >> 8);
        state().last_select = {line(0), line(110), line(1), line(2)};
        if (line(2) == 0) {
            const int chain = line(0) | line(110) << 1 | line(1) << 2;
            ChainState &c = chain_state(chain);
            if (n >= 4 && bytes[0] == 0x69 && bytes[1] == 0x96) {
                c.frames.push_back(bytes);
                mcu_request(chain, c, bytes.data(), n);
            } else if (n >= 4 && bytes[0] == 0xA5 && bytes[1] == 0x5A) {
                c.frames.push_back(bytes);
                if ((bytes[2] & 0xF) == 0x07) chip_reply(c, bytes.data() + 2, n - 2);
                else sbc_chip_request(c, bytes.data() + 2, n - 2);
            } else if (tx == nullptr || std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; })) {
                pop(c, reply.data(), n);
            } else {
                c.frames.push_back(bytes);  // a job frame sent unchanged
                chip_reply(c, bytes.data(), n);
            }
        }
        for (size_t i = 0; rx && i + 1 < n; i += 2) rx[i / 2] = uint16_t(reply[i] << 8 | reply[i + 1]);
        return int(n);
    }

private:
    kos::Window *pio_ = nullptr;
};

kos::EmulatedSpi *make_spidev(const char *path) {
    int bus = -1, cs = -1;
    char tail = 0;
    if (sscanf(path, "/dev/spidev%d.%d%c", &bus, &cs, &tail) != 2 || cs != 0 || bus < 0 || bus > 7) {
        errno = ENOENT;
        return nullptr;
    }
    if (desc_int(machine_desc(), "platform", 0) == 32) {
        if (bus != 1) {
            errno = ENOENT;
            return nullptr;
        }
        return new SbcNode();
    }
    return new DirectNode(bus);
}

// The fabric clock: writing "fclk1" to the export file makes fclk/fclk1/
// with its rate file, which then holds the last rate written.
const char kFclkDir[] = "/sys/devices/soc0/amba/f8007000.devcfg";

std::string fclk(const std::string &rel) { return kos::sim_dir() + kFclkDir + rel; }

void make_dirs(const std::string &dir) {
    for (size_t i = 1; i <= dir.size(); i++)
        if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
}

std::string attr_text(const char *buf, size_t n) {
    std::string t(buf, n);
    const size_t end = t.find_first_of(std::string("\n\0", 2));
    if (end != std::string::npos) t.resize(end);
    return t;
}

int fclk_export_hook(const char *buf, size_t n) {
    if (attr_text(buf, n) != "fclk1") return EINVAL;
    record_line("fclk.log", "export fclk1");
    make_dirs(fclk("/fclk/fclk1"));
    if (access(fclk("/fclk/fclk1/set_rate").c_str(), F_OK) == 0) return 0;
    return kos::write_file_atomic(fclk("/fclk/fclk1/set_rate").c_str(), "0") ? 0 : EIO;
}

int fclk_rate_hook(const char *buf, size_t n) {
    const std::string t = attr_text(buf, n);
    if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos) return EINVAL;
    return kos::write_file_atomic(fclk("/fclk/fclk1/set_rate").c_str(), t) ? 0 : EIO;
}

}  // namespace

void register_spidev() {
    kos::register_emulated_spi(make_spidev);
    make_dirs(fclk(""));
    const std::string exp = fclk("/fclk_export");
    if (access(exp.c_str(), F_OK) != 0) kos::write_file_atomic(exp.c_str(), "");
    kos::register_sysfs_hook(exp.c_str(), fclk_export_hook);
    kos::register_sysfs_hook(fclk("/fclk/fclk1/set_rate").c_str(), fclk_rate_hook);
}

void spidev_set_idle(int chain, int words) {
    std::lock_guard<std::mutex> g(state().lock);
    chain_state(chain).idle_words = words;
}

void spidev_inject(int chain, SpiFault fault, int times) {
    std::lock_guard<std::mutex> g(state().lock);
    ChainState &c = chain_state(chain);
    c.fault = fault;
    c.fault_times = times;
}

void spidev_fail_io(int n) {
    std::lock_guard<std::mutex> g(state().lock);
    state().io_failures = n;
}

std::vector<std::vector<uint8_t>> spidev_frames(int chain) {
    std::lock_guard<std::mutex> g(state().lock);
    return chain_state(chain).frames;
}

int spidev_reads(int chain) {
    std::lock_guard<std::mutex> g(state().lock);
    return chain_state(chain).reads;
}

std::vector<unsigned long> spidev_ioctls() {
    std::lock_guard<std::mutex> g(state().lock);
    return state().ioctls;
}

std::vector<int> spidev_last_select() {
    std::lock_guard<std::mutex> g(state().lock);
    return state().last_select;
}

void spidev_clear_records() {
    std::lock_guard<std::mutex> g(state().lock);
    state().ioctls.clear();
    state().last_select.clear();
    for (auto &[k, c] : state().chains) {
        c.frames.clear();
        c.reads = 0;
        c.stream.clear();
        c.fault_times = 0;
    }
}

}  // namespace sim
