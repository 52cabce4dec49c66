// Benchmarks with known figures for goals_test.sh: what the benchmark
// programs' main() makes of a goal met at its limit, one missed by a hair,
// a missing figure, a failed benchmark.
#include <benchmark/benchmark.h>

#include "goals.h"

namespace {

void figure(benchmark::State &s, const char *name, double value) {
    for (auto _ : s) benchmark::DoNotOptimize(value);
    if (name) s.counters[name] = value;
}

void BM_ProbeAtTheLimit(benchmark::State &s) { figure(s, "ratio", 1.0); }
void BM_ProbeOverTheLimit(benchmark::State &s) { figure(s, "ratio", 1.001); }
void BM_ProbeJustUnder(benchmark::State &s) { figure(s, "pct", 0.499); }
void BM_ProbeUnderAtTheLimit(benchmark::State &s) { figure(s, "pct", 0.5); }
void BM_ProbeWithoutItsFigure(benchmark::State &s) { figure(s, nullptr, 0); }
void BM_ProbeFails(benchmark::State &s) {
    for (auto _ : s) {
    }
    s.SkipWithError("what it timed failed");
}
BENCHMARK(BM_ProbeAtTheLimit)->Iterations(1);
BENCHMARK(BM_ProbeOverTheLimit)->Iterations(1);
BENCHMARK(BM_ProbeJustUnder)->Iterations(1);
BENCHMARK(BM_ProbeUnderAtTheLimit)->Iterations(1);
BENCHMARK(BM_ProbeWithoutItsFigure)->Iterations(1);
BENCHMARK(BM_ProbeFails)->Iterations(1);

const bool g_goals = bench::goal("BM_ProbeAtTheLimit", "ratio", bench::Bound::AtMost, 1) &&
                     bench::goal("BM_ProbeOverTheLimit", "ratio", bench::Bound::AtMost, 1) &&
                     bench::goal("BM_ProbeJustUnder", "pct", bench::Bound::Under, 0.5) &&
                     bench::goal("BM_ProbeUnderAtTheLimit", "pct", bench::Bound::Under, 0.5) &&
                     bench::goal("BM_ProbeWithoutItsFigure", "ratio", bench::Bound::AtMost, 1);

}  // namespace
