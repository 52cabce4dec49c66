// Detection and bring-up of eight chains, all at once against one after the
// other (wall time at the machine's time scale) and all at once against the
// floor of the waits the hardware asks for (at time scale 1); each fails
// unless all eight come up. Then the library's wall time per nonce in the
// mining loop (a job written to a chip, its result read).
// Runs inside an emulated machine:
//   sim/machine --bin build/bin --desc bench/detect_machine.json -- build/bin/kmx_bench_detect
//       --benchmark_filter='EightChains|NonceRead'
//   sim/machine --bin build/bin --desc bench/detect_machine.json -- env KMX_TIME_SCALE=20
//       build/bin/kmx_bench_detect --benchmark_filter=ParallelOverSerial
//   sim/machine --bin build/bin --desc bench/detect_machine.json -- env KMX_TIME_SCALE=1
//       build/bin/kmx_bench_detect --benchmark_filter=BringUpOverFloor  (one line)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

#include "drv/kmx_chip_frame_internal.h"
#include "module/kmx_chain.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "sim/devices/hub_spi_engine.h"
#include "goals.h"
#include "wait_tally.h"

namespace {

const int kPll[] = {100, 200, 300, 400, 500, 600};
const uint8_t kPllRegs[6][12] = {};

bool ready() {
    static const bool ok = [] {
        const char *m = getenv("KMX_MACHINE");
        if (!m || !*m) return false;
        g_cgminer_pid = getpid();
        sys_platform_debug_init(2);  // the mining program's level: no debug lines
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
// parallel_over_serial is the verdict (goal: at most 0.25). At time scale 20
// or lower: the faster the clock, the more the host's CPU (shared by eight
// threads at once, one at a time in the serial run) sets the ratio rather
// than the hardware's waits.
constexpr double kMaxRatioTimeScale = 20;

void BM_DetectParallelOverSerial(benchmark::State &s) {
    // The clock first: a refused one brings no chain up.
    if (kos::time_scale() > kMaxRatioTimeScale) {
        s.SkipWithError("run at time scale 20 or lower (KMX_TIME_SCALE=20)");
        return;
    }
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
    s.counters["time_scale"] = kos::time_scale();
}
BENCHMARK(BM_DetectParallelOverSerial)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
const bool g_ratio_goal = bench::goal("BM_DetectParallelOverSerial", "parallel_over_serial", bench::Bound::AtMost, 0.25);

// ---- bring-up against its floor ----
// The floor is what the hardware makes a bring-up wait: every pause the
// library asks of the clock on the longest chain's detection thread (power
// sequence, resets, BIST, PLL and voltage steps, the chip protocol's
// pauses). Taken from the clock itself, so it follows the library's own
// waits. Both it and the wall time are machine time. The poller's own
// looks (the library names each detection thread) are no part of it.

bool detection_thread(const char *name) {
    int chain = -1;
    return sscanf(name, "detect_chain%d", &chain) == 1;
}

// Eight chains at once; wall_over_floor is the verdict (goal: at most 1.05).
// Needs time scale 1: a scaled clock multiplies every microsecond the
// emulated machine's CPU takes into machine time, which the board does not.
void BM_BringUpOverFloor(benchmark::State &s) {
    if (kos::time_scale() != 1.0) {
        s.SkipWithError("run at time scale 1 (KMX_TIME_SCALE=1)");
        return;
    }
    if (!ready()) {
        s.SkipWithError("no emulated machine with eight boards");
        return;
    }
    double wall = 0, floor = 0, over = 0;
    for (auto _ : s) {
        bench::start_counting_waits(detection_thread);
        const uint64_t t0 = kos::mono_us();
        const int alive = detect(true);
        const uint64_t t1 = kos::mono_us();
        const bench::WaitTotals waits = bench::stop_counting_waits();
        if (!all_up(s, alive)) return;
        if (waits.threads != 8 || waits.longest_us == 0) {
            const std::string why = std::to_string(waits.threads) + " detection threads waited, not 8";
            s.SkipWithError(why.c_str());
            return;
        }
        wall += double(t1 - t0) / 1e3;
        floor += double(waits.longest_us) / 1e3;
        over += double(waits.longest_taken_us - waits.longest_us) / 1e3;
    }
    s.counters["wall_ms"] = wall / double(s.iterations());
    s.counters["floor_ms"] = floor / double(s.iterations());
    s.counters["wall_over_floor"] = wall / floor;
    // The host's timer latency on the longest chain's waits, and the ratio
    // without it: what the library and the emulation add.
    s.counters["overshoot_ms"] = over / double(s.iterations());
    s.counters["code_over_floor"] = (wall - over) / floor;
}
BENCHMARK(BM_BringUpOverFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
const bool g_floor_goal = bench::goal("BM_BringUpOverFloor", "wall_over_floor", bench::Bound::AtMost, 1.05);

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
    long failed_writes = 0;
    for (auto _ : s) {
        failed_writes += kmx_cmd_write_job(0, 1, job, 160) ? 0 : 1;
        nonces += kmx_cmd_read_result(0, 1, res, 8) ? 1 : 0;
    }
    const double total = wall_ns() - t0;
    sim::hub_spi_engine_count_time(false);
    if (failed_writes || !nonces) {
        const std::string why = std::to_string(failed_writes) + " job writes failed, " + std::to_string(nonces) +
                                " nonces in " + std::to_string(s.iterations()) + " rounds";
        s.SkipWithError(why.c_str());
        return;
    }
    const double emu = double(sim::hub_spi_engine_ns() - emu0);
    s.counters["nonces"] = double(nonces);
    s.counters["lib_ns_per_nonce"] = nonces ? (total - emu) / double(nonces) : 0;
    s.counters["emu_ns_per_nonce"] = nonces ? emu / double(nonces) : 0;
}
BENCHMARK(BM_NonceRead)->UseRealTime();

}  // namespace
