// The level test must come before any formatting: a filtered debug line in
// a busy poll should cost next to nothing.
#include <benchmark/benchmark.h>

#include "module/kmx_log.h"
#include "module/log_sink.h"

static void drop_sink(int, const char *) {}

static void BM_FilteredDebugLine(benchmark::State &state) {
    g_log_level = 2;
    for (auto _ : state) kmx_logf(1, "wait cmd done poll %d status 0x%08x", 7, 0x11u);
}
BENCHMARK(BM_FilteredDebugLine);

static void BM_LoggedLineWithPrefix(benchmark::State &state) {
    klog::set_sink(drop_sink);
    g_log_level = 0;
    char text[] = "chain3: set VID 120";
    for (auto _ : state) _kmx_log(2, text, true);
    klog::set_sink(nullptr);
}
BENCHMARK(BM_LoggedLineWithPrefix);
