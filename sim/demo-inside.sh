#!/bin/bash
# The demo's part inside the emulated machine: demo-inside.sh BIN CHIP_TYPE CHIP_COUNT
set -uo pipefail
bin=$1 chip_type=$2 chip_count=$3

section() { printf '\n== %s ==\n' "$1"; }

section "start-up: sys_platform_init(4, $chip_type, 4, $chip_count) with boards in slots 0, 2, 5"
"$bin/kmx-platform-probe" 4 "$chip_type" 4 "$chip_count" 2
echo "exit status: $?"
sleep 0.2

section "chain 0: power on, reset the chips, BIST, register, job and nonce"
"$bin/kmx-chain-probe" 4 4 "$chip_count" 0 2
echo "exit status: $?"
sleep 0.2

section "syslog (/dev/log of the machine)"
cat /run/sim/syslog.log

section "error files"
for f in /tmp/errcode /tmp/errchain /tmp/errlog; do
    if [[ -e $f ]]; then
        echo "--- $f"
        cat "$f"
    else
        echo "--- $f: not written"
    fi
done

section "fans as the hub was left (period / on-count, enable bits)"
for fan in 0 1 2; do
    period=$("$bin/kmx-sim" peek $((0x43C00040 + 8 * fan)))
    oncount=$("$bin/kmx-sim" peek $((0x43C00044 + 8 * fan)))
    echo "fan$fan: period $((period)) on-count $((oncount)) duty $(( period ? 100 * oncount / period : 0 ))%"
done
echo "fan enable word: $("$bin/kmx-sim" peek 0x43C00008)"
echo "(this board type drives its fans inverted: \"100 %\" is an on-count of 0)"

section "power supply: sys_platform_init + sys_init in the mining process (supply on I2C)"
"$bin/kmx-psu-probe" 1 3
echo "exit status: $?"
echo "--- /tmp/psu_info (vendor, firmware, error code)"
cat /tmp/psu_info 2>/dev/null || echo "not written"
echo "--- the supply's last transactions on /dev/i2c-0"
tail -n 4 /run/sim/psu.log 2>/dev/null
