#include "support/machine_runner.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

// Inside a machine the programs are those the machine was given (in a cross
// build, the host's tools), which sim/machine exports as KMX_BUILD_DIR.
std::string build_path(const std::string &rel) {
    const char *dir = std::getenv("KMX_BUILD_DIR");
    return std::string(dir && *dir ? dir : KMX_BUILD_DIR) + "/" + rel;
}

std::string MachineRun::file(const std::string &machine_path) const {
    if (machine_path.rfind("/tmp/", 0) == 0) return slurp(keep + machine_path);
    if (machine_path.rfind("/run/sim/", 0) == 0) return slurp(keep + "/sim/" + machine_path.substr(9));
    return {};
}

std::string MachineRun::syslog() const { return file("/run/sim/syslog.log"); }

MachineRun run_machine(const std::string &desc, const std::vector<std::string> &cmd) {
    MachineRun run;
    char dir_template[] = "/var/tmp/kmx-e2e-XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (!dir) return run;
    run.keep = std::string(dir) + "/keep";
    const std::string desc_path = std::string(dir) + "/machine.json";
    std::ofstream(desc_path) << desc;

    std::string line = quote(std::string(KMX_SOURCE_DIR) + "/sim/machine") + " --bin " + quote(KMX_BUILD_DIR) +
                       " --desc " + quote(desc_path) + " --keep " + quote(run.keep) + " --";
    for (const std::string &c : cmd) line += " " + quote(c);
    FILE *fp = popen(line.c_str(), "r");
    if (!fp) return run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) run.out.append(buf, n);
    int st = pclose(fp);
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return run;
}
