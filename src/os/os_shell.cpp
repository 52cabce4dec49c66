#include "os/os.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace kos {
namespace {

class RealShell final : public ShellBackend {
public:
    bool capture(const char *cmd, std::string &out, size_t limit) override {
        out.clear();
        FILE *fp = popen(cmd, "r");
        if (!fp) return false;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0) {
            if (out.size() < limit) out.append(buf, std::min(n, limit - out.size()));
        }
        pclose(fp);
        return true;
    }
    int status(const char *cmd) override { return system(cmd); }
};

// Never destroyed: detached library threads (file check, watchdog feeder)
// may still run a command while the process exits.
RealShell &real_shell() {
    static RealShell *shell = new RealShell;
    return *shell;
}
std::atomic<ShellBackend *> s_backend{&real_shell()};

}  // namespace

bool shell_capture(const char *cmd, std::string &out, size_t limit) {
    return s_backend.load()->capture(cmd, out, limit);
}

int shell_status(const char *cmd) { return s_backend.load()->status(cmd); }

void set_shell_backend(ShellBackend *backend) { s_backend.store(backend ? backend : &real_shell()); }

}  // namespace kos
