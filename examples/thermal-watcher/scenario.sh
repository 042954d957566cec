#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# thermal-watcher on the built-in board, driven from outside with fpga-sim
# ctl while it runs: a thermal value crosses the threshold and falls back
# (the service locks the front buttons meanwhile), the HPM chip vanishes
# and comes back, reads fail and recover. Each step waits for the
# service's journal entry (caught by fpga-sim --journal); the register it
# wrote is read back with ctl peek, and the trace's records (--trace-format
# json) show the entry came after the write.
#
#     scenario.sh [FPGA_SIM [THERMAL_WATCHER]]   (default: both on PATH)
set -eu
sim=${1:-fpga-sim}
watcher=${2:-thermal-watcher}
dir=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT

"$sim" --control "$dir/control" --journal="$dir/journal" \
    --trace="$dir/trace" --trace-format=json -- \
    "$watcher" --interval 10 --threshold 60 --lock-buttons &
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

# The front buttons register of the HPM chip holds BYTES now.
buttons() {
    now=$("$sim" ctl "$dir/control" peek hpm power.front-buttons)
    [ "$now" = "$1" ] || { echo "front buttons $now, not $1" >&2; exit 1; }
    echo "front buttons: $now"
}

# The seq of the first line of FILE with TEXT, field NAME.
seq_of() {
    grep -m1 -F "$2" "$1" | sed "s/.*\"$3\":\"\{0,1\}\([0-9]*\).*/\1/"
}

logged "Watching thermal value1, threshold 60"
buttons 03
# Thermal entry 0's value1 is byte 2 of the first thermal record of the
# HPM chip; the poke lands before the service's next thermal read.
ctl after 0 of fpga-r1-adi poke hpm thermal.records 00 01 5a
logged "Thermal entry 0 value1 at 90, above 60"
logged "Front buttons disabled while hot"
buttons 01
# The service wrote the register (block 4 offset 10 of fpga-r1), then said
# so: the entry comes later on the timeline than the write.
write=$(seq_of "$dir/trace" '"op":"write","position":74,' seq)
entry=$(seq_of "$dir/journal" '"MESSAGE":"Front buttons disabled' __SEQNUM)
[ "$write" -lt "$entry" ] || { echo "said at $entry, wrote at $write" >&2; exit 1; }
echo "wrote at $write, said at $entry"
ctl poke hpm thermal.records 00 01 26
logged "Thermal entry 0 value1 back at 38, not above 60"
logged "Front buttons enabled again"
buttons 03

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
