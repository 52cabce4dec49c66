#include "support/sim_files.h"

#include <fstream>
#include <unistd.h>

#include "os/os.h"

std::vector<std::string> sim_lines(const std::string &name) {
    std::vector<std::string> out;
    std::ifstream in(kos::sim_dir() + "/" + name);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::string sim_regulator(int slot) {
    const std::vector<std::string> l = sim_lines("regulator" + std::to_string(slot));
    return l.empty() ? "" : l[0];
}

void sim_remove(const std::string &name) { unlink((kos::sim_dir() + "/" + name).c_str()); }

void set_psu(const std::string &json) {
    kos::write_file_atomic((kos::sim_dir() + "/psu.json").c_str(), json);
    sim_remove("psu.state");
    sim_remove("psu.log");
}
