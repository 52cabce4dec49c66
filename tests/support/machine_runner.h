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

// A shell condition, true while some thread in the machine waits for a
// file lock (flock or fcntl), read from each thread's kernel wait channel:
// how a script holding a lock learns that a program has reached it.
inline const std::string kWaitsOnLock =
    "grep -qE '^(locks|flock)_lock_(inode|file)_wait' /proc/[0-9]*/task/*/wchan 2>/dev/null";
