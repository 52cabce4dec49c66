#include "hub/kmx_i2c.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "drv/hub.h"
#include "hub/kmx_vid.h"
#include "module/kmx_log.h"
#include "os/devices.h"
#include "os/os.h"
#include "record/kmx_record.h"

char g_power_vendor[10] = "unknown";
char g_power_ver[10] = "unknown";
int g_power_errorcode = 0;

namespace {

constexpr const char *kDev = "/dev/i2c-0";
constexpr uint16_t kAddr = 0x01;

std::mutex s_wd_lock;
uint64_t s_i2cwd_last_feed_time = 0;
int s_i2cwd_fails = 0;

struct I2cGuard {
    I2cGuard() { pthread_mutex_lock(&g_i2c_lock); }
    ~I2cGuard() { pthread_mutex_unlock(&g_i2c_lock); }
};

// Texts of the failures of one transaction; the time-out write logs them
// without the trailing newline.
struct Texts {
    const char *open_fail;
    const char *xfer_fail;
};
constexpr Texts kTexts{"%s,%d:open %s failled: %d.\n", "%s,%d:write iic failled: %d.\n"};
constexpr Texts kTimeoutTexts{"%s,%d:open %s failled: %d.", "%s,%d:write iic failled: %d."};

// One transaction, under g_i2c_lock: write-only when reply is null, else the
// request and a read of the same length in one transfer.
bool transact(const uint8_t *req, int len, uint8_t *reply, const Texts &t = kTexts) {
    I2cGuard g;
    int fd = kos::i2c_open(kDev);
    if (fd < 0) {
        kmx_logf(5, t.open_fail, __FILE__, __LINE__, kDev, errno);
        return false;
    }
    struct i2c_msg msgs[2];
    msgs[0].addr = kAddr;
    msgs[0].flags = reply ? 0 : I2C_M_IGNORE_NAK;
    msgs[0].len = uint16_t(len);
    msgs[0].buf = const_cast<uint8_t *>(req);
    msgs[1].addr = kAddr;
    msgs[1].flags = I2C_M_RD;
    msgs[1].len = uint16_t(len);
    msgs[1].buf = reply;
    if (reply) memset(reply, 0, size_t(len));
    const bool ok = kos::i2c_rdwr(fd, msgs, reply ? 2 : 1) >= 0;
    if (!ok) {
        kmx_logf(5, t.xfer_fail, __FILE__, __LINE__, errno);
        hub_i2c_reset(0);
    }
    kos::i2c_close(fd);
    return ok;
}

using Dump = void (*)(const uint8_t *reply, int len);

// Replies logged as they arrive, valid or not.
void dump_reply(const uint8_t *r, int len) {
    char line[128];
    int n = snprintf(line, sizeof line, "%s,%d:", __FILE__, __LINE__);
    for (int i = 0; i < len && n < int(sizeof line); i++)
        n += snprintf(line + n, sizeof line - size_t(n), i ? ",%02x" : "%02x", r[i]);
    kmx_logf(5, "%s", line);
}

void dump_gp_reply(const uint8_t *r, int len) {
    char line[128];
    int n = snprintf(line, sizeof line, "@gp_fwver:");
    for (int i = 0; i < len && n < int(sizeof line); i++) n += snprintf(line + n, sizeof line - size_t(n), " %02x", r[i]);
    kmx_logf(5, "%s", line);
}

// A read command: the request built from cmd and payload, the reply
// checked; false (logged) on any failure.
bool read_cmd(uint8_t cmd, const uint8_t *payload, int n, uint8_t *reply, Dump dump = nullptr) {
    uint8_t req[32];
    const int len = kmx_psu_build_frame(cmd, payload, n, req);
    if (!transact(req, len, reply)) return false;
    if (dump) dump(reply, len);
    const int c = kmx_psu_check_reply(reply, len);
    if (c == -1) {
        kmx_logf(5, "%s,%d:No data or bad data received\n", __FILE__, __LINE__);
        return false;
    }
    if (c == -2) {
        kmx_logf(5, "%s,%d:check sum error\n", __FILE__, __LINE__);
        return false;
    }
    return true;
}

bool write_cmd(uint8_t cmd, const uint8_t *payload, int n, const Texts &t = kTexts) {
    uint8_t req[32];
    const int len = kmx_psu_build_frame(cmd, payload, n, req);
    return transact(req, len, nullptr, t);
}

int u16_at(const uint8_t *r, int at) { return r[at] | (r[at + 1] << 8); }

// Reads a u16 at bytes 8-9 of a per-output command; -1 on failure.
int output_value(uint8_t cmd, int chain, Dump dump = nullptr) {
    const uint8_t p[4] = {uint8_t(chain + 1), 0, 0, 0};
    uint8_t r[12];
    if (!read_cmd(cmd, p, 4, r, dump)) return -1;
    return u16_at(r, 8);
}

int get_vol_on_i2c(int chain) { return output_value(0x02, chain); }
int get_current_on_i2c(int chain) { return output_value(0x06, chain); }
int get_real_current_on_i2c(int chain) { return output_value(0x87, chain, dump_reply); }

int get_status_on_i2c(int chain, int status[3]) {
    const uint8_t p[4] = {uint8_t(chain + 1), 0, 0, 0};
    uint8_t r[12];
    if (!read_cmd(0x88, p, 4, r, dump_reply)) return -1;
    for (int i = 0; i < 3; i++) status[i] = r[7 + i];
    return 0;
}

bool set_vol_on_i2c(int chain, int cv) {
    const uint8_t p[4] = {uint8_t(chain + 1), 0, uint8_t(cv & 0xFF), uint8_t((cv >> 8) & 0xFF)};
    return write_cmd(0x83, p, 4);
}

bool set_power_on_i2c(int chain, int val) {
    const uint8_t p[2] = {uint8_t(chain + 1), uint8_t(val ? 1 : 2)};
    return write_cmd(0x85, p, 2);
}

bool soft_reset_power(int chain) {
    const uint8_t p[4] = {uint8_t(chain + 1), 0, 0, 0};
    return write_cmd(0x86, p, 4);
}

// A misbehaving supply must not put line breaks or NULs into the
// line-based /tmp/psu_info.
char printable(uint8_t c) { return (c >= 0x20 && c < 0x7F) ? char(c) : '?'; }

}  // namespace

extern "C" {

float kmx_i2c_get_voltage(int chain) { return float(get_vol_on_i2c(chain)); }
float kmx_i2c_get_current(int chain) { return float(get_current_on_i2c(chain)); }
float kmx_i2c_get_real_current(int chain) { return float(get_real_current_on_i2c(chain)); }
int kmx_i2c_get_status(int chain, int status[3]) { return get_status_on_i2c(chain, status); }

float kmx_i2c_get_power(int chain) {
    const int c = get_current_on_i2c(chain);
    const int v = get_vol_on_i2c(chain);
    if (c > 0 && v > 0) return float(c) * float(v) / 10000.0f;
    return 0.0f;
}

bool kmx_soft_reset_power(int chain) { return soft_reset_power(chain); }
bool hub_set_power_en_i2c(int chain, int value) { return set_power_on_i2c(chain, value); }

bool hub_set_vid_i2c(uint8_t chain, int vid) {
    const int v = kmx_i2c_get_volt_by_vid(vid);
    if (v <= 0) {
        kmx_logf(5, "invalid vol value");
        return false;
    }
    // A write that never reached the supply is a failure: the step retries
    // of the VID ramp depend on it. A wrong read-back only shows in the log.
    if (!set_vol_on_i2c(chain, v)) return false;
    kos::sleep_ms(200);
    const int rb = get_vol_on_i2c(chain);
    if (std::abs(rb - v) * 50 > v)
        kmx_logf(5, "chain%d: failed to set vid %d(%.2fV), %.2fV", chain, vid, v / 100.0, rb / 100.0);
    else
        kmx_logf(3, "chain%d: set vid %d(%.2fV), %.2fV", chain, vid, v / 100.0, rb / 100.0);
    return true;
}

bool hub_set_vid_on_i2c(uint8_t chain, int vid) { return hub_set_vid_i2c(chain, vid); }

bool kmx_i2c_set_timeout(int seconds) {
    int units = seconds / 30;
    if (units < 0) units = 0;
    if (units > 255) units = 255;
    const uint8_t p[1] = {uint8_t(units)};
    return write_cmd(0x70, p, 1, kTimeoutTexts);
}

bool kmx_i2c_is_sync_output(void) {
    const uint8_t p[4] = {0x55, 0xAA, 0, 0};
    uint8_t r[12];
    return read_cmd(0x08, p, 4, r) && r[8] == 1;
}

int get_vendor_on_i2c(void) {
    const uint8_t p[4] = {0, 0, 0, 0};
    uint8_t r[12];
    if (!read_cmd(0x10, p, 4, r)) {
        snprintf(g_power_vendor, sizeof g_power_vendor, "unknown");
        return -1;
    }
    snprintf(g_power_vendor, sizeof g_power_vendor, "%c%c", printable(r[8]), printable(r[9]));
    kmx_logf(5, "I2C vendor: %c%c", printable(r[8]), printable(r[9]));
    return u16_at(r, 8);
}

int get_fwver_on_i2c(void) {
    const uint8_t p[4] = {0, 0, 0, 0};
    uint8_t r[12];
    if (!read_cmd(0x11, p, 4, r)) {
        snprintf(g_power_ver, sizeof g_power_ver, "unknown");
        return -1;
    }
    snprintf(g_power_ver, sizeof g_power_ver, "%d.%d", r[8], r[9]);
    kmx_logf(5, "I2C fwver: %d.%d", r[8], r[9]);
    return u16_at(r, 8);
}

int get_psu_errorcode_on_i2c(void) {
    const uint8_t p[2] = {0, 0};
    uint8_t r[10];
    if (!read_cmd(0x05, p, 2, r)) {
        g_power_errorcode = 0;
        return -1;
    }
    g_power_errorcode = u16_at(r, 6);
    kmx_logf(5, "psu erorcode: %d", g_power_errorcode);
    return g_power_errorcode;
}

int get_gp_fwver_on_i2c(void) {
    const uint8_t p[10] = {0};
    uint8_t r[18];
    if (!read_cmd(0x17, p, 10, r, dump_gp_reply)) return -1;
    r[12] = 0;
    const int v = atoi(reinterpret_cast<const char *>(r + 10));
    kmx_logf(5, "gp fwver: %d", v);
    return v;
}

bool kmx_i2c_feed_watchdog(bool forced) {
    std::unique_lock<std::mutex> lk(s_wd_lock, std::try_to_lock);
    if (!lk.owns_lock()) return true;  // another thread is feeding
    const uint64_t now = kos::mono_ms();
    if (!forced && now - s_i2cwd_last_feed_time <= 4999) return true;
    const int v = get_vol_on_i2c(0);
    const int c = get_current_on_i2c(0);
    // Output 1's readings for the running record and the report (-1
    // truncated to 16 bits after a failed read).
    kmx_record_set_supply(uint16_t(v), uint16_t(c));
    if (v == -1) {
        s_i2cwd_fails++;
        return s_i2cwd_fails <= 2;
    }
    s_i2cwd_last_feed_time = now;
    s_i2cwd_fails = 0;
    return true;
}

}  // extern "C"
