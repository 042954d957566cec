#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What fpga-sim costs per library access against fuse-floor, a bare FUSE
# file system that serves the same files the same way and does nothing
# else (benchmarks/fuse_floor.cpp), and what `fpga-sim -- true` costs to
# start.
#
#     scripts/bench-fpga-sim.sh [BUILD_DIR] [ROUNDS] [STARTS]
#                              (defaults: build-sim-bench, 5, 40)
#
# Configures BUILD_DIR as a release build with the tools when it is not
# configured yet and builds the `sim-benchmark` target there. Each round runs
# access-benchmark --in-place as the command of fuse-floor and of fpga-sim
# (the order alternating from round to round), both serving fpga-sim's
# built-in board: rawNormalAccess of one byte and getThermals, 5 repetitions
# each; once with the benchmark and its server held to the last CPU
# (taskset; "one-cpu", the steadier figures) and once where the scheduler
# puts them ("any-cpu"). Prints per access, by the wall clock and in CPU
# time (the benchmark's own and its server's), the median over the rounds
# of each run's median for both and their ratio, and the ratios of the two
# runs of each round (close in time, so least apart in the machine's other
# load); then the median start-up time over STARTS runs each of
# `fpga-sim -- true`, `fuse-floor -- true` and `true`, interleaved. Needs
# root or unprivileged user namespaces, and /dev/fuse. Not a test: it
# prints figures and fails only when something cannot run.

#
#     scripts/bench-fpga-sim.sh --boards [BUILD_DIR] [STEPS] [MEGABYTES]
#                              (defaults: build-sim-bench, 20000, 42)
#
# instead measures big boards, generated in a scratch directory: one whose
# scenario has STEPS steps all due at the first open, and one of MEGABYTES
# of register entries. For each it prints the median of three runs of
# `fpga-sim --check` (and its peak RSS), of `fpga-sim --board ... -- cat` of
# an attribute (a run past 120 s is stopped and shown as such), and, on the
# big board, of five each of `fpga-sim ctl SOCKET` set, get, peek and board
# while it serves, with the longest read of an attribute the command made
# meanwhile. FPGA_SIM names another fpga-sim to measure (an older build,
# for a comparison).

set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
boards=false
if [ "${1:-}" = --boards ]; then
    boards=true
    shift
fi
build=${1:-build-sim-bench}
rounds=${2:-5}
starts=${3:-40}
if $boards; then
    if [ ! -f "$build/build.ninja" ]; then
        meson setup "$build" --buildtype=release \
            -Dtests=disabled -Dexamples=disabled >/dev/null || exit 1
    fi
    meson compile -C "$build" -j 1 tools/fpga-sim/fpga-sim >/dev/null || exit 1
    exec python3 benchmarks/board_benchmark.py \
        "${FPGA_SIM:-$build/tools/fpga-sim/fpga-sim}" "${2:-20000}" "${3:-42}"
fi
if [ "$rounds" -lt 1 ] || [ "$starts" -lt 2 ]; then
    echo "usage: $0 [BUILD_DIR] [ROUNDS >= 1] [STARTS >= 2]" >&2
    exit 2
fi

if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build" --buildtype=release \
        -Dtests=disabled -Dexamples=disabled >/dev/null || exit 1
fi
meson compile -C "$build" -j 1 sim-benchmark >/dev/null || exit 1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

sim=$build/tools/fpga-sim/fpga-sim
floor=$build/benchmarks/fuse-floor
bench=$build/benchmarks/access-benchmark

# The last CPU, for the runs with the benchmark and its server on one CPU.
cpu=$(($(nproc) - 1))

run() {
    local server=$1 placement=$2 round=$3 wrapper pin=()
    case $server in
        floor) wrapper=$floor ;;
        fpga-sim) wrapper=$sim ;;
    esac
    if [ "$placement" = one-cpu ]; then
        pin=(taskset -c "$cpu")
    fi
    "${pin[@]}" "$wrapper" -- "$bench" --in-place \
        --benchmark_filter='^(rawNormalAccess/1|getThermals)/library' \
        --benchmark_repetitions=5 --benchmark_min_time=0.2 \
        --benchmark_report_aggregates_only=true \
        --benchmark_out="$scratch/$server-$placement-$round.json" \
        --benchmark_out_format=json >"$scratch/log" 2>&1 || {
        echo "access-benchmark failed under $server:" >&2
        cat "$scratch/log" >&2
        exit 1
    }
}

for round in $(seq "$rounds"); do
    for placement in one-cpu any-cpu; do
        if [ $((round % 2)) -eq 1 ]; then
            run floor $placement "$round"
            run fpga-sim $placement "$round"
        else
            run fpga-sim $placement "$round"
            run floor $placement "$round"
        fi
    done
done

python3 - "$scratch" "$rounds" "$starts" "$sim" "$floor" <<'EOF_PY'
import json
import statistics
import subprocess
import sys
import time

scratch, rounds, starts, sim, floor = sys.argv[1:]

# medians[(placement, measure)][server][call]: each round's median, in ns
placements = ("one-cpu", "any-cpu")
medians = {}
for server in ("floor", "fpga-sim"):
    for placement in placements:
        for round in range(1, int(rounds) + 1):
            path = f"{scratch}/{server}-{placement}-{round}.json"
            with open(path) as f:
                for b in json.load(f)["benchmarks"]:
                    if b.get("error_occurred"):
                        sys.exit(f"{b['name']} failed under {server}")
                    if b["aggregate_name"] != "median":
                        continue
                    call = b["run_name"].removesuffix("/library/real_time")
                    cpu = b["cpu_time"] + b["server_cpu"]
                    for measure, ns in (("wall", b["real_time"]),
                                        ("CPU", cpu)):
                        medians.setdefault((placement, measure), {}) \
                            .setdefault(server, {}) \
                            .setdefault(call, []).append(ns)

print(f"per access, {rounds} rounds: the median of the rounds' medians, "
      "their ratio, and\nthe median (lowest .. highest) of the ratios "
      "within each round")
print(f"{'call':<18} {'CPUs':<8} {'measure':<8} {'floor us':>9}"
      f" {'fpga-sim us':>12} {'ratio':>6}   ratio by round")
for (placement, measure), by_server in medians.items():
    for call, floor_ns in by_server["floor"].items():
        sim_ns = by_server["fpga-sim"][call]
        by_round = [s / f for s, f in zip(sim_ns, floor_ns)]
        fmed, smed = statistics.median(floor_ns), statistics.median(sim_ns)
        print(f"{call:<18} {placement:<8} {measure:<8} {fmed / 1e3:9.1f}"
              f" {smed / 1e3:12.1f} {smed / fmed:6.2f}"
              f"   {statistics.median(by_round):.2f}"
              f" ({min(by_round):.2f} .. {max(by_round):.2f})")

# Start-up: the whole run of a command that does nothing.
commands = {"fpga-sim -- true": [sim, "--", "true"],
            "fuse-floor -- true": [floor, "--", "true"],
            "true": ["true"]}
spent = {name: [] for name in commands}
for _ in range(int(starts)):
    for name, argv in commands.items():
        begin = time.perf_counter_ns()
        if subprocess.run(argv).returncode != 0:
            sys.exit(f"{name} failed")
        spent[name].append(time.perf_counter_ns() - begin)
print(f"\nstart-up, {starts} runs each (median, first and third quartile)")
for name, ns in spent.items():
    q = statistics.quantiles(ns, n=4)
    print(f"{name:<20} {statistics.median(ns) / 1e6:7.2f} ms"
          f"   ({q[0] / 1e6:.2f} .. {q[2] / 1e6:.2f})")
EOF_PY
