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

// Runs `script` (bash) in a machine with the daemon's start and stop at hand:
// `zm_start [ARGS]` starts zel-monitor (ARGS default to "1") in the
// background, its pid in ZM, output redirected as for any command;
// `zm_stop` stops it. A daemon that ended before its stop, or not by the
// stop's SIGTERM, fails the case; one still running at the script's end is
// stopped and checked the same way.
MachineRun run_daemon_machine(const std::string &desc, const std::string &script);
