#!/bin/bash
# Checks for sim/machine, the emulated-machine launcher, and its stubs.
#
#   tests/machine_test.sh [BUILD_DIR [SECTION]]
#
# BUILD_DIR (or $KMX_BUILD_DIR) is passed to the launcher as --bin. SECTION
# (status, files, network, environment, stubs, keep, paths, parallel) runs
# that section alone; every section runs by default.

set -u

here=$(cd "$(dirname -- "${BASH_SOURCE[0]}")" && pwd -P)
machine=$here/../sim/machine
bin=${1:-${KMX_BUILD_DIR:-$here/../build/bin}}
only=${2:-}
in_section() { [[ -z $only || $only == "$1" ]]; }
M=("$machine" --bin "$bin")

pass=0
fail=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/machine_test.XXXXXX") || exit 1
trap 'rm -rf -- "$scratch"' EXIT

ok() {
    pass=$((pass + 1))
}
bad() {
    echo "FAIL: $*" >&2
    fail=$((fail + 1))
}
expect_eq() { # NAME EXPECTED ACTUAL
    if [[ $2 == "$3" ]]; then
        ok
    else
        bad "$1: expected [$2], got [$3]"
    fi
}
expect_status() { # NAME EXPECTED CMD...
    local name=$1 want=$2
    shift 2
    "$@" >/dev/null 2>&1
    expect_eq "$name" "$want" "$?"
}
# Run a shell snippet in a fresh machine; stdout in $out, stderr in $err, status in $rc.
run_in() {
    out=$("${M[@]}" -- sh -c "$1" 2>"$scratch/err")
    rc=$?
    err=$(cat "$scratch/err")
}

# --- exit status and output ---------------------------------------------------
if in_section status; then
expect_status "true exits 0" 0 "${M[@]}" true
expect_status "exit 7 is passed through" 7 "${M[@]}" sh -c 'exit 7'
expect_status "false exits 1" 1 "${M[@]}" -- false
expect_status "missing command exits 127" 127 "${M[@]}" -- /nonexistent/cmd
expect_status "unknown option is rejected" 125 "$machine" --no-such-option true
expect_status "missing desc file is rejected" 125 "${M[@]}" --desc "$scratch/none.json" true

run_in 'echo hello; echo oops >&2'
expect_eq "stdout is only the command's" "hello" "$out"
expect_eq "stderr is only the command's" "oops" "$err"

# A process left behind must not outlive the machine: it holds our stdout
# pipe, so this command substitution only returns once it has been killed.
out=$("${M[@]}" -- sh -c 'sleep 100000 & echo started')
expect_eq "left-over processes are ended" "started" "$out"

run_in 'tr "\0" " " </proc/1/cmdline'
if [[ $out == *--kmx-sim-inside* ]]; then ok; else bad "PID 1 is not the launcher: $out"; fi

fi

# --- file system ----------------------------------------------------------------
if in_section files; then
marker=kmx-machine-test.$$.$RANDOM
: >"/tmp/$marker.host"
run_in "test -e /tmp/$marker.host && echo visible; echo x >/tmp/$marker.inside && cat /tmp/$marker.inside"
expect_eq "host /tmp is hidden, machine /tmp is writable" "x" "$out"
if [[ -e /tmp/$marker.inside ]]; then
    bad "file written in machine /tmp is visible on the host"
    rm -f "/tmp/$marker.inside"
else
    ok
fi
rm -f "/tmp/$marker.host"

# /tmp is empty apart from the way to dirs kept visible (repo or build dir
# may themselves live below /tmp).
run_in 'for e in /tmp/* /tmp/.[!.]*; do [ -e "$e" ] && echo "$e"; done; true'
extra=""
for e in $out; do
    case "$here/" in "$e"/*) continue ;; esac
    case "$(realpath -m -- "$bin")/" in "$e"/*) continue ;; esac
    case "$(pwd -P)/" in "$e"/*) continue ;; esac
    extra="$extra $e"
done
expect_eq "machine /tmp starts empty" "" "$extra"

for d in /config /miners /events /opt /run; do
    run_in "touch $d/.probe && ls -A $d | grep -v -e '^\\.probe\$' -e '^sim\$' -e '^\\.overlay\$' -e '^mount\$' | head -1"
    expect_eq "$d is a fresh writable dir" "0:" "$rc:$out"
done

run_in "echo data >/etc/$marker && cat /etc/$marker"
expect_eq "/etc is writable inside" "data" "$out"
if [[ -e /etc/$marker ]]; then
    bad "write to machine /etc reached the host"
    rm -f "/etc/$marker"
else
    ok
fi

run_in 'test -c /dev/null && test -c /dev/zero && test -c /dev/urandom && echo ok'
expect_eq "device nodes" "ok" "$out"

fi

# --- network and /sys/class -----------------------------------------------------------
if in_section network; then
run_in 'cat /sys/class/net/eth0/address'
expect_eq "eth0 MAC in /sys/class" "02:00:c0:00:02:0a" "$out"
run_in 'cat /sys/class/misc/dna/dna; test -d /sys/class/gpio && echo gpio'
expect_eq "dna and gpio in /sys/class" "0x0123456789abcdef
gpio" "$out"
run_in 'ip -4 addr show eth0'
if [[ $out == *"inet 192.0.2.10/24"* ]]; then ok; else bad "eth0 address: $out"; fi
run_in 'ip link show eth0'
if [[ $out == *"02:00:c0:00:02:0a"* ]]; then ok; else bad "eth0 link MAC: $out"; fi
run_in 'ip -4 addr show | grep -c inet'
expect_eq "only lo and eth0 have addresses" "2" "$out"

fi

# --- environment ------------------------------------------------------------------
if in_section environment; then
run_in 'echo "$KMX_SIM_DIR $KMX_MACHINE $KMX_TIME_SCALE"; cat "$KMX_MACHINE"'
expect_eq "environment defaults" "/run/sim /run/sim/machine.json 200
{}" "$out"
# Without --bin and KMX_BUILD_DIR the programs come from where the build
# puts them.
out=$(env -u KMX_BUILD_DIR "$machine" -- sh -c 'echo $KMX_BUILD_DIR')
expect_eq "programs from <repo>/build/bin by default" "$(realpath -m -- "$here/../build/bin")" "$out"
out=$(KMX_TIME_SCALE=7 "${M[@]}" -- sh -c 'echo $KMX_TIME_SCALE')
expect_eq "KMX_TIME_SCALE is kept when set" "7" "$out"

printf '{"uboot": {"model": "test-board"}}\n' >"$scratch/desc.json"
out=$("${M[@]}" --desc "$scratch/desc.json" -- cat /run/sim/machine.json)
expect_eq "desc copied to /run/sim/machine.json" '{"uboot": {"model": "test-board"}}' "$out"

if command -v jq >/dev/null 2>&1; then
    printf '{"files": {"/etc/hwrevision": "board 1.0\\n", "/config/a/b.conf": "k=v"}}\n' \
        >"$scratch/files.json"
    out=$("${M[@]}" --desc "$scratch/files.json" -- sh -c 'cat /etc/hwrevision /config/a/b.conf')
    expect_eq "desc files are written" "board 1.0
k=v" "$out"
    printf '{"files": {"/var/lib/kmx-should-not-exist": "x"}}\n' >"$scratch/bad.json"
    expect_status "desc file outside the machine is refused" 125 \
        "${M[@]}" --desc "$scratch/bad.json" true
    if [[ -e /var/lib/kmx-should-not-exist ]]; then bad "desc wrote to the host"; else ok; fi
fi

fi

# --- stubs -----------------------------------------------------------------------
if in_section stubs; then
run_in 'fw_setenv standby 0; fw_setenv msg hello  big   world; fw_printenv standby msg; fw_printenv -n msg'
expect_eq "fw_setenv / fw_printenv round trip" "standby=0
msg=hello big world
hello big world" "$out"

run_in 'fw_setenv a 1; fw_setenv b 2; fw_setenv a 3; fw_printenv'
expect_eq "fw_setenv replaces in place of duplicates" "b=2
a=3" "$out"

run_in 'fw_setenv a 1; fw_setenv a; fw_printenv a'
expect_eq "fw_setenv without value deletes" "1:" "$rc:$out"
expect_eq "missing variable message" '## Error: "a" not defined' "$err"

run_in 'fw_setenv ab 1; fw_printenv a'
expect_eq "fw_printenv does not match a prefix" "1:" "$rc:$out"

run_in 'fw_setenv standby 0; systemctl restart zel-monitor; sync; cat /run/sim/calls.log'
expect_eq "calls are recorded" "fw_setenv standby 0
systemctl restart zel-monitor
sync" "$out"

run_in 'systemctl is-active foo'
expect_eq "systemctl is-active" "0:active" "$rc:$out"

run_in 'test -e /run/sim/rebooted && echo early; reboot; test -e /run/sim/rebooted && echo rebooted; readlink -f "$(command -v reboot)"'
expect_eq "reboot stub" "rebooted
/usr/bin/reboot" "$out"

run_in 'flagutils read; flagutils set; flagutils read; flagutils clear; flagutils read'
expect_eq "flagutils" "0
1
0" "$out"

run_in 'for c in fw_printenv fw_setenv systemctl sync flagutils filemend.stub; do p=$(command -v $c) && readlink -f "$p"; done; true'
expect_eq "stubs are installed in /usr/bin" "/usr/bin/fw_printenv
/usr/bin/fw_setenv
/usr/bin/systemctl
/usr/bin/sync
/usr/bin/flagutils" "$out"

# The device tool by name: a board pulled mid-run drops its plug line.
out=$("${M[@]}" --desc "$here/machines/boardcheck_one_board.json" -- sh -c \
    'readlink -f "$(command -v kmx-sim)"; kmx-sim peek 0x43C00028; kmx-sim plug 1 0 && kmx-sim peek 0x43C00028' 2>"$scratch/err")
expect_eq "kmx-sim is on PATH and acts on the machine" "/usr/bin/kmx-sim
0x000100fd
0x000100ff" "$out"

fi

# --- keep dir ----------------------------------------------------------------------
if in_section keep; then
"${M[@]}" --keep "$scratch/keep" -- sh -c 'echo t >/tmp/kept; fw_setenv k v' >/dev/null 2>&1
expect_eq "--keep copies /tmp" "t" "$(cat "$scratch/keep/tmp/kept" 2>/dev/null)"
expect_eq "--keep copies /run/sim" "k=v" "$(cat "$scratch/keep/sim/uboot.env" 2>/dev/null)"
# A second run into the same folder: only its own files, none of the first's.
"${M[@]}" --keep "$scratch/keep" -- sh -c 'echo u >/tmp/second' >/dev/null 2>&1
expect_eq "a second --keep run holds its own /tmp" "u" "$(cat "$scratch/keep/tmp/second" 2>/dev/null)"
expect_eq "a second --keep run drops the first's /tmp" "absent" \
    "$([[ -e $scratch/keep/tmp/kept ]] && echo present || echo absent)"
expect_eq "a second --keep run drops the first's /run/sim" "" "$(cat "$scratch/keep/sim/uboot.env" 2>/dev/null)"
# A run that cannot start leaves no earlier run's files behind either.
"${M[@]}" --keep "$scratch/keep" -- /nonexistent/cmd >/dev/null 2>&1
expect_eq "a failed --keep run leaves no earlier /tmp" "absent" \
    "$([[ -e $scratch/keep/tmp/second ]] && echo present || echo absent)"
# sim/ or tmp/ that no run kept are not removed: the machine is refused.
mkdir -p "$scratch/mine/tmp" && echo x >"$scratch/mine/tmp/own"
expect_status "a keep dir with a foreign tmp/ is refused" 125 "${M[@]}" --keep "$scratch/mine" true
expect_eq "a foreign tmp/ stays" "x" "$(cat "$scratch/mine/tmp/own" 2>/dev/null)"

fi

# --- cwd and paths below masked dirs ------------------------------------------------
if in_section paths; then
mkdir -p "$scratch/work"
printf '#!/bin/sh\necho script "$1"\n' >"$scratch/work/s.sh"
chmod +x "$scratch/work/s.sh"
out=$(cd "$scratch/work" && "${M[@]}" -- sh -c 'pwd -P; ./s.sh arg')
expect_eq "cwd and its files stay visible" "$(cd "$scratch/work" && pwd -P)
script arg" "$out"
out=$("${M[@]}" -- "$scratch/work/s.sh" abs)
expect_eq "command given by path stays visible" "script abs" "$out"
# Started from /tmp or /etc itself, the machine keeps its own: nothing its
# programs write there reaches the host's.
mark=kmx-machine-cwd-$$
out=$(cd /tmp && "${M[@]}" -- sh -c "pwd; echo x >/tmp/$mark; stat -f -c %T /tmp")
expect_eq "started from /tmp, the machine's /tmp is its own" "/tmp
tmpfs" "$out"
expect_eq "nothing reaches the host's /tmp" "absent" "$([[ -e /tmp/$mark ]] && echo present || echo absent)"
rm -f "/tmp/$mark"
out=$(cd /etc && "${M[@]}" -- sh -c "echo x >/etc/$mark && echo written")
expect_eq "started from /etc, writes stay in the machine" "written absent" \
    "$out $([[ -e /etc/$mark ]] && echo present || echo absent)"
rm -f "/etc/$mark"
expect_status "a masked dir given as the build dir is refused" 125 "${M[@]}" --bin /tmp true

fi

# --- parallel machines ----------------------------------------------------------------
if in_section parallel; then
pids=()
for i in 1 2 3 4 5 6 7 8; do
    "${M[@]}" -- sh -c "fw_setenv n $i; test \"\$(fw_printenv -n n)\" = $i && ip -4 addr show eth0 | grep -q 192.0.2.10" \
        >/dev/null 2>&1 &
    pids+=($!)
done
pfail=0
for p in "${pids[@]}"; do wait "$p" || pfail=$((pfail + 1)); done
expect_eq "parallel machines" "0" "$pfail"
fi

((pass + fail > 0)) || { echo "no section named $only" >&2; exit 1; }
echo "$pass passed, $fail failed"
((fail == 0))
