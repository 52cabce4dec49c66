// The monitor daemon in steady state, at the machine's real speed: its own
// share of one core and its resident memory (goals: under 0.5 % and under
// 8 MiB), its wake-ups, and the programs it starts per minute with what
// they cost (the stand-ins here are shell scripts, dearer than the board's;
// the programs counted are those that record their calls in the machine).
// Runs inside an emulated machine at time scale 1:
//   sim/machine --desc bench/daemon_machine.json -- env KMX_TIME_SCALE=1 build/bin/kmx_bench_daemon
// KMX_BENCH_SECONDS sets the measured window (60 by default), after 5 s of
// start-up. BM_DaemonAtWork, the same at work (boards under the stand-in
// miner, reports to the stand-in server), runs in its own machine:
//   sim/machine --desc bench/daemon_work_machine.json -- env KMX_TIME_SCALE=1 build/bin/kmx_bench_daemon
// Both fail unless the daemon runs through the whole window. A bare 20 ms sleeper in this process over the same window tells
// what a wake-up costs on the host.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <atomic>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "goals.h"

namespace {

struct Sample {
    double cpu_s = 0;       // the daemon's own user + system time
    double child_cpu_s = 0; // the programs it started and waited for
    double rss_mib = 0;
    long switches = 0;      // voluntary + involuntary, all its threads
    long calls = 0;         // lines in the stub call log
};

long count_lines(const char *path) {
    std::ifstream in(path);
    long n = 0;
    std::string line;
    while (std::getline(in, line)) n++;
    return n;
}

bool sample(pid_t pid, Sample &s) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream f(text.substr(close + 2));
    std::string field[20];
    for (auto &x : field) f >> x;
    // After the name: state(0) ... utime(11) stime(12) cutime(13) cstime(14).
    const double tick = double(sysconf(_SC_CLK_TCK));
    s.cpu_s = (std::stod(field[11]) + std::stod(field[12])) / tick;
    s.child_cpu_s = (std::stod(field[13]) + std::stod(field[14])) / tick;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    s.switches = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rss_mib = std::stod(line.substr(6)) / 1024.0;
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            s.switches += std::stol(line.substr(line.find(':') + 1));
    }
    // Threads' switches are per task: add them up.
    long task_sw = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (FILE *p = popen(("cat " + tasks + "/*/status 2>/dev/null").c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p))
            if (!strncmp(buf, "voluntary_ctxt_switches:", 24) || !strncmp(buf, "nonvoluntary_ctxt_switches:", 27))
                task_sw += atol(strchr(buf, ':') + 1);
        pclose(p);
    }
    if (task_sw > s.switches) s.switches = task_sw;
    s.calls = count_lines("/run/sim/calls.log");
    return true;
}

// What a wake-up costs on this host whatever the program: a thread that
// does nothing but sleep 20 ms at a time (the button sampler's period),
// over the same window. A virtual machine's timer makes it far dearer than
// on the board, and the load of the host weighs on it as on the daemon.
class BareSleeper {
public:
    BareSleeper() : t_([this] { run(); }) {}
    // CPU seconds and wake-ups of the sleeper so far.
    void stop(double &cpu_s, long &wakeups) {
        stop_ = true;
        t_.join();
        cpu_s = cpu_s_;
        wakeups = wakeups_;
    }

private:
    void run() {
        long n = 0;
        while (!stop_) {
            struct timespec ts = {0, 20000000};
            nanosleep(&ts, nullptr);
            n++;
        }
        struct rusage ru;
        getrusage(RUSAGE_THREAD, &ru);
        cpu_s_ = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        wakeups_ = n;
    }
    std::atomic<bool> stop_{false};
    double cpu_s_ = 0;
    long wakeups_ = 0;
    std::thread t_;
};

// A program of the machine started in the background; false when it could
// not be.
pid_t start_program(const std::vector<std::string> &argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> a;
        for (const std::string &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }
    return pid;
}

// Still running: not ended, not a zombie waiting to be reaped. A child that
// has ended is reaped here and its status put in `why`.
bool running(pid_t pid, std::string &why) {
    int st = 0;
    const pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == 0) return true;
    if (r == pid)
        why = WIFEXITED(st) ? "exited with status " + std::to_string(WEXITSTATUS(st))
                            : "killed by signal " + std::to_string(WTERMSIG(st));
    else
        why = "is not a child of the benchmark";
    return false;
}

void stop_program(pid_t pid) {
    std::string ignored;
    if (!running(pid, ignored)) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool shell_ok(const std::string &cmd) { return system(cmd.c_str()) == 0; }

// Polls `cmd` once a second for up to `secs` seconds.
bool wait_for(const std::string &cmd, int secs) {
    for (int i = 0; i < secs; i++) {
        if (shell_ok(cmd)) return true;
        sleep(1);
    }
    return shell_ok(cmd);
}

int window_seconds() {
    const char *secs_env = getenv("KMX_BENCH_SECONDS");
    return secs_env && atoi(secs_env) > 0 ? atoi(secs_env) : 60;
}

// Starts the daemon, lets it start up for 5 s, measures it over the window
// and ends it. False (with the benchmark skipped with an error) unless the
// daemon runs from the first sample to the last.
bool measure_daemon(benchmark::State &state, int secs) {
    const pid_t pid = start_program({"zel-monitor", "1"});
    if (pid < 0) {
        state.SkipWithError("cannot start zel-monitor");
        return false;
    }
    sleep(5);
    Sample a, b;
    std::string why;
    if (!running(pid, why) || !sample(pid, a)) {
        stop_program(pid);
        state.SkipWithError(("zel-monitor did not start: it " + why).c_str());
        return false;
    }
    BareSleeper bare;
    sleep(unsigned(secs));
    const bool ok = sample(pid, b) && running(pid, why);
    double bare_cpu = 0;
    long bare_wakeups = 0;
    bare.stop(bare_cpu, bare_wakeups);
    stop_program(pid);
    if (!ok) {
        state.SkipWithError(("zel-monitor ended during the window: it " + why).c_str());
        return false;
    }
    state.counters["own_core_pct"] = 100.0 * (b.cpu_s - a.cpu_s) / secs;
    state.counters["children_core_pct"] = 100.0 * (b.child_cpu_s - a.child_cpu_s) / secs;
    state.counters["rss_MiB"] = b.rss_mib;
    state.counters["wakeups_per_s"] = double(b.switches - a.switches) / secs;
    state.counters["programs_per_min"] = double(b.calls - a.calls) * 60.0 / secs;
    state.counters["ms_cpu_per_program"] =
        b.calls > a.calls ? 1000.0 * (b.child_cpu_s - a.child_cpu_s) / double(b.calls - a.calls) : 0;
    // The daemon's CPU per wake-up against a bare sleeper's on this host
    // in the same window: near 1 means the daemon's share is what its
    // wake-ups cost the host, not work of its own.
    const long wakeups = b.switches - a.switches;
    const double own_us = wakeups > 0 ? 1e6 * (b.cpu_s - a.cpu_s) / double(wakeups) : 0;
    const double bare_us = bare_wakeups > 0 ? 1e6 * bare_cpu / double(bare_wakeups) : 0;
    state.counters["bare_sleeper_us_per_wakeup"] = bare_us;
    state.counters["own_us_per_wakeup"] = own_us;
    state.counters["own_over_bare_sleeper"] = bare_us > 0 ? own_us / bare_us : 0;
    return true;
}

bool in_machine(benchmark::State &state) {
    const char *m = getenv("KMX_MACHINE");
    if (m && *m) return true;
    state.SkipWithError("needs an emulated machine");
    return false;
}

// The daemon alone: no miner, no server.
void BM_DaemonSteadyState(benchmark::State &state) {
    if (!in_machine(state)) return;
    const int secs = window_seconds();
    for (auto _ : state)
        if (!measure_daemon(state, secs)) return;
}
BENCHMARK(BM_DaemonSteadyState)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Alone and at work alike: under half a percent of one core, under 8 MiB
// resident.
constexpr double kMaxCorePct = 0.5;
constexpr double kMaxRssMiB = 8;
const bool g_daemon_goals = bench::goal("BM_DaemonSteadyState", "own_core_pct", bench::Bound::Under, kMaxCorePct) &&
                            bench::goal("BM_DaemonSteadyState", "rss_MiB", bench::Bound::Under, kMaxRssMiB) &&
                            bench::goal("BM_DaemonAtWork", "own_core_pct", bench::Bound::Under, kMaxCorePct) &&
                            bench::goal("BM_DaemonAtWork", "rss_MiB", bench::Bound::Under, kMaxRssMiB);

constexpr char kReports[] = "/run/sim/mgmt_reports.jsonl";

// A test program of the build (the machine's KMX_BUILD_DIR).
std::string build_tool(const char *name) {
    const char *dir = getenv("KMX_BUILD_DIR");
    return std::string(dir && *dir ? dir : ".") + "/" + name;
}

// The daemon at work (bench/daemon_work_machine.json): the boards up under
// the stand-in miner, whose API the daemon reads, and its status reports
// going to the stand-in management server every 10 s. Fails unless the
// miner and the server run through the window and reports arrive.
void BM_DaemonAtWork(benchmark::State &state) {
    if (!in_machine(state)) return;
    if (access("/etc/systemd/system/cgminer.service", F_OK) != 0) {
        state.SkipWithError("needs the miner's unit: run in bench/daemon_work_machine.json");
        return;
    }
    const int secs = window_seconds();
    for (auto _ : state) {
        unlink("/tmp/mgmt-ready");
        const std::string api_up = build_tool("miner-api-client") + " >/dev/null 2>&1";
        const pid_t server = start_program(
            {build_tool("kmx-sim-mgmt"), "--port", "20001", "--connections", "100000", "--ready", "/tmp/mgmt-ready"});
        if (server < 0 || !wait_for("test -e /tmp/mgmt-ready", 20)) {
            stop_program(server);
            state.SkipWithError("the stand-in management server did not start");
            return;
        }
        // Bound to its server: the daemon reports. The boards come up at
        // the machine's real speed.
        if (!shell_ok("flagutils set") || !shell_ok("systemctl start cgminer") || !wait_for(api_up, 300)) {
            shell_ok("systemctl stop cgminer");
            stop_program(server);
            state.SkipWithError("the miner's API did not come up (see /run/sim/cgminer.log)");
            return;
        }
        const long reports_before = count_lines(kReports);
        const bool measured = measure_daemon(state, secs);
        const long reports = count_lines(kReports) - reports_before;
        const bool miner_up = shell_ok(api_up);
        std::string why;
        const bool server_up = running(server, why);
        shell_ok("systemctl stop cgminer");
        stop_program(server);
        if (!measured) return;
        if (!miner_up) {
            state.SkipWithError("the miner ended during the window");
            return;
        }
        if (!server_up) {
            state.SkipWithError(("the management server " + why).c_str());
            return;
        }
        if (reports < 1) {
            state.SkipWithError("no status report reached the management server");
            return;
        }
        state.counters["reports_per_min"] = double(reports) * 60.0 / (secs + 5);
    }
}
BENCHMARK(BM_DaemonAtWork)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A connection to the LED server on 127.0.0.1:8001; -1 when refused.
int led_connect() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8001);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// One valid request; true when the server answered it with success.
bool led_request(int fd) {
    static const char req[] = "{\"red_light\":\"on\"}";
    if (write(fd, req, sizeof req - 1) != ssize_t(sizeof req - 1)) return false;
    std::string reply;
    char buf[64];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, size_t(n));
    return reply == std::string("{\"success\": \"true\"}", 20);
}

// The LED server behind idle clients: each round opens 200 connections that
// send nothing (more than the server keeps waiting, so the oldest are
// refused to make room), then times one valid request on a connection of
// its own (goal: at most 1 ms) and closes the idle ones. The daemon's
// resident memory after the first round and after the last tells whether
// the floods leave anything behind (goal: flat).
void BM_LedServerBehindIdleClients(benchmark::State &state) {
    if (!in_machine(state)) return;
    constexpr int kIdle = 200, kRounds = 10;
    const pid_t pid = start_program({"zel-monitor", "1"});
    std::string why;
    int probe = -1;
    for (int i = 0; i < 200 && probe < 0 && running(pid, why); i++) {
        probe = led_connect();
        if (probe < 0) usleep(50000);
    }
    if (probe < 0 || !led_request(probe)) {
        if (probe >= 0) close(probe);
        stop_program(pid);
        state.SkipWithError(("the LED server did not answer; zel-monitor " + (why.empty() ? "runs" : why)).c_str());
        return;
    }
    close(probe);
    for (auto _ : state) {
        std::vector<double> ms;
        Sample first, last;
        for (int round = 0; round < kRounds; round++) {
            std::vector<int> idle;
            for (int i = 0; i < kIdle; i++)
                if (const int fd = led_connect(); fd >= 0) idle.push_back(fd);
            const int fd = led_connect();
            timespec a{}, b{};
            clock_gettime(CLOCK_MONOTONIC, &a);
            const bool ok = fd >= 0 && led_request(fd);
            clock_gettime(CLOCK_MONOTONIC, &b);
            if (fd >= 0) close(fd);
            for (int f : idle) close(f);
            if (!ok || int(idle.size()) != kIdle) {
                stop_program(pid);
                state.SkipWithError("a valid request behind the idle clients was not answered with success");
                return;
            }
            ms.push_back(double(b.tv_sec - a.tv_sec) * 1e3 + double(b.tv_nsec - a.tv_nsec) / 1e6);
            if (round == 0 && !sample(pid, first)) break;
        }
        if (!running(pid, why) || !sample(pid, last)) {
            stop_program(pid);
            state.SkipWithError(("zel-monitor ended during the rounds: it " + why).c_str());
            return;
        }
        std::sort(ms.begin(), ms.end());
        state.counters["valid_ms_median"] = ms[ms.size() / 2];
        state.counters["valid_ms_max"] = ms.back();
        state.counters["rss_MiB"] = last.rss_mib;
        state.counters["rss_growth_KiB"] = (last.rss_mib - first.rss_mib) * 1024.0;
    }
    stop_program(pid);
}
BENCHMARK(BM_LedServerBehindIdleClients)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
// A valid request answered within 1 ms behind the idle clients (the median
// of the rounds: one round's worst is the host's scheduler more than the
// server's), and no more than 256 KiB of the daemon's memory kept from the
// first round to the last.
const bool g_led_goals =
    bench::goal("BM_LedServerBehindIdleClients", "valid_ms_median", bench::Bound::AtMost, 1.0) &&
    bench::goal("BM_LedServerBehindIdleClients", "rss_growth_KiB", bench::Bound::AtMost, 256);

}  // namespace
