#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "os/ioctl_dev.h"
#include "os/os.h"
#include "sim/devices/gpio_devices.h"

namespace sim {

namespace {

struct Faults {
    bool open_fails = false;
    unsigned long failing_request = 0;
};

struct State {
    std::mutex lock;
    std::vector<FanRequest> log;
    std::map<std::string, Faults> faults;
};

// Never destroyed: a program's exit runs the static destructors while its
// fan thread may still be setting a duty.
State &state() {
    static State *s = new State;
    return *s;
}

std::string fans_path() { return kos::sim_dir() + "/fans"; }

// The fans file is shared by every process of the machine; one flock makes
// each update whole.
class FansFile {
public:
    FansFile() {
        fd_ = open((kos::sim_dir() + "/fans.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
        std::string text;
        kos::read_file(fans_path().c_str(), text);
        std::istringstream in(text);
        std::string dev, fan, w1, w2;
        int period, oncount;
        while (in >> dev >> fan >> w1 >> period >> w2 >> oncount) fans_[dev + " " + fan] = {period, oncount};
    }
    ~FansFile() {
        if (dirty_) {
            std::string text;
            for (const auto &[key, v] : fans_)
                text += key + " period " + std::to_string(v.first) + " oncount " + std::to_string(v.second) + "\n";
            kos::write_file_atomic(fans_path().c_str(), text);
        }
        if (fd_ >= 0) close(fd_);
    }
    std::pair<int, int> &fan(const std::string &dev, unsigned f) {
        return fans_[dev + " fan" + std::to_string(f)];
    }
    void touch() { dirty_ = true; }

private:
    int fd_;
    bool dirty_ = false;
    std::map<std::string, std::pair<int, int>> fans_;
};

class FanDevice : public kos::EmulatedDevice {
public:
    FanDevice(std::string path, unsigned long base, bool has_reads)
        : path_(std::move(path)), base_(base), has_reads_(has_reads) {}

    int ioctl_int(unsigned long req, int value) override {
        if (int e = record(req, value)) return e;
        if (req < base_ || req >= base_ + 6) return -EINVAL;  // fans 0..2
        const unsigned n = unsigned(req - base_);
        FansFile f;
        auto &fan = f.fan(path_, n / 2);
        (n % 2 ? fan.second : fan.first) = value;
        f.touch();
        return 0;
    }

    int ioctl_out(unsigned long req, int *out) override {
        if (int e = record(req, 0)) return e;
        if (!has_reads_) return -ENOTTY;
        if (req < base_ + 6 || req >= base_ + 12) return -EINVAL;
        const unsigned n = unsigned(req - base_ - 6);
        FansFile f;
        const auto &fan = f.fan(path_, n / 2);
        *out = n % 2 ? fan.second : fan.first;
        return 0;
    }

private:
    int record(unsigned long req, int value) {
        std::lock_guard<std::mutex> g(state().lock);
        state().log.push_back({path_, req, value});
        const Faults &fl = state().faults[path_];
        return fl.failing_request && fl.failing_request == req ? -EIO : 0;
    }

    std::string path_;
    unsigned long base_;
    bool has_reads_;
};

bool open_fails(const char *path) {
    std::lock_guard<std::mutex> g(state().lock);
    if (!state().faults[path].open_fails) return false;
    errno = ENOENT;
    return true;
}

}  // namespace

kos::EmulatedDevice *make_zynq_pwm(const char *path) {
    return open_fails(path) ? nullptr : new FanDevice(path, 0x80046400ul, false);
}

kos::EmulatedDevice *make_soc_fan(const char *path) {
    return open_fails(path) ? nullptr : new FanDevice(path, 0x6B00ul, true);
}

std::vector<FanRequest> fan_requests() {
    std::lock_guard<std::mutex> g(state().lock);
    return state().log;
}

void fan_requests_clear() {
    std::lock_guard<std::mutex> g(state().lock);
    state().log.clear();
}

void fan_device_fault(const std::string &device, bool fails_open, unsigned long failing_request) {
    std::lock_guard<std::mutex> g(state().lock);
    state().faults[device] = {fails_open, failing_request};
}

}  // namespace sim
