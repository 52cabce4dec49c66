// The emulated power supply on /dev/i2c-0, address 0x01. It answers the
// supply's framed request/reply protocol byte for byte and keeps its state
// (outputs, time-out, pending injected failures) in a state file under the
// machine's folder, so every process of the machine sees the same supply.
//
// Description keys ("psu": {...}), all optional:
//   absent            the bus device does not open (ENOENT)
//   fail_reads N      the next N transfers fail with EIO (counted machine-wide)
//   fail_always       every transfer fails with EIO
//   bad_checksum      replies carry a checksum one too high
//   bad_end           replies end with 0x00 instead of 0xCD
//   write_fail        write-only commands fail with EREMOTEIO
//   keepalive_timeout outputs drop when the supply's own time-out passes
//                     without a transaction
//   vendor "GP", fwver [1,65], gp_fwver "65", errorcode N, sync_output N,
//   voltage cV (initial set voltage), current cA (drawn by an output that is on),
//   offset_cv cV (added to what an output that is on measures)
// A test may replace these keys while the machine runs: see Desc below. A
// key the supply does not have, or a value of the wrong kind, is refused
// (refusal.h).
// Removing psu.state returns the supply to its power-on state.
// Every transaction is appended to psu.log: "W <frame>" for a write,
// "R <request> -> <reply>" for a read, "X <request>" for a failed transfer.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "os/os.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/refusal.h"
#include "sim/devices/sim_devices.h"

namespace sim {
namespace {

constexpr uint16_t kAddr = 0x01;
constexpr int kOutputs = 8;

struct PsuState {
    uint32_t magic;
    int32_t fails_left;
    uint8_t on[kOutputs + 1];
    uint16_t set_cv[kOutputs + 1];
    uint8_t timeout_units;
    uint64_t last_ms;
};
constexpr uint32_t kMagic = 0x50535531;

// The supply's keys; a test may swap them while the machine runs by
// writing <sim dir>/psu.json (read at every transaction).
struct Desc {
    Desc() {
        const std::string over = kos::sim_dir() + "/psu.json";
        d = json_load_file(over.c_str(), 0, nullptr);
        if (d) check_psu_desc(d, "psu.json");
        else if (access(over.c_str(), F_OK) == 0) refuse("psu.json: not JSON");
        if (!d) d = json_incref(json_object_get(machine_desc(), "psu"));
    }
    ~Desc() { json_decref(d); }
    json_t *d;
};

std::string hex(const uint8_t *b, size_t n) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
        s += t;
    }
    return s;
}

void fresh_state(PsuState &st, json_t *d) {
    memset(&st, 0, sizeof st);
    st.magic = kMagic;
    st.fails_left = int32_t(desc_int(d, "fail_reads", 0));
    const uint16_t v = uint16_t(desc_int(d, "voltage", 1250));
    for (int i = 0; i <= kOutputs; i++) st.set_cv[i] = v;
}

// The state file, locked for one transaction: at most one transaction is
// in flight on the bus at any time, whichever process issues it.
class Locked {
public:
    explicit Locked(json_t *d) {
        const std::string path = kos::sim_dir() + "/psu.state";
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
        if (fd_ < 0 || pread(fd_, &st, sizeof st, 0) != ssize_t(sizeof st) || st.magic != kMagic) fresh_state(st, d);
    }
    ~Locked() {
        if (fd_ < 0) return;
        if (pwrite(fd_, &st, sizeof st, 0) != ssize_t(sizeof st)) perror("psu.state");
        flock(fd_, LOCK_UN);
        close(fd_);
    }
    PsuState st;

private:
    int fd_ = -1;
};

uint8_t sum(const uint8_t *b, size_t from, size_t to) {  // bytes from..to inclusive
    unsigned s = 0;
    for (size_t i = from; i <= to; i++) s += b[i];
    return uint8_t(s);
}

bool valid_request(const uint8_t *b, size_t len) {
    if (len < 8 || b[0] != 0x00 || b[1] != 0xAB || b[len - 1] != 0xCD) return false;
    if (size_t(b[5]) + 8 != len) return false;
    return b[len - 2] == sum(b, 2, len - 3);
}

int feeding_output(int out, json_t *d) {
    // With synchronised outputs the first output feeds every chain.
    return desc_int(d, "sync_output", 0) == 1 ? 1 : out;
}

// A board whose power plug is not seated draws nothing: its output reads 0 V.
bool output_unloaded(int out) {
    for (int slot = 0; slot < kOutputs; slot++) {
        json_t *b = board_in_slot(slot);
        if (b && desc_bool(b, "no_power", false) && int(desc_int(b, "power_from", slot)) + 1 == out) return true;
    }
    return false;
}

uint16_t measured_cv(const PsuState &st, int out, json_t *d) {
    const int feed = feeding_output(out, d);
    if (out && output_unloaded(out)) return 0;
    return st.on[feed] ? uint16_t(st.set_cv[feed] + desc_int(d, "offset_cv", 0)) : 0;
}

// Fills the data bytes of a reply (bytes 6 .. L-3) for a read command.
void fill_reply(PsuState &st, const uint8_t *req, uint8_t *rep, size_t len, json_t *d) {
    memcpy(rep, req, len - 2);  // the reply mirrors the request
    const int out = req[6] >= 1 && req[6] <= kOutputs ? req[6] : 0;
    auto put16 = [&](size_t at, unsigned v) {
        rep[at] = uint8_t(v & 0xFF);
        rep[at + 1] = uint8_t(v >> 8);
    };
    switch (req[3]) {
    case 0x02:
        rep[6] = uint8_t(out);
        put16(8, measured_cv(st, out, d));
        break;
    case 0x06:
    case 0x87:
        rep[6] = uint8_t(out);
        put16(8, measured_cv(st, out, d) ? unsigned(desc_int(d, "current", 1000)) : 0);
        break;
    case 0x88:
        rep[6] = uint8_t(out);
        rep[7] = st.on[out];
        rep[8] = 0;
        rep[9] = 0;
        break;
    case 0x10: {
        json_t *v = json_object_get(d, "vendor");
        const char *s = json_is_string(v) ? json_string_value(v) : "GP";
        rep[8] = uint8_t(s[0]);
        rep[9] = s[0] ? uint8_t(s[1]) : 0;
        break;
    }
    case 0x11: {
        json_t *v = json_object_get(d, "fwver");
        rep[8] = uint8_t(json_integer_value(json_array_get(v, 0)));
        rep[9] = uint8_t(json_integer_value(json_array_get(v, 1)));
        if (!json_is_array(v)) rep[8] = 1, rep[9] = 65;
        break;
    }
    case 0x17: {
        json_t *v = json_object_get(d, "gp_fwver");
        const char *s = json_is_string(v) ? json_string_value(v) : "65";
        rep[10] = uint8_t(s[0]);
        rep[11] = s[0] ? uint8_t(s[1]) : 0;
        break;
    }
    case 0x05:
        put16(6, unsigned(desc_int(d, "errorcode", 0)));
        break;
    case 0x08:
        rep[8] = uint8_t(desc_int(d, "sync_output", 0));
        break;
    default:
        break;
    }
    rep[len - 2] = uint8_t(sum(rep, 2, len - 3) + (desc_bool(d, "bad_checksum", false) ? 1 : 0));
    rep[len - 1] = desc_bool(d, "bad_end", false) ? 0x00 : 0xCD;
}

void apply_write(PsuState &st, const uint8_t *req) {
    const int out = req[6] >= 1 && req[6] <= kOutputs ? req[6] : 0;
    switch (req[3]) {
    case 0x83:
        if (out) st.set_cv[out] = uint16_t(req[8] | (req[9] << 8));
        break;
    case 0x85:
        if (out) st.on[out] = req[7] == 1 ? 1 : 0;
        break;
    case 0x70:
        st.timeout_units = req[6];
        break;
    default:
        break;
    }
}

int fail(int e, const uint8_t *req, size_t len) {
    record_line("psu.log", "X " + hex(req, len));
    errno = e;
    return -1;
}

}  // namespace

bool psu_output_on(int out) {
    if (out < 1 || out > kOutputs) return false;
    Desc desc;
    Locked lk(desc.d);
    return lk.st.on[feeding_output(out, desc.d)] != 0;
}

bool psu_present() { return !desc_bool(Desc().d, "absent", false); }

void record_line(const char *name, const std::string &line) {
    const std::string path = kos::sim_dir() + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string l = line + "\n";
    if (write(fd, l.data(), l.size()) != ssize_t(l.size())) perror(path.c_str());
    close(fd);
}

int psu_transfer(struct i2c_msg *msgs, int n) {
    if (n < 1 || n > 2 || !msgs || msgs[0].addr != kAddr || (msgs[0].flags & I2C_M_RD) || !msgs[0].buf) {
        errno = EINVAL;
        return -1;
    }
    const uint8_t *req = msgs[0].buf;
    const size_t len = msgs[0].len;
    Desc desc;
    json_t *d = desc.d;
    Locked lk(d);
    PsuState &st = lk.st;
    const uint64_t now = kos::mono_ms();
    if (desc_bool(d, "keepalive_timeout", false) && st.timeout_units && st.last_ms &&
        now - st.last_ms > uint64_t(st.timeout_units) * 30000u) {
        // The supply's own watchdog ran out: it drops every output.
        memset(st.on, 0, sizeof st.on);
        record_line("psu.log", "T outputs off");
    }
    if (desc_bool(d, "fail_always", false)) return fail(EIO, req, len);
    if (st.fails_left > 0) {
        st.fails_left--;
        return fail(EIO, req, len);
    }
    if (!valid_request(req, len)) return fail(EREMOTEIO, req, len);
    st.last_ms = now;
    if (n == 1) {
        if (desc_bool(d, "write_fail", false)) return fail(EREMOTEIO, req, len);
        apply_write(st, req);
        record_line("psu.log", "W " + hex(req, len));
        return 1;
    }
    if (msgs[1].addr != kAddr || !(msgs[1].flags & I2C_M_RD) || msgs[1].len != len || !msgs[1].buf) {
        errno = EINVAL;
        return -1;
    }
    fill_reply(st, req, msgs[1].buf, len, d);
    record_line("psu.log", "R " + hex(req, len) + " -> " + hex(msgs[1].buf, len));
    return 2;
}

}  // namespace sim
