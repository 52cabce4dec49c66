// Boots an emulated machine for one end-to-end case and keeps what it left.
#pragma once

#include <string>
#include <vector>

struct MachineRun {
    int status = -1;          // the command's exit status
    std::string out;          // its standard output
    std::string keep;         // host folder with the machine's /run/sim and /tmp
    std::string file(const std::string &machine_path) const;  // e.g. "/tmp/errcode"
    std::string syslog() const;
};

// `desc` is the machine description (JSON text); `cmd` runs inside.
MachineRun run_machine(const std::string &desc, const std::vector<std::string> &cmd);
std::string build_path(const std::string &rel);
