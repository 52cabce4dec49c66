#!/bin/bash
# Installs a build into a staging tree and checks what the board and the
# mining program get from it:
# - the board's layout, stripped programs (their sizes are printed) and the
#   unit;
# - for an armhf build, the shared libraries and symbol versions the
#   programs ask for, against the README's table of what the board must
#   provide;
# - an install without DESTDIR refused before it writes anything;
# - the installed archive's global names against cmake/kmx_exports.txt;
# - every function the installed headers declare against the archive's
#   global names;
# - every installed header alone as C99 and C11, and all of them together
#   with <zlib.h> in a program linked with -lz;
# - the README's pkg-config lines, run as written (with this check's folders
#   and compiler in place of theirs): a C program built against the staged
#   armhf tree or against a host install of the library, and run.
#
#   tests/install_check.sh BUILD_DIR CC [RUNNER...]
#
# RUNNER (e.g. qemu-arm) runs the programs for a cross build; CFLAGS are
# added to the compiles (the sanitizer build's flags). Exit status 0 when
# every check passes.
set -euo pipefail
build=$(cd "$1" && pwd)
cc=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
readme=$root/README.md
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() {
    echo "install check: $*" >&2
    exit 1
}
# The cross tools beside an arm-linux-gnueabihf-gcc; the host's for cc.
tools=
[[ $(basename "$cc") == *-gcc ]] && tools=${cc%gcc}

DESTDIR=$stage cmake --install "$build" >/dev/null || fail "cmake --install failed"

programs=(zel-monitor filemend zel_chip_type zel_test zel_fan stepctl boardcheck)
for p in "${programs[@]}"; do
    [[ -f $stage/bin/$p && -x $stage/bin/$p ]] || fail "/bin/$p missing"
done
unit=$stage/etc/systemd/system/multi-user.target.wants/zel-monitor.service
[[ -f $unit ]] || fail "zel-monitor unit missing"
grep -qx 'ExecStart=/bin/zel-monitor 1' "$unit" || fail "unit does not start /bin/zel-monitor 1"

# Stripped programs: no symbol table, no debug sections.
printf '%-14s %10s %10s %10s %10s\n' program file text data bss
for p in "${programs[@]}"; do
    f=$stage/bin/$p
    read -r text data bss _ < <("${tools}size" "$f" | tail -1)
    printf '%-14s %10s %10s %10s %10s\n' "$p" "$(stat -c %s "$f")" "$text" "$data" "$bss"
done
for p in "${programs[@]}"; do
    ! readelf -S --wide "$stage/bin/$p" | grep -qE ' \.(symtab|debug_[a-z_]+) ' ||
        fail "/bin/$p is not stripped"
done

# What the board must provide: the README's table against the programs'
# NEEDED entries and the newest version of each symbol-version family they
# ask for (GLIBC_2.34, GLIBCXX_3.4.29, ...).
newest_versions() { # versions... -> "FAMILY VERSION" lines, the newest per family
    printf '%s\n' "$@" | sed -E 's/^(.*)_([0-9][0-9.]*)$/\1 \2/' | sort -k1,1 -k2,2V |
        awk '{v[$1] = $2} END {for (f in v) print f, v[f]}' | sort
}
if readelf -h "$stage/bin/zel-monitor" | grep -q 'Machine: *ARM'; then
    table=$(awk '/^\| what \| libraries \|/ {on = 1} on && !/^\|/ {exit} on' "$readme")
    [[ -n $table ]] || fail "README.md has no table of what the board must provide"
    # shellcheck disable=SC2016 # backquotes of the README's markdown
    want_libs=$(grep -oE '`lib[^`]*\.so\.[0-9.]+`' <<<"$table" | tr -d '`' | sort -u)
    # shellcheck disable=SC2016
    mapfile -t want_vers < <(grep -oE '`[A-Z][A-Z_]*_[0-9][0-9.]*`' <<<"$table" | tr -d '`')
    have_libs=$(for p in "${programs[@]}"; do readelf -d "$stage/bin/$p"; done |
        sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p' | sort -u)
    mapfile -t have_vers < <(for p in "${programs[@]}"; do readelf -V --wide "$stage/bin/$p"; done |
        sed -nE '/\.gnu\.version_r/,/^$/ s/.*Name: ([A-Za-z_]+_[0-9][0-9.]*) .*/\1/p')
    [[ $want_libs == "$have_libs" ]] ||
        fail "the programs need ${have_libs//$'\n'/ }, the README names ${want_libs//$'\n'/ }"
    want=$(newest_versions "${want_vers[@]}")
    have=$(newest_versions "${have_vers[@]}")
    [[ $want == "$have" ]] ||
        fail "the programs need the versions ${have//$'\n'/ }, the README names ${want//$'\n'/ }"
    echo "install check: the board provides ${have_libs//$'\n'/ } ($(echo "$have" | paste -sd, -))"
fi

# An install without DESTDIR puts the programs at their fixed paths into
# this machine's /bin and /etc: it is refused before anything is written,
# with the staging command. As root, /bin and /etc are read-only for the
# attempt, so that a broken refusal cannot write into the host.
guarded() {
    if [[ $(id -u) -eq 0 ]]; then
        # shellcheck disable=SC2016 # the inner shell expands them
        unshare --mount --propagation private sh -c \
            'for d in /usr/bin /bin /etc; do mount --bind "$d" "$d" && mount -o remount,bind,ro "$d" || exit 99; done; exec "$@"' \
            sh "$@"
    else
        "$@"
    fi
}
refused=$(guarded env -u DESTDIR cmake --install "$build" --prefix "$stage/prefix" 2>&1) &&
    fail "an install without DESTDIR was not refused"
grep -qF "DESTDIR=/tmp/stage cmake --install $build" <<<"$refused" ||
    fail "the refused install does not show the staging command: $refused"
[[ ! -e $stage/prefix ]] || fail "the refused install wrote into its prefix"

# The installed library: one archive whose global names are the library's
# interface (cmake/kmx_exports.txt's patterns and names) and all of it. The
# only exception are the C++ standard library's unique objects (binding
# "u"), which the linker merges with libstdc++'s own.
pc=$(find "$stage" -name kmx.pc -print -quit)
[[ -n $pc ]] || fail "kmx.pc missing"
archive=$(dirname "$(dirname "$pc")")/libkmx.a
[[ -f $archive ]] || fail "libkmx.a missing beside lib/pkgconfig"
exports=$root/cmake/kmx_exports.txt
globals=$("${tools}nm" -g --defined-only "$archive" | awk 'NF == 3 && !($2 == "u" && $3 ~ /^_Z+N?St/) {print $3}' | sort -u)
patterns=$(grep -v '^#' "$exports" | grep '\*' | sed 's/\*$//')
names=$(grep -v '^#' "$exports" | grep -v '\*' | sort -u)
outside=$(grep -vE "^($(paste -sd'|' <<<"$patterns"))" <<<"$globals" || true)
stray=$(comm -23 <(echo "$outside") <(echo "$names") | grep . || true)
[[ -z $stray ]] || fail "libkmx.a exports $(wc -l <<<"$stray") names outside the library's: $(head -20 <<<"$stray" | paste -sd' ')"
missing=$(comm -13 <(echo "$globals") <(echo "$names") | grep . || true)
[[ -z $missing ]] || fail "libkmx.a does not export ${missing//$'\n'/ } (cmake/kmx_exports.txt)"

# Every installed header alone, as a C user includes it.
include=$(dirname "$(dirname "$(dirname "$pc")")")/include/kmx
mapfile -t headers < <(cd "$include" && find . -name '*.h' | sed 's|^\./||' | sort)
[[ ${#headers[@]} -gt 0 ]] || fail "no headers installed"
for std in c99 c11; do
    for h in "${headers[@]}"; do
        echo "#include \"$h\"" | "$cc" -std=$std -Wall -Wextra -Werror -fsyntax-only -I"$include" -x c - ||
            fail "$h does not compile alone as $std"
    done
done

# The README's lines for this tree, as written: the block that starts with
# the install line, with this check's stage, build folder and compiler.
readme_block() { # first line -> the lines of the block that starts with it and runs pkg-config
    awk -v first="    $1" '$0 == first {on = 1; b = ""}
        on && /^$/ {if (b ~ /pkg-config/) {printf "%s", b; exit} on = 0}
        on {sub(/^    /, ""); b = b $0 "\n"}' "$readme"
}
work=$stage/work
mkdir -p "$work"

# Every function an installed header declares is one the archive defines:
# a C program that calls it links. -aux-info lists each declaration with the
# header it came from (":NC" and ":OC" mark declarations, not definitions).
# -aux-info is gcc's alone: for a tree built with clang (the sanitizer
# build) the host's gcc lists them.
printf '#include "%s"\n' "${headers[@]}" >"$work/all.c"
decl_cc=$cc
[[ $(basename "$cc") != clang* ]] || decl_cc=gcc
"$decl_cc" -std=c11 -I"$include" -aux-info "$work/decls.txt" -fsyntax-only -x c "$work/all.c" ||
    fail "the installed headers do not compile together"
declared=$(grep -F "/* $include/" "$work/decls.txt" | grep -E ':[NO]C \*/' | grep -v ' static ' |
    sed -E 's|^/\*[^*]*\*/ ||; s/^([^(]*[ *])([A-Za-z_][A-Za-z0-9_]*) \(.*/\2/' | sort -u)
[[ -n $declared ]] || fail "no function declarations found in the installed headers"
undefined=$(comm -23 <(echo "$declared") <(echo "$globals") | grep . || true)
[[ -z $undefined ]] ||
    fail "installed headers declare $(wc -l <<<"$undefined") functions libkmx.a does not export: $(paste -sd' ' <<<"$undefined")"
if [[ -n $tools ]]; then
    block=$(readme_block "DESTDIR=/tmp/stage cmake --install build-board")
    block=${block//\/tmp\/stage/$stage/tree}
    block=${block//cmake --install build-board/cmake --install $build}
else
    # shellcheck disable=SC2016 # the README's text
    block=$(readme_block 'cmake --install build --component dev --prefix $HOME/kmx')
    block=${block//cmake --install build /cmake --install $build }
fi
[[ -n $block ]] || fail "README.md has no pkg-config lines for this tree"
compile=$(grep -E '^[^ ]+ \$\(pkg-config --cflags kmx\) miner\.c ' <<<"$block") ||
    fail "README.md's block has no compile line: $block"
block=${block//"$compile"/\"\$KMX_CC\" \$KMX_CFLAGS ${compile#* }}

cat >"$work/miner.c" <<'C'
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
# Every header at once beside zlib, whose crc32 the library must leave alone.
{
    echo '#include <zlib.h>'
    printf '#include "%s"\n' "${headers[@]}"
    cat <<'C'
#include <stdio.h>

int main(void) {
    static const unsigned char text[] = "123456789";
    unsigned long z = crc32(0L, text, 9);
    unsigned long k = kmx_crc32(0, text, 9);
    printf("zlib %08lx kmx %08lx\n", z, k);
    return z == 0xCBF43926UL && k == 0xCBF43926UL ? 0 : 1;
}
C
} >"$work/headers.c"
# Only the armhf zlib runtime may be there (see scripts/setup): link through
# a libz.so beside the program then.
zlib=()
if [[ ! -e $("$cc" -print-file-name=libz.so) ]]; then
    so=$("$cc" -print-file-name=libz.so.1)
    [[ -e $so ]] || fail "no zlib for $cc"
    ln -s "$so" "$work/libz.so"
    zlib=(-L"$work")
fi

# shellcheck disable=SC2016 # the block expands its own variables
(cd "$work" && HOME=$stage/home KMX_CC=$cc KMX_CFLAGS="-std=c11 -Wall -Werror ${CFLAGS:-}" bash -euc "$block
\"\$KMX_CC\" \$KMX_CFLAGS -Wextra \$(pkg-config --cflags kmx) headers.c \$(pkg-config --libs kmx) ${zlib[*]} -lz -o headers") \
    >"$stage/readme.log" 2>&1 || { cat "$stage/readme.log" >&2; fail "the README's lines do not build a C program: $block"; }
out=$(cd "$work" && "$@" ./miner) || fail "C program failed"
[[ $out =~ ^crc\ [0-9a-f]{4}\ 1$ ]] || fail "unexpected output: $out"
out=$(cd "$work" && "$@" ./headers) || fail "the program with every header and zlib failed: $out"

# On a host build: the repair tool, run in a machine where the checksum list
# fails, must leave the installed unit alone (it rewrites every guarded file
# that differs from its template; /etc/hosts always does here).
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
