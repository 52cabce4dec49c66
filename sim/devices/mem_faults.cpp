// The physical-memory device when it fails: it cannot be opened, or a
// window of it cannot be mapped. From the machine description
//   "mem_faults": {"open": true, "map": ["0x43C00000", ...]}
// and the control file <sim dir>/mem_faults, one line each:
//   open            /dev/mem cannot be opened (EACCES)
//   map PHYS        the window at physical address PHYS cannot be mapped
//                   (ENOMEM)
// Read when the process first opens /dev/mem or maps a window; another
// line is refused (refusal.h).
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "os/os.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/refusal.h"

namespace sim {
namespace {

struct MemFaults {
    bool open = false;
    std::set<uint32_t> map;
};

const MemFaults &faults() {
    static MemFaults &f = *new MemFaults;  // never destroyed: read by running threads at exit
    static std::once_flag once;
    std::call_once(once, [] {
        json_t *m = json_object_get(machine_desc(), "mem_faults");
        f.open = desc_bool(m, "open", false);
        size_t i;
        json_t *v;
        json_array_foreach(json_object_get(m, "map"), i, v) {
            unsigned long long phys = 0;
            if (json_is_string(v) && parse_uint(json_string_value(v), 0xFFFFFFFFull, &phys))
                f.map.insert(uint32_t(phys));
            else
                refuse("mem_faults: map entry " + std::to_string(i) + " is not an address");
        }
        std::string text;
        if (kos::read_file((kos::sim_dir() + "/mem_faults").c_str(), text)) {
            std::istringstream in(text);
            std::string line;
            while (std::getline(in, line)) {
                std::istringstream l(line);
                std::vector<std::string> w;
                for (std::string t; l >> t;) w.push_back(t);
                unsigned long long phys = 0;
                if (w.empty()) continue;
                if (w[0] == "open" && w.size() == 1)
                    f.open = true;
                else if (w[0] == "map" && w.size() == 2 && parse_uint(w[1], 0xFFFFFFFFull, &phys))
                    f.map.insert(uint32_t(phys));
                else
                    refuse("mem_faults: unknown control \"" + line + "\"");
            }
        }
    });
    return f;
}

class MemGate : public kos::MemGate {
public:
    int open_error() override { return faults().open ? EACCES : 0; }
    int map_error(uint32_t phys) override { return faults().map.count(phys) ? ENOMEM : 0; }
};

}  // namespace

void register_mem_faults() {
    static MemGate gate;
    kos::register_mem_gate(&gate);
}

}  // namespace sim
