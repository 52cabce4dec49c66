#!/bin/bash
# The demo's part inside the emulated machine: demo-inside.sh BIN
# Every line it prints is either a heading, a file's exact contents or what
# one of the real programs printed, logged or answered; the tables only
# line up the mining program's own lines.
set -uo pipefail
bin=$1
sim=/run/sim
n=0

section() {
    n=$((n + 1))
    printf '\n== %d. %s ==\n' "$n" "$1"
}
# The exact contents of a file, framed.
show() {
    if [[ -e $1 ]]; then
        printf -- '--- %s\n' "$1"
        cat "$1"
        [[ -s $1 && $(tail -c 1 "$1" | od -An -c | tr -d ' ') != '\n' ]] && printf '\n'
        printf -- '---\n'
    else
        printf -- '--- %s: absent\n' "$1"
    fi
}
# Polls CMD every 20 ms for up to 20 s.
waitfor() {
    local until=$((SECONDS + 20))
    while ((SECONDS < until)); do
        eval "$1" && return 0
        sleep 0.02
    done
    echo "demo: gave up waiting for: $1"
    return 1
}
# The library's syslog lines of one program, without the host prefix.
syslog_of() { grep -E "$1" $sim/syslog.log | sed -E 's/^[^ ]+ [^ ]+ //'; }
api_up() { "$bin/miner-api-client" >/dev/null 2>&1; }
peek_leds() { "$bin/kmx-sim" peek 0x43C00024; }
# The hub's LED word with its red LED bit (10) and its green mode LED bit
# (9), which the daemon blinks on its own while the address comes from
# DHCP. Both bits are active low: 0 lights the LED.
leds() {
    local w r g
    w=$(peek_leds)
    r=$(((w >> 10) & 1))
    g=$(((w >> 9) & 1))
    printf 'LED word %s, red bit %d (active low: red LED %s), green bit %d' "$w" "$r" \
        "$( ((r)) && echo dark || echo lit)" "$g"
}
# The mining program's bring-up and hash lines as one table per chain.
chain_table() {
    awk '
        /^bring-up chain/ {
            c = $2; sub(":", "", c); order[++n] = c
            state[c] = $3; chips[c] = $5; pll[c] = $7; volt[c] = $11; temp[c] = $13
        }
        /^hash round/ { c = $4; sub(":", "", c); rate[c] = $(NF-1) " " $NF; round[c] = $3 }
        END {
            printf "%-8s %-5s %6s %10s %9s %7s %12s\n", "chain", "state", "chips", "frequency", "voltage", "temp", "hash rate"
            for (i = 1; i <= n; i++) {
                c = order[i]
                printf "%-8s %-5s %6s %10s %9s %7s %12s\n", c, state[c], chips[c], pll[c], volt[c], temp[c], rate[c]
            }
        }' "$1"
}

# A bench board waits in slot 7, pulled, until the board test. The stand-in
# management server answers the first report with two commands.
"$bin/kmx-sim" plug 7 0
id='"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1'
cat >/tmp/mgmt-script <<EOS
{$id,"cmd":1,"data":[{"url":"stratum+tcp://new.pool.example:3333","user":"acc.w1","pass":"x"}]}
{$id,"cmd":10}
EOS
rm -f /tmp/mgmt-ready
"$bin/kmx-sim-mgmt" --port 20001 --script /tmp/mgmt-script --ready /tmp/mgmt-ready &
waitfor "[ -e /tmp/mgmt-ready ]"

section "boards come up under the mining program (systemctl start cgminer)"
show /etc/systemd/system/cgminer.service
systemctl start cgminer
waitfor api_up || { cat $sim/cgminer.log; exit 1; }
waitfor "[ \$(grep -c '^hash round' $sim/cgminer.log) -ge 6 ]"
grep -E '^(detected|mining)' $sim/cgminer.log
echo
chain_table $sim/cgminer.log
echo
echo "the library's detection lines:"
syslog_of 'kmx_lib' | grep -E 'detected [0-9]+ chips|chain detect finished' | head -n 6

section "zel-monitor starts: machine type check and its threads"
show /etc/hwrevision
show /etc/map.conf
echo "U-Boot miner_type: $(fw_printenv -n miner_type)"
flagutils set # the machine is bound to its management server: reports go out
# The server may answer the first report at once: its calls count from here.
calls_from=$(wc -l <$sim/calls.log)
from=$(wc -l <$sim/syslog.log)
systemctl start zel-monitor
"$bin/led-client" send '{}' >/dev/null # the LED server answers once the machine type is settled
zm=$(cat $sim/zel-monitor.pid)
# The button, network and backup workers start after the LED server, one
# after the other, each named as it starts: all run, named, once the last,
# the backup keeper, carries its name.
waitfor "grep -qx file_bak /proc/$zm/task/*/comm 2>/dev/null"
echo "after start-up:"
show /etc/hwrevision
tail -n +"$((from + 1))" $sim/syslog.log | sed -E 's/^[^ ]+ [^ ]+ //' | grep -E 'compile time|hwrevision|type|finish' | head -n 6
echo "threads of zel-monitor (pid $zm): $(ls /proc/"$zm"/task | wc -l)"
echo "  (id and name from /proc/$zm/task/*/comm, as ps -L and top -H show them: each worker is named"
echo "  after its job at its start; the main thread, which only sleeps, keeps the program's name)"
for t in /proc/"$zm"/task/*; do printf '  %s %s\n' "${t##*/}" "$(cat "$t"/comm)"; done

section "a report reaches the stand-in management server"
show /etc/dtu.conf.def
waitfor "[ -s $sim/mgmt_reports.jsonl ]"
jq -c '{cmd, plantId, ip, mac, err_msg} + (.data[0] | {errcode, errmsg, type, hwver, dna, duty, runtime, chains: (.chains | length), pools_ip})' \
    <(head -n 1 $sim/mgmt_reports.jsonl)
# The error text numbers a chain by its slot plus one; every other line of
# the demo gives the slot itself.
errchain=$(head -n 1 $sim/mgmt_reports.jsonl | jq -r '.data[0].errmsg' | sed -nE 's/.*\.chain\(([0-9]+)\).*/\1/p')
if [[ -n $errchain ]]; then
    echo "errmsg's chain($errchain) counts chains from 1: it is slot $((errchain - 1)), chain$((errchain - 1)); the ids below,"
    echo "like the tables above and every other line here, count from 0"
fi
echo "per chain, as reported:"
head -n 1 $sim/mgmt_reports.jsonl | jq -c '.data[0].chains[]'

section "the server's commands carried out: new pools, red LED on"
echo "the server's reply script:"
cat /tmp/mgmt-script
waitfor "grep -q 'new.pool.example' /config/cgminer.conf 2>/dev/null"
waitfor "[ \$(grep -c '^detected' $sim/cgminer.log) -ge 2 ]"
show /config/cgminer.conf
echo "the calls it made:"
tail -n +"$((calls_from + 1))" $sim/calls.log | grep -E '^(fw_setenv iflag|flagutils (set|clear)|systemctl (re)?start cgminer|reboot)' 
echo "mining program: $(systemctl is-active cgminer), bring-ups so far: $(grep -c '^detected' $sim/cgminer.log)"
waitfor "[ \$(( \$(peek_leds) & 0x400 )) -eq 0 ]" # command 10 lights it: bit 10 cleared
echo "hub 0x43C00024: $(leds)"

section "an LED request on port 8001"
echo "the requests switch the red LED (bit 10); the green mode LED (bit 9) blinks on its own,"
echo "every 2 s while the address comes from DHCP, so it changes between lines whatever was asked:"
for req in '{"red_light":"off"}' '{"red_light":"on"}' '{"red_light":"blue"}'; do
    printf '%-22s -> %s   %s\n' "$req" "$("$bin/led-client" send "$req")" "$(leds)"
done
"$bin/led-client" send '{"red_light":"off"}' >/dev/null

section "a button press and its broadcast"
"$bin/udp-listen" /tmp/udp.txt 8001 14235 &
waitfor "[ -e /tmp/udp.txt ]"
echo "$ kmx-sim button hold 1000   (a short press: 1 s of machine time)"
"$bin/kmx-sim" button hold 1000
waitfor "[ \$(wc -l </tmp/udp.txt) -ge 2 ]"
echo "datagrams received (port, payload):"
cat /tmp/udp.txt

section "a service tool: zel_fan 40"
zel_fan 40
echo "zel_fan writes the duty it is given; this board's fans are wired inverted (speed is 100 - duty),"
echo "so duty 40 runs them at 60 % speed (zel_fan 40 1 would write duty 60 for 40 % speed)."
echo "its syslog lines: start-up sets full speed, a written duty 0 on these fans, then duty 40,"
echo "and its exit full speed again:"
grep -E '^zel_fan [^ ]+ .*(fan_id|fan duty|fan speed set to)' $sim/syslog.log | sed -E 's/^[^ ]+ [^ ]+ //'

section "boardcheck on a bench board in slot 7 (its chip 30 does not answer)"
systemctl stop zel-monitor
systemctl stop cgminer
# The bench holds one board: the three mining boards out, the test board in.
for s in 0 2 5; do "$bin/kmx-sim" plug $s 0; done
"$bin/kmx-sim" plug 7 1
echo "$ boardcheck -a"
boardcheck -a
echo "exit status $? (the board test always exits 0: its verdict is in /tmp/mtest)"
# Its first findings, then its verdict.
syslog_of '^boardcheck' | grep -E 'detect|ERROR' | head -n 10
syslog_of '^boardcheck' | grep -E 'Test (Passed|Failed)|TEST OVER'
show /tmp/mtest
