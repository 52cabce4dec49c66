#!/bin/bash
# The demo's part inside the emulated machine: demo-inside.sh BIN
# Starts the mining program as the machine's service manager does, shows
# each chain's bring-up and then the running hash counts.
set -uo pipefail
bin=$1

section() { printf '\n== %s ==\n' "$1"; }
api_up() { "$bin/miner-api-client" >/dev/null 2>&1; }

section "boot: three hash boards in slots 0, 2 and 5; systemctl start cgminer"
systemctl start cgminer
for _ in $(seq 1200); do api_up && break; sleep 0.05; done
api_up || { echo "the mining program did not come up"; cat /run/sim/cgminer.log; exit 1; }

section "bring-up of each chain (chips found, frequency, voltage, temperature)"
grep -E '^(detected|bring-up)' /run/sim/cgminer.log

section "detection as the library logged it"
grep -E 'detected [0-9]+ chips|detect finished|chain detect finished|failed' /run/sim/syslog.log | sed 's/^kmx_lib [^ ]* //'

section "running hash counts (the miner's own report, every 10 rounds)"
for round in 1 2 3; do
    for _ in $(seq 400); do
        (($(grep -c '^hash round' /run/sim/cgminer.log) >= 3 * round)) && break
        sleep 0.05
    done
    grep '^hash round' /run/sim/cgminer.log | tail -n 3
done

section "the API as the monitor daemon reads it (stats, devs, pools on 127.0.0.1:4028)"
"$bin/miner-api-client"

section "error files"
for f in /tmp/errcode /tmp/errchain; do
    if [[ -e $f ]]; then
        echo "--- $f"
        cat "$f"
    else
        echo "--- $f: not written"
    fi
done

section "systemctl restart cgminer"
systemctl restart cgminer
for _ in $(seq 1200); do api_up && break; sleep 0.05; done
echo "mining program running again: $(systemctl is-active cgminer), detections so far: $(grep -c '^detected' /run/sim/cgminer.log)"
systemctl stop cgminer
