#!/bin/bash
# Checks for the two scripts a new user runs first, over stand-ins for the
# programs they drive (first on PATH):
#   setup  scripts/setup with stand-ins for apt-get, dpkg-query, dpkg and
#          sudo: a package index that fails to download does not end it,
#          the install decides, and apt's own message shows when it fails;
#   build  scripts/build with stand-ins for cmake and ninja: a failed build
#          shows the compiler's error without the step lines, a long build
#          prints progress lines, a good one prints nothing;
#   test   scripts/test's ending, in a copy whose setup, build, board build
#          and fuzz scripts are stand-ins, over a stand-in ctest: one
#          summary of every stage, the closing "total: N passed, M failed"
#          over every entry, the status non-zero exactly when M is not 0,
#          and the armhf run leaving out the host-only entries;
#   sanitizer  (named alone, with the sanitizer tree's ub-stop) the same
#          copy, where a real program stopped by the undefined-behaviour
#          sanitizer in the background of one machine, and by the address
#          sanitizer in another's, fails the stage that passed every test,
#          each stop kept in a file of its own named by its sanitizer;
#   mutate scripts/mutate --dry-run: every line of scripts/mutants.txt
#          applies; in a copy, a bad line fails the check, which reads
#          files only and needs no build; a run refuses a line whose tests
#          name no entry, over stand-ins for ninja and ctest.
#
#   tests/scripts_test.sh [SECTION]      (every section but sanitizer by default)
#   tests/scripts_test.sh sanitizer UB_STOP

set -u

here=$(cd "$(dirname -- "${BASH_SOURCE[0]}")" && pwd -P)
root=$here/..
only=${1:-}
ub_stop=${2:-}
in_section() { [[ ($1 != sanitizer && -z $only) || $only == "$1" ]]; }
if in_section sanitizer && [[ ! -x $ub_stop ]]; then
    echo "scripts_test: sanitizer needs the sanitizer tree's ub-stop, not [$ub_stop]" >&2
    exit 2
fi

pass=0
fail=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/scripts_test.XXXXXX") || exit 1
trap 'rm -rf -- "$scratch"' EXIT

ok() { pass=$((pass + 1)); }
bad() {
    echo "FAIL: $*" >&2
    fail=$((fail + 1))
}
expect_eq() { # NAME EXPECTED ACTUAL
    if [[ $2 == "$3" ]]; then ok; else bad "$1: expected [$2], got [$3]"; fi
}
expect_has() { # NAME TEXT PART
    if [[ $2 == *"$3"* ]]; then ok; else bad "$1: [$3] not in [$2]"; fi
}
expect_lacks() { # NAME TEXT PART
    if [[ $2 != *"$3"* ]]; then ok; else bad "$1: [$3] in [$2]"; fi
}
# A stand-in program: stub NAME BODY (a bash script body).
stub() {
    printf '#!/bin/bash\n%s\n' "$2" >"$stubs/$1"
    chmod +x "$stubs/$1"
}

# --- scripts/setup --------------------------------------------------------------
if in_section setup; then
stubs=$scratch/setup-bin
mkdir -p "$stubs"
calls=$scratch/apt.calls
# Every package is installed but those named in $MISSING.
stub dpkg-query 'p=${!#}
for m in $MISSING; do [[ $p == "$m" ]] && { printf "deinstall ok config-files"; exit 0; }; done
printf "install ok installed"'
stub dpkg 'echo "dpkg $*" >>"$CALLS"
[[ $1 == --print-foreign-architectures ]] && exit 0
exit 0'
stub sudo 'exec "$@"'
# "update" fails the first $UPDATE_FAILS times as a mirror caught mid-sync
# does; "install" fails when $INSTALL_FAILS is set, with apt's message.
stub apt-get 'echo "apt-get $*" >>"$CALLS"
case $1 in
update)
    n=$(grep -c "^apt-get update" "$CALLS")
    if ((n <= UPDATE_FAILS)); then
        echo "E: Failed to fetch http://deb.example/dists/stable/main/binary-armhf/Packages.xz  File has unexpected size (31337 != 31338). Mirror sync in progress?" >&2
        exit 100
    fi ;;
install)
    if [[ -n $INSTALL_FAILS ]]; then
        echo "E: Unable to locate package ${!#}" >&2
        exit 100
    fi
    echo "Setting up ${!#} ..." ;;
esac
exit 0'
stub sleep 'echo "sleep $*" >>"$CALLS"'

setup() { # MISSING UPDATE_FAILS INSTALL_FAILS [ARGS]
    rm -f "$calls"
    touch "$calls"
    out=$(PATH=$stubs:$PATH CALLS=$calls MISSING=$1 UPDATE_FAILS=$2 INSTALL_FAILS=$3 \
        "$root/scripts/setup" "${@:4}" 2>"$scratch/setup.err")
    rc=$?
    err=$(cat "$scratch/setup.err")
    log=$(cat "$calls")
}

setup "jq" 99 ""
expect_eq "update failing every time: setup exits 0" 0 "$rc"
expect_eq "update tried three times, 5 s apart, then the install" "apt-get update -qq
sleep 5
apt-get update -qq
sleep 5
apt-get update -qq
apt-get install -y -qq jq" "$log"
expect_has "update failures said" "$err" "setup: apt-get update failed (try 1 of 3), trying again"
expect_has "update failures said" "$err" "setup: apt-get update failed 3 times; installing from the indexes it got"
expect_lacks "a good install prints nothing of apt's" "$out$err" "Setting up"

setup "jq" 1 ""
expect_eq "a second update that works ends the retries" "apt-get update -qq
sleep 5
apt-get update -qq
apt-get install -y -qq jq" "$log"
expect_eq "and setup exits 0" 0 "$rc"

setup "jq liblz4-dev" 99 "yes"
if ((rc != 0)); then ok; else bad "a failed install must fail setup"; fi
expect_has "apt's message is shown" "$err" "E: Unable to locate package jq"
expect_has "and what failed" "$err" "setup: apt-get install failed"
expect_has "both missing packages asked for" "$log" "apt-get install -y -qq liblz4-dev jq"

setup "" 99 "yes"
expect_eq "nothing missing: nothing asked of apt" "0:" "$rc:$log"

setup "" 0 "" board
expect_eq "board: armhf added, the indexes refreshed, nothing to install" "0:dpkg --print-foreign-architectures
dpkg --add-architecture armhf
apt-get update -qq" "$rc:$log"
fi

# --- scripts/build --------------------------------------------------------------
if in_section build; then
stubs=$scratch/build-bin
mkdir -p "$stubs"
stub cmake 'echo "-- Configuring done"; [[ -z $CMAKE_FAILS ]] || { echo "CMake Error at CMakeLists.txt:3: bad" >&2; exit 1; }'
# $STEPS step lines in the status format asked for, $PAUSE s apart; with
# $BROKEN the last step is a compile error.
stub ninja 'echo "ninja: Entering directory \`$2'"'"'"
[[ -z ${ARGS_LOG:-} ]] || echo "$*" >"$ARGS_LOG"
for ((i = 1; i <= STEPS; i++)); do
    s=${NINJA_STATUS//%f/$i}
    echo "${s//%t/$STEPS}Building CXX object src/f$i.cpp.o"
    [[ $PAUSE == 0 ]] || sleep "$PAUSE"
done
if [[ -n $BROKEN ]]; then
    echo "FAILED: src/f$STEPS.cpp.o"
    echo "g++ -c src/f$STEPS.cpp"
    echo "src/f$STEPS.cpp:7:3: error: expected ; before } token"
    echo "ninja: build stopped: subcommand failed."
    exit 1
fi'
build() { # STEPS PAUSE BROKEN CMAKE_FAILS
    out=$(PATH=$stubs:$PATH STEPS=$1 PAUSE=$2 BROKEN=$3 CMAKE_FAILS=$4 KMX_BUILD_PROGRESS_S=1 \
        "$root/scripts/build" "$scratch/tree" 2>&1)
    rc=$?
}

build 3000 0 "" ""
expect_eq "a good build prints nothing" "0:" "$rc:$out"

build 5 0 yes ""
expect_eq "a failed build fails" 1 "$rc"
expect_has "the compiler's error is shown" "$out" "src/f5.cpp:7:3: error: expected ; before } token"
expect_has "with the failing step" "$out" "FAILED: src/f5.cpp.o"
expect_has "and what failed" "$out" "build: building $scratch/tree failed"
expect_lacks "without the step lines" "$out" "Building CXX object"

# 8 steps of 0.3 s: a progress line each second (a loaded host stretches the
# steps), counting the steps done.
build 8 0.3 "" ""
expect_eq "a slow build succeeds" 0 "$rc"
lines=$(grep -c "^build: $scratch/tree: [0-9]/8 steps done after [0-9] s$" <<<"$out")
if ((lines >= 1 && lines <= 6)); then ok; else bad "progress lines: [$out]"; fi
expect_eq "and prints nothing else" "" "$(grep -v "^build: $scratch/tree: " <<<"$out")"

# KMX_JOBS limits the compile jobs; without it ninja takes every core.
KMX_JOBS=3 ARGS_LOG=$scratch/ninja.args build 1 0 "" ""
expect_eq "KMX_JOBS=3 is ninja's -j 3" "0:-C $scratch/tree -j 3" "$rc:$(cat "$scratch/ninja.args")"
ARGS_LOG=$scratch/ninja.args build 1 0 "" ""
expect_eq "no KMX_JOBS: no -j" "0:-C $scratch/tree" "$rc:$(cat "$scratch/ninja.args")"
KMX_JOBS=0 build 1 0 "" ""
expect_eq "a KMX_JOBS that is no positive number is refused" "1:build: KMX_JOBS must be a positive number, not '0'" \
    "$rc:$out"

build 0 0 "" yes
expect_eq "a failed configure fails" 1 "$rc"
expect_has "cmake's error is shown" "$out" "CMake Error at CMakeLists.txt:3: bad"
expect_has "and what failed" "$out" "build: configuring $scratch/tree failed"
fi

# --- scripts/test's ending ----------------------------------------------------
if in_section test || in_section sanitizer; then
stubs=$scratch/test-bin
tree=$scratch/test-root
mkdir -p "$stubs" "$tree/scripts"
cp "$root/scripts/test" "$tree/scripts/test"
for d in build-asan build build-tsan build-armhf; do mkdir -p "$tree/$d"; done
printf '#!/bin/bash\nexit 0\n' >"$tree/scripts/setup"
printf '#!/bin/bash\necho "build $*" >>"$BUILDS"\n[[ " $BUILD_FAILS " != *" $(basename "$1") "* ]]\n' >"$tree/scripts/build"
printf '#!/bin/bash\nexit ${BOARD_FAILS:-0}\n' >"$tree/scripts/build-board"
printf '#!/bin/bash\n[[ $FUZZ_FAILS != build ]] || { echo "fuzz build failed" >&2; exit 1; }\necho "fuzz a_fuzz: ok (Done 12000 runs)"\n[[ -z $FUZZ_FAILS ]] || { echo "fuzz b_fuzz: FAILED (status 1), log x" >&2; exit 1; }\necho "fuzz b_fuzz: ok (Done 15000 runs)"\n' >"$tree/scripts/fuzz"
chmod +x "$tree"/scripts/*
# ctest's closing line per build folder; $FAILING of them fails 2 entries
# (a.one and b.two), $NOT_FOUND finds none, $ODD fails with a closing line
# that counts no failure; a run of one entry (-R ^NAME$) passes when $PASSES
# names it. In $REPORTS the run leaves a sanitizer report at its log_path:
# with $UB_STOP, that program's own, started in the background of two
# machines (stopped by each sanitizer once, both with the same pid) with
# its output thrown away, its status unread; else a stand-in's.
stub ctest 'd=$(basename "$PWD")
echo "ctest $d $* UBSAN=${UBSAN_OPTIONS:-}" >>"$CALLS"
if [[ $d == "$REPORTS" && -n $UB_STOP ]]; then
    for how in "" address; do
        "$MACHINE" --bin "$(dirname "$UB_STOP")" -- bash -c "\"\$0\" $how >/dev/null 2>&1 & wait" "$UB_STOP"
    done
elif [[ $d == "$REPORTS" ]]; then
    p=$(sed -n "s/.*log_path=\([^ ]*\).*/\1/p" <<<"${ASAN_OPTIONS:-} ${TSAN_OPTIONS:-}" | head -1)
    echo "WARNING: ThreadSanitizer: data race (pid=123)" >"$p.123"
fi
r=; while [[ $# -gt 0 ]]; do [[ $1 == -R ]] && r=$2; shift; done
if [[ $r =~ ^\^([a-z.\\]*)\$$ ]]; then
    e=${BASH_REMATCH[1]//\\/}
    [[ " $PASSES " == *" $e "* ]] && echo "100% tests passed, 0 tests failed out of 1" && exit 0
    echo "0% tests passed, 1 tests failed out of 1"; exit 8
fi
n=$(case $d in build-asan) echo 500;; build) echo 510;; build-tsan) echo 40;; build-armhf) echo 300;; esac)
if [[ $d == "$ODD" ]]; then echo "100% tests passed, 0 tests failed out of $n"; exit 8; fi
if [[ $d == "$NOT_FOUND" ]]; then echo "No tests were found!!!"; exit 8; fi
if [[ $d == "$FAILING" ]]; then
    printf "99%% tests passed, 2 tests failed out of %s\n\nThe following tests FAILED:\n" "$n"
    printf "\t 12 - a.one (Failed)\n\t 40 - b.two (Timeout)\nErrors while running CTest\n"
    exit 8
fi
echo "100% tests passed, 0 tests failed out of $n"'
run_test() { # FAILING NOT_FOUND BUILD_FAILS BOARD_FAILS FUZZ_FAILS [ODD]
    rm -f "$scratch/ctest.calls" "$scratch/build.calls"
    rm -rf "$tree"/build*/*-reports
    out=$(PATH=$stubs:$PATH CALLS=$scratch/ctest.calls BUILDS=$scratch/build.calls MACHINE=$root/sim/machine \
        UB_STOP=${UB_STOP-} FAILING=$1 NOT_FOUND=$2 BUILD_FAILS=$3 BOARD_FAILS=$4 \
        FUZZ_FAILS=$5 ODD=${6-} "$tree/scripts/test" 2>&1)
    rc=$?
    # The times vary: checked for their form, then left out.
    times=$(sed -n '/^== summary ==$/,$p' <<<"$out" | grep -c ' [0-9]*m[0-9]*s$')
    summary=$(sed -n '/^== summary ==$/,$p' <<<"$out" | sed 's/ *\([0-9]*m[0-9]*s\|time\)$//')
}
fi

if in_section test; then

run_test "" "" "" "" ""
expect_eq "all green: exit 0" 0 "$rc"
expect_eq "one summary of every stage, the closing line over every entry" "== summary ==
stage                                         passed  failed
sanitizer tests (address, undefined)             500       0
normal tests                                     510       0
thread sanitizer tests                            40       0
board build (armhf) and its install check          1       0
armhf unit tests (qemu-arm)                      300       0
fuzz targets                                       2       0
all stages                                      1353       0
flaky (passed only on a second run): 0
total: 1353 passed, 0 failed" "$summary"
expect_eq "each stage and the whole with its time" 7 "$times"
expect_has "the armhf run leaves the host-only entries out" "$(grep '^ctest build-armhf' "$scratch/ctest.calls")" \
    " -LE host_only"
expect_lacks "the host builds run every entry" "$(grep -v '^ctest build-armhf' "$scratch/ctest.calls")" "host_only"
expect_lacks "no entry runs twice" "$(cat "$scratch/ctest.calls")" "repeat"
expect_has "the sanitizer tree is built with clang" "$(grep "^build $tree/build-asan " "$scratch/build.calls")" \
    " -DKMX_SANITIZE=ON -DKMX_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++"

PASSES="a.one b.two" run_test build "" "" "" ""
expect_eq "failing tests: exit 1" 1 "$rc"
expect_has "counted in their stage" "$summary" "normal tests                                     508       2"
expect_eq "and in the closing line" "total: 1351 passed, 2 failed" "$(tail -1 <<<"$out")"
expect_eq "none runs a second time" 4 "$(grep -c . "$scratch/ctest.calls")"

# A case named for a second run: b.two fails, then passes alone, with the
# options of its stage but those that choose entries.
printf '%s\n' "    \$'^b\\\\.t.*\\tits reason'" >"$scratch/second_run.line"
sed -i "/^second_run=(\$/r $scratch/second_run.line" "$tree/scripts/test"
PASSES="a.one b.two" run_test build-tsan "" "" "" ""
expect_eq "a.one fails on: exit 1" 1 "$rc"
expect_has "a.one is not named: it fails" "$summary" "thread sanitizer tests                            39       1"
expect_eq "b.two runs alone once more" 1 "$(grep -c ' -R ^b\\.two\$' "$scratch/ctest.calls")"
expect_lacks "without the stage's choice of entries" "$(grep ' -R ^b' "$scratch/ctest.calls")" "chain_detect"
expect_has "and is listed as flaky with its reason" "$summary" "flaky (passed only on a second run): 1
  b.two: its reason
total: 1352 passed, 1 failed"
PASSES="" run_test build-tsan "" "" "" ""
expect_has "a second run that fails too counts as failed" "$summary" "thread sanitizer tests                            38       2"
expect_has "and nothing as flaky" "$summary" "flaky (passed only on a second run): 0"
cp "$root/scripts/test" "$tree/scripts/test"

# A sanitizer report that no test's status carried fails its stage (the
# sanitizer section does it with a real program).
REPORTS=build-tsan run_test "" "" "" "" ""
expect_eq "a thread sanitizer report: exit 1" 1 "$rc"
expect_has "one failed entry more" "$summary" "thread sanitizer reports                           0       1"
expect_has "and the report shown" "$out" "WARNING: ThreadSanitizer: data race (pid=123)"
expect_has "and kept, named by its sanitizer" "$out" "== thread: $tree/build-tsan/tsan-reports/thread.123 =="
expect_has "undefined behaviour halts and is reported to a file" "$(grep '^ctest build-asan' "$scratch/ctest.calls")" \
    "UBSAN=halt_on_error=1 print_stacktrace=1 log_path=$tree/build-asan/sanitizer-reports/report log_exe_name=1"

run_test "" build-tsan "build-armhf" 1 yes
expect_eq "no tests found, a failed build, board build and fuzz target: exit 1" 1 "$rc"
expect_has "no tests found is one failed entry" "$summary" "thread sanitizer tests                             0       1"
expect_has "a failed build is one" "$summary" "armhf build                                        0       1"
expect_has "a failed board build is one" "$summary" "board build (armhf) and its install check          0       1"
expect_has "a failed fuzz target is one" "$summary" "fuzz targets                                       1       1"
expect_eq "the closing line counts them all" "total: 1011 passed, 4 failed" "$(tail -1 <<<"$out")"

run_test "" "" "" "" "" build-asan
expect_eq "ctest failing with no failure counted: exit 1" 1 "$rc"
expect_has "and one failed entry" "$summary" "sanitizer tests (address, undefined)             500       1"

run_test "" "" "" "" build
expect_eq "the fuzz build failing: exit 1" 1 "$rc"
expect_has "one failed entry" "$summary" "fuzz targets                                       0       1"
fi

# --- a real stop in scripts/test's sanitizer stage ----------------------------
if in_section sanitizer; then
UB_STOP=$ub_stop REPORTS=build-asan run_test "" "" "" "" ""
expect_has "every test passed" "$summary" "sanitizer tests (address, undefined)             500       0"
expect_has "the stop reached log_path (not so with g++'s sanitizer): one failed entry more" "$summary" \
    "sanitizer reports (address, undefined)             0       1"
expect_eq "the closing line counts it" "total: 1353 passed, 1 failed" "$(tail -1 <<<"$out")"
expect_eq "and the status says it" 1 "$rc"
expect_has "the report shown" "$out" \
    "ub_stop.cpp:23:7: runtime error: signed integer overflow: 2147483647 + 1 cannot be represented in type 'int'"
expect_has "and the address sanitizer's" "$out" "ERROR: AddressSanitizer: heap-buffer-overflow"
# Each stop in a file of its own, named by its sanitizer, the machine and
# the program: the same pid in both machines overwrote nothing.
kept=$(cd "$tree/build-asan/sanitizer-reports" && ls)
expect_eq "two reports kept" 2 "$(grep -c . <<<"$kept")"
expect_eq "one named undefined" 1 "$(grep -c '^undefined\.machine\.[0-9]*-[0-9]*\.ub-stop\.[0-9]*$' <<<"$kept")"
expect_eq "one named address" 1 "$(grep -c '^address\.machine\.[0-9]*-[0-9]*\.ub-stop\.[0-9]*$' <<<"$kept")"
expect_has "the undefined one holds the overflow" "$(cat "$tree"/build-asan/sanitizer-reports/undefined.*)" \
    "runtime error: signed integer overflow"
expect_has "the address one the write past the block" "$(cat "$tree"/build-asan/sanitizer-reports/address.*)" \
    "heap-buffer-overflow"
fi

# --- scripts/mutate's check of its list --------------------------------------
if in_section mutate; then
out=$("$root/scripts/mutate" --dry-run 2>&1)
expect_eq "every line of scripts/mutants.txt applies" 0 "$?"
expect_has "and says how many" "$out" " mutants apply"

# A copy of the script over a tree of one file, without a build folder.
tree=$scratch/mutate-root
stubs=$scratch/mutate-bin
mkdir -p "$tree/scripts" "$tree/src" "$stubs"
cp "$root/scripts/mutate" "$tree/scripts/mutate"
printf 'int a = 1;\nint b = 2;\nint c = 2;\n' >"$tree/src/f.c"
list=$scratch/mutate.list
mutate() { # LINE... (the list's lines, fields split by |)
    tr '|' '\t' <<<"$(printf '%s\n' "$@")" >"$list"
    out=$(PATH=$stubs:$PATH CALLS=$scratch/mutate.calls "$tree/scripts/mutate" --list "$list" ${DRY-"--dry-run"} 2>&1)
    rc=$?
}
mutate "src/f.c|int a = 1;|int a = 0;|x" "src/f.c|int b = 2;|int b = 3;|x"
expect_eq "good lines: exit 0" "0:mutate: 2 mutants apply" "$rc:$out"
mutate "src/f.c|int a = 1;|int a = 0;|x" "src/f.c|int a = 7;|int a = 0;|x"
expect_eq "a stale line: exit 1" 1 "$rc"
expect_has "named with its line" "$out" "line 2: pattern found 0 times in src/f.c: int a = 7;"
mutate "src/f.c| = 2;| = 3;|x"
expect_has "a pattern found twice is refused" "$rc:$out" "1:line 1: pattern found 2 times in src/f.c:  = 2;"
mutate "src/f.c|int a = 1;|int a = 0;|x" "src/f.c|int a = 1;|int a = 0;|y"
expect_has "the same mutant twice is refused" "$rc:$out" "1:line 2: the mutant of line 1 again"
mutate "src/g.c|int a = 1;|int a = 0;|x"
expect_has "a missing file is refused" "$rc:$out" "1:line 1: no file src/g.c"

# A run holding f.c mutated (its journal names the original): the check
# judges the original and changes nothing.
printf 'src/f.c\0int a = 1;\nint b = 2;\nint c = 2;\n' >"$tree/.mutate-journal"
printf 'int a = 0;\nint b = 2;\nint c = 2;\n' >"$tree/src/f.c"
sums=$(cd "$tree" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
mutate "src/f.c|int a = 1;|int a = 0;|x"
expect_eq "a file held by a run is judged by its original" "0:mutate: 1 mutants apply" "$rc:$out"
expect_eq "and the check writes nothing" "$sums" "$(cd "$tree" && find . -type f -print0 | sort -z | xargs -0 sha256sum)"
rm "$tree/.mutate-journal"
printf 'int a = 1;\nint b = 2;\nint c = 2;\n' >"$tree/src/f.c"

# A run: ninja builds, ctest lists two entries and fails every run.
stub ninja 'exit 0'
stub ctest 'echo "ctest $*" >>"$CALLS"
[[ " $* " == *" -N "* ]] || exit 8
printf "Test project x\n  Test   #1: a_test\n  Test   #2: b_e2e_test.Case\n\nTotal Tests: 2\n"'
rm -f "$scratch/mutate.calls"
DRY="" mutate "src/f.c|int a = 1;|int a = 0;|a_test" "src/f.c|int b = 2;|int b = 3;|b_e2e_test\.Other"
expect_eq "a run refuses a line whose tests name no entry" 1 "$rc"
expect_has "named with its line" "$out" "line 2: tests b_e2e_test\.Other name no test"
expect_eq "and runs no test" "ctest --test-dir $tree/build -N" "$(cat "$scratch/mutate.calls")"
DRY="" mutate "src/f.c|int a = 1;|int a = 0;|a_test" "src/f.c|int b = 2;|int b = 3;|e2e_test\.Case$"
expect_has "tests that name entries run; a failing test kills" "$rc:$out" "0:[1/2] line 1 src/f.c"
expect_has "every mutant" "$out" "score: 2/2 killed"
expect_eq "the file put back" "$(printf 'int a = 1;\nint b = 2;\nint c = 2;')" "$(cat "$tree/src/f.c")"
fi

echo "scripts_test: $pass passed, $fail failed"
((fail == 0))
