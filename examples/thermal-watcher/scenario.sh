#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# thermal-watcher on the built-in board, driven from outside with fpga-sim
# ctl while it runs: a thermal value crosses the threshold and falls back,
# the HPM chip vanishes and comes back, reads fail and recover. Each step
# waits for the service's journal entry (caught by fpga-sim --journal).
#
#     scenario.sh [FPGA_SIM [THERMAL_WATCHER]]   (default: both on PATH)
set -eu
sim=${1:-fpga-sim}
watcher=${2:-thermal-watcher}
dir=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT

"$sim" --control "$dir/control" --journal="$dir/journal" -- \
    "$watcher" --interval 10 --threshold 60 &
pid=$!

# Wait (at most ten seconds) until the service has logged MESSAGE, COUNT
# times in all (default once).
logged() {
    i=0
    while :; do
        count=$(grep -cF "\"MESSAGE\":\"$1\"" "$dir/journal" 2>/dev/null) ||
            true
        [ "${count:-0}" -lt "${2:-1}" ] || break
        i=$((i + 1))
        if [ "$i" -gt 1000 ]; then
            echo "never logged: $1" >&2
            cat "$dir/journal" >&2 2>/dev/null || true
            exit 1
        fi
        sleep 0.01
    done
    echo "logged: $1"
}

ctl() {
    echo "ctl: $*"
    "$sim" ctl "$dir/control" "$@"
}

logged "Watching thermal value1, threshold 60"
# Thermal entry 0's value1 is byte 2 of the first record (block 8 offset
# 14 in ADI mode on remote 1, the HPM chip of the built-in board).
ctl poke fpga-r1-adi '{"block": 8, "offset": 14, "pageDataOffset": 2, "bytes": "5a"}'
logged "Thermal entry 0 value1 at 90, above 60"
ctl poke fpga-r1-adi '{"block": 8, "offset": 14, "pageDataOffset": 2, "bytes": "26"}'
logged "Thermal entry 0 value1 back at 38, not above 60"

ctl set chips.r1.detected 0
logged "Thermal entries unreadable: No such device"
ctl set chips.r1.detected 1
logged "Thermal entries readable again"

ctl fault add fpga-r1-adi EIO read
logged "Thermal entries unreadable: Input/output error"
ctl fault clear fpga-r1-adi
logged "Thermal entries readable again" 2
# A change the board cannot take is refused and changes nothing.
if ctl poke fpga-r9 8 14 40; then
    echo "a node the driver does not have was taken" >&2
    exit 1
fi

kill -TERM "$pid"
wait "$pid"
pid=
echo "scenario passed"
