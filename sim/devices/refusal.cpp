#include "sim/devices/refusal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#include "os/os.h"
#include "sim/devices/sim_devices.h"

namespace sim {

void refuse(const std::string &what) {
    static std::mutex lock;
    static std::set<std::string> &told = *new std::set<std::string>;  // read by threads at exit
    {
        std::lock_guard<std::mutex> g(lock);
        if (!told.insert(what).second) return;
    }
    fprintf(stderr, "kmx-sim: refused: %s\n", what.c_str());
    record_line("refused", what);
}

bool parse_int(const std::string &s, long long lo, long long hi, long long *v) {
    if (s.empty() || (s[0] != '-' && (s[0] < '0' || s[0] > '9'))) return false;
    char *end = nullptr;
    errno = 0;
    const long long n = strtoll(s.c_str(), &end, 10);
    if (errno || *end || end == s.c_str() || n < lo || n > hi) return false;
    *v = n;
    return true;
}

bool parse_uint(const std::string &s, unsigned long long max, unsigned long long *v) {
    if (s.empty() || s[0] < '0' || s[0] > '9') return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long n = strtoull(s.c_str(), &end, 0);
    if (errno || *end || n > max) return false;
    *v = n;
    return true;
}

}  // namespace sim
