// Shared set-up of the fuzz targets. They run only inside the emulated
// machine (sim/machine): /config, /etc and /tmp there are the machine's own
// tmpfs and overlays, so files the code under test writes never reach the
// host, and the shell is replaced by a recorder so no command runs.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "module/log_sink.h"
#include "os/os.h"

namespace fuzz {

// Records every command and answers with status 0 and the output the target
// chose: the first entry of `answers` whose text occurs in the command, else
// `lock_answer` for the lock read, else nothing.
class RecordingShell final : public kos::ShellBackend {
public:
    bool capture(const char *cmd, std::string &out, size_t limit) override {
        record(cmd);
        out = answer_for(cmd ? cmd : "");
        if (out.size() > limit) out.resize(limit);
        return true;
    }
    int status(const char *cmd) override {
        record(cmd);
        return 0;
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> g(lock_);
        std::vector<std::string> out;
        out.swap(commands_);
        return out;
    }
    std::string lock_answer;
    std::vector<std::pair<std::string, std::string>> answers;

private:
    std::string answer_for(const std::string &cmd) const {
        for (const auto &[part, text] : answers)
            if (cmd.find(part) != std::string::npos) return text;
        return cmd.rfind("/sbin/flagutils read", 0) == 0 ? lock_answer : "";
    }
    void record(const char *cmd) {
        if (getenv("KMX_FUZZ_VERBOSE")) fprintf(stderr, "fuzz: shell: %s\n", cmd ? cmd : "(null)");
        std::lock_guard<std::mutex> g(lock_);
        commands_.emplace_back(cmd ? cmd : "(null)");
    }
    std::mutex lock_;
    std::vector<std::string> commands_;
};

inline RecordingShell &shell() {
    static RecordingShell s;
    return s;
}

// Log lines are formatted as usual and then dropped: the syslog file would
// grow by a line per byte of every input.
inline void drop_line(int, const char *) {}

[[noreturn]] inline void fail(const char *what, const std::string &detail) {
    fprintf(stderr, "fuzz: %s: %s\n", what, detail.c_str());
    abort();
}

inline void write_or_die(const char *path, const std::string &text) {
    if (!kos::write_file_atomic(path, text)) fail("cannot write", path);
}

// True when `text` ends within `size` bytes (a C text that stayed inside its
// buffer).
inline bool terminated(const char *text, size_t size) { return strnlen(text, size) < size; }

// Splits the input at its first NUL byte: the part before it, and the rest.
inline std::pair<std::string, std::string> split_at_nul(const uint8_t *data, size_t size) {
    const char *p = reinterpret_cast<const char *>(data);
    const size_t n = strnlen(p, size);
    return {std::string(p, n), n < size ? std::string(p + n + 1, size - n - 1) : std::string()};
}

// A connected socket pair with `data` written into one end and that end
// shut for writing: sv[0] reads the bytes as a peer sent them.
inline void socket_with_input(const uint8_t *data, size_t size, int sv[2]) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) fail("socketpair", strerror(errno));
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(sv[1], data + done, size - done);
        if (n <= 0) fail("write", strerror(errno));
        done += size_t(n);
    }
    shutdown(sv[1], SHUT_WR);
}

// Refuses to run on the host, installs the recorder and the log sink.
inline void setup_machine() {
    std::string mac;
    kos::read_file("/sys/class/net/eth0/address", mac);
    if (!kos::emulated() || !getenv("KMX_SIM_DIR") || mac != "02:00:c0:00:02:0a\n") {
        fprintf(stderr, "fuzz: run this inside the emulated machine (scripts/fuzz)\n");
        exit(2);
    }
    kos::set_shell_backend(&shell());
    klog::set_sink(drop_line);
    mkdir("/config", 0755);
    mkdir("/config/network", 0755);
    // Host names from the inputs are looked up: the machine has no name
    // server, and a loopback one that refuses answers at once instead of
    // waiting out a timeout per input.
    write_or_die("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
}

}  // namespace fuzz
