// The raw flash partitions: <sim dir>/mtd<N>.img (the machine links
// /dev/mtd<N> and /dev/mtdblock<N> to it), erased bytes read 0xFF.
// Erase works on whole 0x20000-byte blocks; a write can only clear bits,
// so writing over unerased data shows up as damaged bytes, as on the chip.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "os/os.h"
#include "sim/devices/refusal.h"
#include "sim/devices/sim_devices.h"

namespace sim {

namespace {

constexpr uint32_t kEraseBlock = 0x20000;

std::mutex s_fault_lock;

// One of the faults of sim_devices.h, with a count where it takes one.
bool known_fault(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string t; in >> t;) w.push_back(t);
    unsigned long long n = 0;
    if (w.empty()) return true;
    const std::string &op = w[0];
    if (op == "open" || op == "read" || op == "short_read" || op == "erase" || op == "write")
        return w.size() == 1 || (w.size() == 2 && parse_uint(w[1], 0x7FFFFFFF, &n));
    if (op == "cut" || op == "lose") return w.size() == 2 && parse_uint(w[1], 0x7FFFFFFF, &n);
    if (op == "bad") return w.size() == 2 && parse_uint(w[1], 0xFFFF, &n);
    if (op == "dead") return w.size() == 1;
    return false;
}

// Takes the first armed fault named `op` out of mtd.faults; its argument
// (0 when none) goes to *arg. Without `arg`, "OP N" lets N calls through
// before it fires. With `budget`, "OP N" is a count of bytes: a call of
// `budget` bytes that stays below N passes and leaves "OP N-budget" armed;
// the one that reaches N fires with *arg = what is left of N.
bool take_fault(const char *op, long *arg = nullptr, long budget = -1) {
    std::lock_guard<std::mutex> g(s_fault_lock);
    const std::string path = kos::sim_dir() + "/mtd.faults";
    std::string text;
    if (!kos::read_file(path.c_str(), text) || text.empty()) return false;
    // A flash that lost power fails every access until the file is cleared.
    if (("\n" + text).find("\ndead\n") != std::string::npos) return true;
    std::string rest;
    bool hit = false, fired = false, changed = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::string name = line.substr(0, line.find(' '));
        if (!known_fault(line)) refuse("mtd.faults: unknown control \"" + line + "\"");
        if (!hit && name == op) {
            const long n = line.size() > name.size() ? strtol(line.c_str() + name.size(), nullptr, 0) : 0;
            long left = -1;  // what stays armed when this call passes
            if (arg && budget >= 0 && n > budget)
                left = n - budget;  // the whole call fits before the cut
            else if (arg)
                *arg = n;
            else if (n > 0)
                left = n - 1;  // let n more calls through first
            hit = changed = true;
            fired = left < 0;
            if (!fired) rest += name + " " + std::to_string(left) + "\n";
            continue;
        }
        if (!line.empty()) rest += line + "\n";
    }
    if (changed) kos::write_file_atomic(path.c_str(), rest);
    return fired;
}

// The first worn block ("bad N", which stays armed) among the blocks that
// [off, off + len) reaches, or -1.
long worn_block(uint32_t off, uint32_t len) {
    std::lock_guard<std::mutex> g(s_fault_lock);
    std::string text;
    if (!kos::read_file((kos::sim_dir() + "/mtd.faults").c_str(), text)) return -1;
    long first = -1;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 4, "bad ") != 0) continue;
        const uint64_t b = strtoull(line.c_str() + 4, nullptr, 0);
        if (b * kEraseBlock < uint64_t(off) + len && (b + 1) * kEraseBlock > off && (first < 0 || long(b) < first))
            first = long(b);
    }
    return first;
}

// What programming does to a flash cell: it can only clear bits. A word
// at a time: a flush programs whole 128 KiB blocks.
void clear_bits(uint8_t *cur, const uint8_t *in, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b;
        memcpy(&a, cur + i, 8);
        memcpy(&b, in + i, 8);
        a &= b;
        memcpy(cur + i, &a, 8);
    }
    for (; i < n; i++) cur[i] &= in[i];
}

// Whether any fault is armed: one look at mtd.faults, so that an access
// with none armed (the usual case) reads no file per fault it could take.
bool faults_armed() {
    const std::string path = kos::sim_dir() + "/mtd.faults";
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

}  // namespace

std::string mtd_image(const std::string &mtd_path) {
    size_t p = mtd_path.find_last_not_of("0123456789");
    const std::string num = p == std::string::npos ? mtd_path : mtd_path.substr(p + 1);
    return kos::sim_dir() + "/mtd" + num + ".img";
}

bool mtd_erase(const std::string &mtd_path, uint32_t off, uint32_t len) {
    const std::string img = mtd_image(mtd_path);
    int fd = open(img.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const off_t size = lseek(fd, 0, SEEK_END);
    if (off % kEraseBlock || len % kEraseBlock || off_t(off) + off_t(len) > size) {
        close(fd);
        errno = EINVAL;
        return false;
    }
    // Every try is logged, a failed one too (it wears the block as much):
    // "erase <image> <off> <len>", with " failed" after a try that failed.
    const auto log = [&img](uint32_t at, uint32_t n, bool failed) {
        record_line("mtd.log", "erase " + img + " " + std::to_string(at) + " " + std::to_string(n) +
                                   (failed ? " failed" : ""));
    };
    if (take_fault("erase")) {
        log(off, len, true);
        close(fd);
        errno = EIO;
        return false;
    }
    // A worn block fails its erase; the blocks before it are erased first.
    const long worn = faults_armed() ? worn_block(off, len) : -1;
    if (worn >= 0) len = uint32_t(worn) * kEraseBlock - off;
    if (len > 0) log(off, len, false);
    if (worn >= 0) log(uint32_t(worn) * kEraseBlock, kEraseBlock, true);
    // Block by block from one erased block: a whole-area erase is 10 MiB.
    // Never destroyed: the record thread may still erase while the process
    // runs its exit handlers.
    static const std::vector<uint8_t> &ff = *new std::vector<uint8_t>(kEraseBlock, 0xFF);
    bool ok = true;
    for (uint32_t at = 0; ok && at < len; at += kEraseBlock)
        ok = pwrite(fd, ff.data(), kEraseBlock, off_t(off) + off_t(at)) == ssize_t(kEraseBlock);
    close(fd);
    if (worn >= 0) {
        errno = EIO;
        return false;
    }
    return ok;
}

int mtd_open(const std::string &mtd_path) {
    if (take_fault("open")) {
        errno = EIO;
        return -1;
    }
    return open(mtd_image(mtd_path).c_str(), O_RDWR | O_CLOEXEC);
}

long mtd_read(int fd, void *buf, size_t len, uint32_t off) {
    if (faults_armed()) {
        if (take_fault("read")) {
            errno = EIO;
            return -1;
        }
        if (take_fault("short_read") && len > 1) len /= 2;
    }
    return long(pread(fd, buf, len, off_t(off)));
}

long mtd_program(int fd, const void *buf, size_t len, uint32_t off) {
    long cut = -1;
    long lost = -1;
    long worn = -1;
    if (faults_armed()) {
        if (take_fault("write")) {
            errno = EIO;
            return -1;
        }
        // Power is lost once the armed number of bytes has been programmed,
        // counted over the writes from the one that armed it on: the
        // board's ("cut") or the flash's alone ("lose").
        if (take_fault("cut", &cut, long(len)))
            len = size_t(cut);
        else if (take_fault("lose", &lost, long(len)))
            len = size_t(lost);
        // A worn block takes no bytes; what comes before it is programmed.
        worn = worn_block(off, uint32_t(len));
        if (worn >= 0) len = std::min<size_t>(len, std::max<uint64_t>(uint64_t(worn) * kEraseBlock, off) - off);
    }
    // Past the end of the partition nothing is programmed.
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (off_t(off) + off_t(len) > st.st_size) {
        errno = ENOSPC;
        return -1;
    }
    // Read, clear bits and write back piece by piece through one buffer on
    // the stack, a word at a time: a flush programs whole 128 KiB blocks,
    // and a fresh zeroed buffer and a byte loop per call cost more than the
    // copy itself.
    constexpr size_t kPiece = 16384;
    alignas(8) uint8_t cur[kPiece];
    const uint8_t *in = static_cast<const uint8_t *>(buf);
    ssize_t w = 0;
    for (size_t done = 0; done < len;) {
        const size_t n = std::min(kPiece, len - done);
        if (pread(fd, cur, n, off_t(off) + off_t(done)) != ssize_t(n)) return -1;
        clear_bits(cur, in + done, n);
        const ssize_t put = pwrite(fd, cur, n, off_t(off) + off_t(done));
        if (put != ssize_t(n)) {
            w = put < 0 && done == 0 ? put : ssize_t(done) + std::max<ssize_t>(put, 0);
            break;
        }
        done += n;
        w = ssize_t(done);
    }
    if (cut >= 0) {
        fsync(fd);
        raise(SIGKILL);
    }
    if (lost >= 0) {
        fsync(fd);
        std::lock_guard<std::mutex> g(s_fault_lock);
        record_line("mtd.faults", "dead");
        errno = EIO;
        return -1;
    }
    if (worn >= 0) {
        errno = EIO;
        return -1;
    }
    return long(w);
}

}  // namespace sim
