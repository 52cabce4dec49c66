#!/bin/bash
# Installs a build into a staging tree and checks the layout the board
# expects, then builds a small C program against the installed library with
# pkg-config, as the mining program is built, and runs it.
#
#   tests/install_check.sh BUILD_DIR CC [RUNNER...]
#
# RUNNER (e.g. qemu-arm) runs the program for a cross build; CFLAGS are
# added to the compile (the sanitizer build's flags). Exit status 0 when
# every check passes.
set -euo pipefail
build=$1
cc=$2
shift 2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() {
    echo "install check: $*" >&2
    exit 1
}

DESTDIR=$stage cmake --install "$build" >/dev/null || fail "cmake --install failed"

for p in zel-monitor filemend zel_chip_type zel_test zel_fan stepctl boardcheck; do
    [[ -f $stage/bin/$p && -x $stage/bin/$p ]] || fail "/bin/$p missing"
done
unit=$stage/etc/systemd/system/multi-user.target.wants/zel-monitor.service
[[ -f $unit ]] || fail "zel-monitor unit missing"
grep -qx 'ExecStart=/bin/zel-monitor 1' "$unit" || fail "unit does not start /bin/zel-monitor 1"

pc=$(find "$stage" -name kmx.pc -print -quit)
[[ -n $pc ]] || fail "kmx.pc missing"
# The staged .pc names the final prefix; the sysroot variable points it
# into the staging tree. The dependencies' .pc files are the system's (for
# a cross build, the target architecture's, as the toolchain file sets).
libdirs=${PKG_CONFIG_LIBDIR:-$(pkg-config --variable pc_path pkg-config)}
pkgc() {
    PKG_CONFIG_SYSROOT_DIR=$stage PKG_CONFIG_LIBDIR=$(dirname "$pc"):$libdirs pkg-config "$@" kmx
}
# The library and the three archives below it, beside the .pc that names them.
for a in libkmx.a libkmx_frame.a libkmx_log.a libkmx_os.a; do
    [[ -f $(dirname "$(dirname "$pc")")/$a ]] || fail "$a missing beside lib/pkgconfig"
done
cflags=$(pkgc --cflags) || fail "pkg-config --cflags kmx failed"
libs=$(pkgc --libs) || fail "pkg-config --libs kmx failed"

cat >"$stage/miner.c" <<'C'
#include <stdio.h>
#include <unistd.h>

#include "drv/kmx_chip_frame.h"
#include "misc/kmx_errcode.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

/* Taking the start-up's address pulls the whole platform layer into the
 * link, as the mining program's calls do. */
static bool (*volatile start)(int, int, int, int) = sys_platform_init;

int main(void) {
    static const uint8_t frame[4] = {0x01, 0x02, 0x03, 0x04};
    g_cgminer_pid = getpid();
    printf("crc %04x %d\n", CRC16_2(frame, 4), start != NULL);
    return 0;
}
C
# shellcheck disable=SC2086 # pkg-config output is a list of words
"$cc" -std=c11 -Wall -Werror ${CFLAGS:-} $cflags -o "$stage/miner" "$stage/miner.c" $libs || fail "C program does not build against the installed library"
out=$("$@" "$stage/miner") || fail "C program failed"
[[ $out =~ ^crc\ [0-9a-f]{4}\ 1$ ]] || fail "unexpected output: $out"
# On a host build: the repair tool, run in a machine where the checksum list
# fails, must leave the installed unit alone (it rewrites every guarded file
# that differs from its template; /etc/hosts always does here).
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ $# -eq 0 && -x $build/bin/kmx-sim ]]; then
    # The other guarded units are there and empty (as good as intact).
    jq -n --rawfile unit "$unit" '"/etc/systemd/system/multi-user.target.wants/" as $d |
        {platform: 4, boards: [], files: ({"/run/sim/md5sum.status": "1", ($d + "zel-monitor.service"): $unit} +
        ([("cgminer", "sshd", "nginx", "swupdate") | {key: ($d + . + ".service"), value: ""}] | from_entries))}' \
        >"$stage/machine.json"
    "$root/sim/machine" --bin "$build/bin" --desc "$stage/machine.json" --keep "$stage/keep" -- /bin/filemend 1 ||
        [[ $? -eq 255 ]] || fail "filemend did not run"
    log=$stage/keep/sim/syslog.log
    grep -q "File /etc/hosts is fixed" "$log" || fail "filemend did not compare the guarded files"
    ! grep -q "zel-monitor.service is fixed" "$log" || fail "the installed unit differs from filemend's template"
fi
echo "install check: ok"
