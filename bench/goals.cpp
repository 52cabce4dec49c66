// The benchmark programs' main(): Google Benchmark's run, then the verdict
// on failed benchmarks and on the goals registered with bench::goal().
#include "goals.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {
namespace {

struct Goal {
    std::string benchmark;
    std::string counter;
    Bound bound;
    double limit;
};

std::vector<Goal> &goals() {
    static std::vector<Goal> g;
    return g;
}

using Run = benchmark::BenchmarkReporter::Run;

// The usual display reporter, keeping every run it shows (not the
// aggregates of repetitions: each run is judged on its own). A benchmark
// whose runs it was shown only as aggregates (--benchmark_report_aggregates_only
// or --benchmark_display_aggregates_only with repetitions) cannot be judged:
// it is kept in `unjudged`.
template <class Base>
class Keeping : public Base {
public:
    using Base::Base;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            const std::string name = r.run_name.str();
            if (r.run_type == Run::RT_Iteration) {
                kept.push_back(r);
                shown.push_back(name);
            } else if (std::find(shown.begin(), shown.end(), name) == shown.end()) {
                shown.push_back(name);
                unjudged.push_back(name);
            }
        }
        Base::ReportRuns(runs);
    }
    std::vector<Run> kept;
    std::vector<std::string> shown, unjudged;
};

bool met(const Goal &g, double v) { return g.bound == Bound::AtMost ? v <= g.limit : v < g.limit; }

const char *bound_text(Bound b) { return b == Bound::AtMost ? "at most" : "under"; }

bool has_arg(int argc, char **argv, const char *arg) {
    for (int i = 1; i < argc; i++)
        if (!strcmp(argv[i], arg)) return true;
    return false;
}

// Prints the verdict to `out`; the number of failed benchmarks and missed goals.
int judge(const std::vector<Run> &runs, const std::vector<std::string> &unjudged, const char *program, FILE *out) {
    int failed = 0, missed = 0;
    for (const std::string &name : unjudged) {
        fprintf(out, "failed %s: only the aggregates of its runs were reported; each run is judged, "
                     "run it without --benchmark_report_aggregates_only and --benchmark_display_aggregates_only\n",
                name.c_str());
        failed++;
    }
    for (const Run &r : runs) {
        const std::string name = r.benchmark_name();
        if (r.error_occurred) {
            fprintf(out, "failed %s: %s\n", name.c_str(), r.error_message.c_str());
            failed++;
            continue;
        }
        for (const Goal &g : goals()) {
            if (g.benchmark != r.run_name.function_name) continue;
            const auto c = r.counters.find(g.counter);
            if (c == r.counters.end()) {
                fprintf(out, "goal %s %s missing %s %g: MISSED\n", name.c_str(), g.counter.c_str(), bound_text(g.bound),
                       g.limit);
                missed++;
                continue;
            }
            const double v = c->second.value;
            const bool ok = met(g, v);
            fprintf(out, "goal %s %s %.4g %s %g: %s\n", name.c_str(), g.counter.c_str(), v, bound_text(g.bound), g.limit,
                   ok ? "met" : "MISSED");
            missed += ok ? 0 : 1;
        }
    }
    if (failed || missed)
        fprintf(out, "%s: %d benchmark%s failed, %d goal%s missed\n", program, failed, failed == 1 ? "" : "s", missed,
               missed == 1 ? "" : "s");
    return failed + missed;
}

}  // namespace

bool goal(const char *benchmark, const char *counter, Bound bound, double limit) {
    goals().push_back(Goal{benchmark, counter, bound, limit});
    return true;
}

}  // namespace bench

int main(int argc, char **argv) {
    // Read before Initialize takes the library's own flags out of argv.
    const bool json = bench::has_arg(argc, argv, "--benchmark_format=json");
    const bool listing = bench::has_arg(argc, argv, "--benchmark_list_tests") ||
                         bench::has_arg(argc, argv, "--benchmark_list_tests=true");
    const bool tabular = bench::has_arg(argc, argv, "--benchmark_counters_tabular=true");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const char *program = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];

    size_t matched;
    std::vector<benchmark::BenchmarkReporter::Run> runs;
    std::vector<std::string> unjudged;
    if (json) {
        bench::Keeping<benchmark::JSONReporter> r;
        matched = benchmark::RunSpecifiedBenchmarks(&r);
        runs = r.kept;
        unjudged = r.unjudged;
    } else {
        int opts = benchmark::ConsoleReporter::OO_None;
        if (isatty(STDOUT_FILENO)) opts |= benchmark::ConsoleReporter::OO_Color;
        if (tabular) opts |= benchmark::ConsoleReporter::OO_Tabular;
        bench::Keeping<benchmark::ConsoleReporter> r{benchmark::ConsoleReporter::OutputOptions(opts)};
        matched = benchmark::RunSpecifiedBenchmarks(&r);
        runs = r.kept;
        unjudged = r.unjudged;
    }
    benchmark::Shutdown();
    fflush(stdout);
    // JSON on standard output stays JSON: the verdict goes beside it.
    FILE *const out = json ? stderr : stdout;
    if (listing) return matched ? 0 : 1;
    if (matched == 0) {
        fprintf(out, "%s: no benchmark matched the filter\n", program);
        return 1;
    }
    return bench::judge(runs, unjudged, program, out) ? 1 : 0;
}
