#include "sim/devices/spi_faults.h"

#include <cstdio>
#include <vector>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

#include "os/os.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/refusal.h"

namespace sim {

namespace {

std::string control_path() { return kos::sim_dir() + "/spi_faults"; }

}  // namespace

void SpiFaults::apply(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string t; in >> t;) w.push_back(t);
    if (w.empty()) return;
    const std::string &chain = w[0];
    const std::string what = w.size() > 1 ? w[1] : "";
    unsigned long long polls = 0, mask = 0, words = 0;
    const bool chain_ok = chain == "*" || (chain.size() == 1 && chain[0] >= '0' && chain[0] <= '7');
    const bool busy_ok = what == "busy" && (w.size() == 3 || w.size() == 4) &&
                         (w[2] == "forever" || parse_uint(w[2], 1000000, &polls)) &&
                         (w.size() == 3 || parse_uint(w[3], 0xFFFFFFFFull, &mask));
    const bool short_ok = what == "short" && w.size() == 3 && parse_uint(w[2], 0xFFFFFFFFull, &words);
    const bool record_ok = what == "record" && w.size() == 2;
    if (!chain_ok || !(busy_ok || short_ok || record_ok)) {
        refuse("spi_faults: unknown control \"" + line + "\"");
        return;
    }
    for (unsigned c = 0; c < 8; c++) {
        if (chain != "*" && chain != std::to_string(c)) continue;
        SpiFault &f = fault_[c];
        if (busy_ok) {
            f.busy_forever = w[2] == "forever";
            f.busy_polls = unsigned(polls);
            if (w.size() == 4) f.busy_mask = uint32_t(mask);
        } else if (short_ok) {
            f.short_words = unsigned(words);
        } else {
            f.record = true;
        }
    }
}

void SpiFaults::load() {
    for (SpiFault &f : fault_) f = SpiFault{};
    size_t i;
    json_t *v;
    json_array_foreach(json_object_get(machine_desc(), "spi_faults"), i, v) {
        if (json_is_string(v))
            apply(json_string_value(v));
        else
            refuse("spi_faults entry " + std::to_string(i) + " is not a text");
    }
    std::string text;
    if (kos::read_file(control_path().c_str(), text)) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) apply(line);
    }
}

void SpiFaults::refresh() {
    // Looked up outside the lock: every chain's engine asks on each status
    // read and command, and one lookup at a time kept the chains waiting on
    // each other.
    struct stat st;
    const bool has = stat(control_path().c_str(), &st) == 0;
    std::lock_guard<std::mutex> g(lock_);
    const bool changed = has != had_file_ ||
                         (has && (st.st_mtim.tv_sec != mtime_.tv_sec || st.st_mtim.tv_nsec != mtime_.tv_nsec ||
                                  (long long)st.st_size != size_ || (unsigned long long)st.st_ino != ino_));
    if (loaded_ && !changed) return;
    had_file_ = has;
    if (has) {
        mtime_ = st.st_mtim;
        size_ = (long long)st.st_size;
        ino_ = (unsigned long long)st.st_ino;
    }
    loaded_ = true;
    load();
}

}  // namespace sim
