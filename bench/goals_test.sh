#!/bin/bash
# The benchmark programs' verdict (goals.cpp) over goals_probe, and one real
# benchmark that refuses its clock:
#   goals     a goal met at its limit passes; one missed by a hair, a missing
#             figure, a failed benchmark and a filter that matches nothing
#             each make the program exit 1 and say which, as does a run
#             whose repetitions are reported only as aggregates;
#   clock     kmx_bench_detect's parallel/serial ratio at the machine's time
#             scale of 200 refuses the clock and exits 1.
#
#   bench/goals_test.sh BIN_DIR SECTION
set -u
here=$(cd "$(dirname -- "${BASH_SOURCE[0]}")" && pwd -P)
bin=$1
section=$2
pass=0
fail=0
ok() { pass=$((pass + 1)); }
bad() {
    echo "FAIL: $*" >&2
    fail=$((fail + 1))
}
expect_eq() { if [[ $2 == "$3" ]]; then ok; else bad "$1: expected [$2], got [$3]"; fi; }
expect_has() { if [[ $2 == *"$3"* ]]; then ok; else bad "$1: [$3] not in [$2]"; fi; }
expect_lacks() { if [[ $2 != *"$3"* ]]; then ok; else bad "$1: [$3] in [$2]"; fi; }

probe() { # FILTER [ARGS]: $out (stdout), $err, $rc
    out=$("$bin/kmx_bench_goals_probe" --benchmark_filter="$1" "${@:2}" 2>/tmp/goals_test.$$)
    rc=$?
    err=$(cat /tmp/goals_test.$$)
    rm -f /tmp/goals_test.$$
}

if [[ $section == goals ]]; then
    probe 'ProbeAtTheLimit|ProbeJustUnder'
    expect_eq "goals met at and under their limits: exit 0" 0 "$rc"
    expect_has "at most 1, at 1" "$out" "goal BM_ProbeAtTheLimit/iterations:1 ratio 1 at most 1: met"
    expect_has "under 0.5, at 0.499" "$out" "goal BM_ProbeJustUnder/iterations:1 pct 0.499 under 0.5: met"
    expect_lacks "no failure line" "$out" "missed"

    probe 'OverTheLimit'
    expect_eq "1.001 against at most 1: exit 1" 1 "$rc"
    expect_has "says which" "$out" "goal BM_ProbeOverTheLimit/iterations:1 ratio 1.001 at most 1: MISSED"
    expect_has "and the count" "$out" "kmx_bench_goals_probe: 0 benchmarks failed, 1 goal missed"

    probe 'UnderAtTheLimit'
    expect_eq "0.5 against under 0.5: exit 1" 1 "$rc"
    expect_has "says which" "$out" "goal BM_ProbeUnderAtTheLimit/iterations:1 pct 0.5 under 0.5: MISSED"

    probe 'WithoutItsFigure'
    expect_eq "a goal's figure not reported: exit 1" 1 "$rc"
    expect_has "says which" "$out" "goal BM_ProbeWithoutItsFigure/iterations:1 ratio missing at most 1: MISSED"

    probe 'Fails|ProbeAtTheLimit'
    expect_eq "a failed benchmark beside a met goal: exit 1" 1 "$rc"
    expect_has "says which and why" "$out" "failed BM_ProbeFails/iterations:1: what it timed failed"
    expect_has "and the count" "$out" "kmx_bench_goals_probe: 1 benchmark failed, 0 goals missed"

    probe 'NoSuchBenchmark'
    expect_eq "a filter that matches nothing: exit 1" 1 "$rc"
    expect_has "says so" "$out" "kmx_bench_goals_probe: no benchmark matched the filter"

    # Repetitions shown only as their aggregates: no run can be judged.
    probe 'OverTheLimit' --benchmark_repetitions=2 --benchmark_report_aggregates_only=true
    expect_eq "a missed goal reported as aggregates only: exit 1" 1 "$rc"
    expect_has "says which and why" "$out" "failed BM_ProbeOverTheLimit/iterations:1: only the aggregates of its runs \
were reported; each run is judged, run it without --benchmark_report_aggregates_only and \
--benchmark_display_aggregates_only"
    probe 'ProbeAtTheLimit' --benchmark_repetitions=2 --benchmark_display_aggregates_only=true
    expect_eq "a met goal shown as aggregates only: exit 1" 1 "$rc"
    expect_has "and the count" "$out" "kmx_bench_goals_probe: 1 benchmark failed, 0 goals missed"

    probe 'OverTheLimit' --benchmark_format=json
    expect_eq "JSON: the same verdict" 1 "$rc"
    expect_eq "JSON: standard output stays JSON" "BM_ProbeOverTheLimit/iterations:1" \
        "$(jq -r '.benchmarks[0].name' <<<"$out" 2>&1)"
    expect_has "JSON: the verdict on standard error" "$err" "ratio 1.001 at most 1: MISSED"
elif [[ $section == clock ]]; then
    out=$("$here/../sim/machine" --bin "$bin" --desc "$here/detect_machine.json" -- \
        "$bin/kmx_bench_detect" --benchmark_filter=ParallelOverSerial 2>&1)
    rc=$?
    expect_eq "the ratio at time scale 200: exit 1" 1 "$rc"
    expect_has "says why" "$out" \
        "failed BM_DetectParallelOverSerial/iterations:2/real_time: run at time scale 20 or lower (KMX_TIME_SCALE=20)"
else
    bad "no section $section"
fi
echo "goals_test $section: $pass passed, $fail failed"
((fail == 0))
