#!/bin/bash
# Checks for the two scripts a new user runs first, over stand-ins for the
# programs they drive (first on PATH):
#   setup  scripts/setup with stand-ins for apt-get, dpkg-query, dpkg and
#          sudo: a package index that fails to download does not end it,
#          the install decides, and apt's own message shows when it fails;
#   build  scripts/build with stand-ins for cmake and ninja: a failed build
#          shows the compiler's error without the step lines, a long build
#          prints progress lines, a good one prints nothing.
#
#   tests/scripts_test.sh [SECTION]      (every section by default)

set -u

here=$(cd "$(dirname -- "${BASH_SOURCE[0]}")" && pwd -P)
root=$here/..
only=${1:-}
in_section() { [[ -z $only || $only == "$1" ]]; }

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

build 0 0 "" yes
expect_eq "a failed configure fails" 1 "$rc"
expect_has "cmake's error is shown" "$out" "CMake Error at CMakeLists.txt:3: bad"
expect_has "and what failed" "$out" "build: configuring $scratch/tree failed"
fi

echo "scripts_test: $pass passed, $fail failed"
((fail == 0))
