// Detection and bring-up of eight chains, all at once against one after the
// other (wall time at the machine's time scale; fails unless all eight come
// up), and the library's wall time per nonce in the mining loop (a job
// written to a chip, its result read).
// Runs inside an emulated machine:
//   sim/machine --desc bench/detect_machine.json -- build/bin/kmx_bench_detect
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <ctime>
#include <unistd.h>

#include "drv/kmx_chip_frame.h"
#include "module/kmx_chain.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "sim/devices/hub_spi_engine.h"

namespace {

const int kPll[] = {100, 200, 300, 400, 500, 600};
const uint8_t kPllRegs[6][12] = {};

bool ready() {
    static const bool ok = [] {
        const char *m = getenv("KMX_MACHINE");
        if (!m || !*m) return false;
        g_cgminer_pid = getpid();
        sys_platform_debug_init(0);
        sys_platform_init(ZYNQ_HUB_B13, 0, 8, 168);
        kmx_chain_set_pllcfg(kPll, kPllRegs, 6);
        return g_chain_num == 8;
    }();
    return ok;
}

int detect(bool parallel) {
    c_chain_param p[8];
    for (int i = 0; i < 8; i++) p[i] = c_chain_param{g_chain_id[i], 2, 600, 0, 10, 300, 10, 0, false};
    return kmx_chain_detect_all(0xFF, p, parallel, false);
}

double wall_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// A bring-up that leaves chains down times a failure, not a bring-up.
bool all_up(benchmark::State &s, int alive) {
    if (alive == 8) return true;
    const std::string why = "only " + std::to_string(alive) + " of 8 chains came up";
    s.SkipWithError(why.c_str());
    return false;
}

void run_detect(benchmark::State &s, bool parallel) {
    if (!ready()) {
        s.SkipWithError("no emulated machine with eight boards");
        return;
    }
    for (auto _ : s)
        if (!all_up(s, detect(parallel))) return;
    s.counters["chains_up"] = 8;
    s.counters["time_scale"] = kos::time_scale();
}

void BM_DetectEightChainsParallel(benchmark::State &s) { run_detect(s, true); }
void BM_DetectEightChainsSerial(benchmark::State &s) { run_detect(s, false); }
BENCHMARK(BM_DetectEightChainsParallel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DetectEightChainsSerial)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Both in one iteration, so that a noisy machine weighs on both alike:
// parallel_over_serial is the verdict (goal: at most 0.25).
void BM_DetectParallelOverSerial(benchmark::State &s) {
    if (!ready()) {
        s.SkipWithError("no emulated machine with eight boards");
        return;
    }
    double par = 0, ser = 0;
    for (auto _ : s) {
        double t0 = wall_ms();
        if (!all_up(s, detect(false))) return;
        ser += wall_ms() - t0;
        t0 = wall_ms();
        if (!all_up(s, detect(true))) return;
        par += wall_ms() - t0;
    }
    s.counters["serial_ms"] = ser / double(s.iterations());
    s.counters["parallel_ms"] = par / double(s.iterations());
    s.counters["parallel_over_serial"] = par / ser;
}
BENCHMARK(BM_DetectParallelOverSerial)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

double wall_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// One nonce as the stand-in miner gets it; lib_ns is the library's share of
// the wall time, emu_ns the emulated engine's and chips'.
void BM_NonceRead(benchmark::State &s) {
    if (!ready() || !g_chain_alive[0]) {
        if (ready() && !g_chain_alive[0]) detect(true);
        if (!g_chain_alive[0]) {
            s.SkipWithError("chain 0 not up");
            return;
        }
    }
    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, 1};
    for (int i = 2; i < 158; i++) job[i] = uint8_t(i);
    chip_frame_seal(job, 158);
    uint8_t res[12];
    long nonces = 0;
    sim::hub_spi_engine_count_time(true);
    const uint64_t emu0 = sim::hub_spi_engine_ns();
    const double t0 = wall_ns();
    for (auto _ : s) {
        kmx_cmd_write_job(0, 1, job, 160);
        nonces += kmx_cmd_read_result(0, 1, res, 8) ? 1 : 0;
    }
    const double total = wall_ns() - t0;
    sim::hub_spi_engine_count_time(false);
    const double emu = double(sim::hub_spi_engine_ns() - emu0);
    s.counters["nonces"] = double(nonces);
    s.counters["lib_ns_per_nonce"] = nonces ? (total - emu) / double(nonces) : 0;
    s.counters["emu_ns_per_nonce"] = nonces ? emu / double(nonces) : 0;
}
BENCHMARK(BM_NonceRead)->UseRealTime();

}  // namespace
