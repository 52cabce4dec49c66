// The board test on one healthy board against the floor of its waits: the
// real program's entry (boardcheck/main.cpp, built here under another name)
// runs once in this process, and every wait it asks of the clock is summed.
// The board test is one thread, so the floor is that sum. Needs time scale 1.
// code_over_floor leaves out the time the emulated engine and chips take to
// answer (the board's hardware answers within its wire time) and what the
// host's timer latency adds to each sleep.
//   sim/machine --bin build/bin --desc bench/boardcheck_machine.json -- env KMX_TIME_SCALE=1
//       build/bin/kmx_bench_boardcheck  (one line)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <pthread.h>
#include <string>

#include "os/os.h"
#include "sim/devices/hub_spi_engine.h"
#include "wait_tally.h"

int boardcheck_main(int argc, char **argv);

namespace {

bool board_test_thread(const char *name) { return std::string(name) == "boardcheck"; }

bool passed() {
    std::string mtest;
    return kos::read_file("/tmp/mtest", mtest) && mtest.find("\"Pass\"") != std::string::npos;
}

void BM_BoardcheckOverFloor(benchmark::State &s) {
    const char *m = getenv("KMX_MACHINE");
    if (!m || !*m) {
        s.SkipWithError("no emulated machine");
        return;
    }
    if (kos::time_scale() != 1.0) {
        s.SkipWithError("run at time scale 1 (KMX_TIME_SCALE=1)");
        return;
    }
    pthread_setname_np(pthread_self(), "boardcheck");
    double wall = 0, floor = 0, emu = 0, over = 0;
    sim::hub_spi_engine_count_time(true);
    for (auto _ : s) {
        char prog[] = "boardcheck", all[] = "-a";
        char *argv[] = {prog, all, nullptr};
        remove("/tmp/mtest");
        bench::start_counting_waits(board_test_thread);
        const uint64_t e0 = sim::hub_spi_engine_ns();
        const uint64_t t0 = kos::mono_us();
        boardcheck_main(2, argv);
        const uint64_t t1 = kos::mono_us();
        const bench::WaitTotals waits = bench::stop_counting_waits();
        emu += double(sim::hub_spi_engine_ns() - e0) / 1e6;
        // A failed board test times a failure, not a test.
        if (!passed()) {
            sim::hub_spi_engine_count_time(false);
            s.SkipWithError("the board did not pass (/tmp/mtest)");
            return;
        }
        wall += double(t1 - t0) / 1e3;
        floor += double(waits.longest_us) / 1e3;
        over += double(waits.longest_taken_us - waits.longest_us) / 1e3;
    }
    sim::hub_spi_engine_count_time(false);
    s.counters["wall_ms"] = wall / double(s.iterations());
    s.counters["floor_ms"] = floor / double(s.iterations());
    s.counters["wall_over_floor"] = wall / floor;
    // The emulated engine and chips answer on this thread: their time is
    // what the board's hardware does in wire time, not the program's. The
    // host's timer latency makes each sleep longer than asked.
    s.counters["emu_ms"] = emu / double(s.iterations());
    s.counters["overshoot_ms"] = over / double(s.iterations());
    s.counters["code_over_floor"] = (wall - emu - over) / floor;
}
// One run: the board test keeps its state in globals for one run per process.
BENCHMARK(BM_BoardcheckOverFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
