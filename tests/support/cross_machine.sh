#!/bin/bash
# sim/machine for a cross build's tests:
#
#   cross_machine.sh HOST_BIN EMULATOR... ---- [sim/machine options] -- PROGRAM [ARGS...]
#
# The machine is laid out by the host build's tools (HOST_BIN: kmx-sim, the
# syslog receiver, the programs installed at their system paths), and
# PROGRAM, a test binary of the target architecture, runs under EMULATOR
# (qemu-arm) inside it.
set -u
host_bin=$1
shift
emulator=()
while (($#)) && [[ $1 != ---- ]]; do
    emulator+=("$1")
    shift
done
shift || exit 125
opts=()
while (($#)) && [[ $1 != -- ]]; do
    case $1 in
        --bin) shift 2 ;;
        --bin=*) shift ;;
        *) opts+=("$1"); shift ;;
    esac
done
shift || exit 125
[[ -x $host_bin/kmx-sim ]] || { echo "cross_machine: no host build in $host_bin (build it first)" >&2; exit 125; }
exec "$(dirname "$0")/../../sim/machine" --bin "$host_bin" "${opts[@]}" -- "${emulator[@]}" "$@"
