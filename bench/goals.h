// The goals the benchmarks' figures must meet, and the main() of every
// benchmark program: it runs the benchmarks as Google Benchmark's own main
// does, then exits non-zero, saying which, when a benchmark failed (an
// error: what it timed failed, or its clock was refused, or its runs were
// reported only as aggregates, which cannot be judged), when no benchmark
// matched the filter, or when a figure missed its goal. For each goal of a
// benchmark that ran it prints one line:
//   goal BM_HubReset overhead_over_wire 0.18 at most 1: met
// (scripts/bench reads these lines).
#pragma once

namespace bench {

enum class Bound { AtMost, Under };

// Every run of the benchmark named `benchmark` (its function's name) must
// report `counter` within the bound. Registered at start-up, beside the
// benchmark: `const bool g = bench::goal(...);` at namespace scope.
bool goal(const char *benchmark, const char *counter, Bound bound, double limit);

}  // namespace bench
