#include "sim/devices/spi_faults.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

#include "os/os.h"
#include "sim/devices/machine_desc.h"

namespace sim {

namespace {

std::string control_path() { return kos::sim_dir() + "/spi_faults"; }

}  // namespace

void SpiFaults::apply(const std::string &line) {
    std::istringstream in(line);
    std::string chain, what, arg, mask;
    if (!(in >> chain >> what)) return;
    in >> arg >> mask;
    for (unsigned c = 0; c < 8; c++) {
        if (chain != "*" && chain != std::to_string(c)) continue;
        SpiFault &f = fault_[c];
        if (what == "busy") {
            f.busy_forever = arg == "forever";
            f.busy_polls = f.busy_forever ? 0 : unsigned(strtoul(arg.c_str(), nullptr, 0));
            if (!mask.empty()) f.busy_mask = uint32_t(strtoul(mask.c_str(), nullptr, 0));
        } else if (what == "short") {
            f.short_words = unsigned(strtoul(arg.c_str(), nullptr, 0));
        } else if (what == "record") {
            f.record = true;
        } else {
            fprintf(stderr, "kmx-sim: spi_faults: unknown control \"%s\"\n", line.c_str());
        }
    }
}

void SpiFaults::load() {
    for (SpiFault &f : fault_) f = SpiFault{};
    size_t i;
    json_t *v;
    json_array_foreach(json_object_get(machine_desc(), "spi_faults"), i, v) {
        if (json_is_string(v)) apply(json_string_value(v));
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
