#!/bin/sh
# Emulated factory reset script: records the call. A test may have it take
# a while ($KMX_SIM_DIR/factory_reset.delay seconds, real time).
IFS=' 	
'
sim="${KMX_SIM_DIR:-/run/sim}"
printf '%s\n' "factory_reset.sh${*:+ $*}" >>"$sim/calls.log"
[ -f "$sim/factory_reset.delay" ] && sleep "$(cat "$sim/factory_reset.delay")"
exit 0
