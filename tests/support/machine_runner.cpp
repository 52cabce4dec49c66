#include "support/machine_runner.h"

#include <gtest/gtest.h>

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

    // The case's name names the sanitizer reports of the machine's programs.
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "machine";
    std::string line = "KMX_SIM_NAME=" + quote(name) + " " + quote(std::string(KMX_SOURCE_DIR) + "/sim/machine") + " --bin " + quote(KMX_BUILD_DIR) +
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

// The daemon's start and stop for a case's script. zm_stop stops a daemon
// that runs and notes one that ended by itself (with its status); at the
// script's end, a daemon still running is stopped the same way. What was
// noted, if anything, fails the case: a daemon that died half-way through
// must not let a case pass on what it did before. A stopped (SIGSTOP)
// daemon counts as running; one that ended but was not yet waited for (a
// zombie) does not.
static const char kDaemonHelpers[] = R"SH(
zm_start() { zel-monitor "${@:-1}" & ZM=$!; }
zm_running() { local s; s=$(cut -d' ' -f3 /proc/$ZM/stat 2>/dev/null) && [ "$s" != Z ] && [ "$s" != X ]; }
zm_stop() {
    [ -n "${ZM:-}" ] || return 0
    local st
    if zm_running; then
        kill -CONT $ZM; kill $ZM; wait $ZM; st=$?
        [ $st = 143 ] || echo "zel-monitor (pid $ZM) ended with status $st at its stop (not by SIGTERM)" >>/run/sim/zm.verdict
    else
        wait $ZM; st=$?
        echo "zel-monitor (pid $ZM) ended by itself before its stop, status $st" >>/run/sim/zm.verdict
    fi
    ZM=
}
zm_end() { local rc=$?; zm_stop; echo "checked" >>/run/sim/zm.verdict; exit $rc; }
trap zm_end EXIT
)SH";

MachineRun run_daemon_machine(const std::string &desc, const std::string &script) {
    MachineRun r = run_machine(desc, {"bash", "-c", std::string(kDaemonHelpers) + script});
    const std::string verdict = r.file("/run/sim/zm.verdict");
    EXPECT_EQ(verdict, "checked\n") << "the daemon did not run to the case's end\n"
                                    << r.out << "\ndaemon's output:\n"
                                    << r.file("/run/sim/zm.out") << r.file("/run/sim/zm.err");
    return r;
}
