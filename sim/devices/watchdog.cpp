// Emulated /dev/watchdog, the one card every user of the node reaches (the
// daemon's feeder and the board self-test's alike). Opening starts the card with its default timeout
// (as on Linux); WDIOC_SETOPTIONS stops or starts it, WDIOC_SETTIMEOUT sets
// the timeout, a write feeds it and a close after a magic 'V' stops it.
// Every request goes to $KMX_SIM_DIR/wdt.log, with the machine time
// since the previous feed on each keep-alive. A card left unfed for longer
// than its timeout would have reset the board: the next request logs
// "expired", and $KMX_SIM_DIR/wdt.state lets `kmx-sim watchdog` tell
// from outside whether it has run out.
//
// The driver lets one descriptor hold the card at a time, machine-wide: an
// open while another process (or another descriptor) holds it fails with
// EBUSY. The holder keeps an exclusive lock on $KMX_SIM_DIR/wdt.lock.
//
// Description keys: "watchdog": {"missing": true, "timeout": 60}.
#include "os/ioctl_dev.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/watchdog.h>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>
#include <string>

#include "os/os.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/sim_devices.h"

namespace sim {

namespace {

uint64_t raw_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// The card itself: one per machine, whichever descriptor talks to it.
struct Card {
    std::mutex lock;
    bool open = false;
    int lock_fd = -1;  // holds the machine-wide lock while open
    bool armed = false;
    bool expired = false;
    bool magic = false;
    int timeout_s = 60;
    uint64_t fed_ns = 0;  // CLOCK_MONOTONIC of the last feed or start
};

Card &card() {
    static Card c;
    return c;
}

// Machine milliseconds since the last feed.
uint64_t idle_ms(const Card &c) { return uint64_t(double(raw_ns() - c.fed_ns) * kos::time_scale() / 1e6); }

void log_line(const std::string &line) { record_line("wdt.log", line); }

// Called with the card locked before every request.
void check_expiry(Card &c) {
    if (!c.armed || c.expired) return;
    const uint64_t idle = idle_ms(c);
    if (idle > uint64_t(c.timeout_s) * 1000u) {
        c.expired = true;
        log_line("expired after " + std::to_string(idle) + "ms");
    }
}

void save_state(const Card &c) {
    char text[128];
    snprintf(text, sizeof text, "armed=%d timeout=%d fed_ns=%llu scale=%g expired=%d\n", c.armed ? 1 : 0,
             c.timeout_s, (unsigned long long)c.fed_ns, kos::time_scale(), c.expired ? 1 : 0);
    kos::write_file_atomic((kos::sim_dir() + "/wdt.state").c_str(), text);
}

void start(Card &c) {
    c.armed = true;
    c.fed_ns = raw_ns();
}

class Watchdog : public kos::EmulatedDevice {
public:
    ~Watchdog() override {
        Card &c = card();
        std::lock_guard<std::mutex> g(c.lock);
        check_expiry(c);
        c.open = false;
        if (c.lock_fd >= 0) close(c.lock_fd);  // releases the lock
        c.lock_fd = -1;
        if (c.magic) {
            c.armed = false;
            log_line("close, stopped");
        } else {
            log_line(c.armed ? "close, still counting" : "close");
        }
        c.magic = false;
        save_state(c);
    }

    // The watchdog's requests all carry a pointer.
    int ioctl_int(unsigned long, int) override { return -ENOTTY; }

    int ioctl_out(unsigned long request, int *arg) override {
        Card &c = card();
        std::lock_guard<std::mutex> g(c.lock);
        check_expiry(c);
        int r = 0;
        if (!arg) {
            r = -EFAULT;
        } else if (request == WDIOC_SETOPTIONS) {
            if (*arg & WDIOS_DISABLECARD) {
                c.armed = false;
                log_line("disable");
            } else if (*arg & WDIOS_ENABLECARD) {
                start(c);
                log_line("enable");
            } else {
                r = -EINVAL;
            }
        } else if (request == WDIOC_SETTIMEOUT) {
            if (*arg < 1 || *arg > 600) {
                r = -EINVAL;
            } else {
                c.timeout_s = *arg;
                c.fed_ns = raw_ns();  // setting the timeout also feeds
                log_line("timeout " + std::to_string(*arg));
            }
        } else if (request == WDIOC_GETTIMEOUT) {
            *arg = c.timeout_s;
        } else if (request == WDIOC_KEEPALIVE) {
            log_line("keepalive +" + std::to_string(idle_ms(c)) + "ms");
            c.fed_ns = raw_ns();
        } else {
            r = -ENOTTY;
        }
        save_state(c);
        return r;
    }

    long write(const void *buf, size_t len) override {
        Card &c = card();
        std::lock_guard<std::mutex> g(c.lock);
        check_expiry(c);
        if (len == 0) return 0;
        c.magic = memchr(buf, 'V', len) != nullptr;
        log_line("keepalive +" + std::to_string(idle_ms(c)) + "ms");
        c.fed_ns = raw_ns();
        save_state(c);
        return long(len);
    }
};

kos::EmulatedDevice *make_watchdog(const char *) {
    json_t *d = json_object_get(machine_desc(), "watchdog");
    if (desc_bool(d, "missing", false)) {
        errno = ENOENT;
        return nullptr;
    }
    Card &c = card();
    std::lock_guard<std::mutex> g(c.lock);
    if (c.open) {  // the driver allows one open at a time
        errno = EBUSY;
        return nullptr;
    }
    const int lock_fd = open((kos::sim_dir() + "/wdt.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd < 0) return nullptr;
    if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {  // held by another process
        close(lock_fd);
        errno = EBUSY;
        return nullptr;
    }
    c.lock_fd = lock_fd;
    c.open = true;
    c.magic = false;
    if (!c.armed) c.timeout_s = int(desc_int(d, "timeout", 60));
    start(c);
    log_line("open");
    save_state(c);
    return new Watchdog;
}

}  // namespace

void register_watchdog() { kos::register_emulated_device("/dev/watchdog", make_watchdog); }

}  // namespace sim
