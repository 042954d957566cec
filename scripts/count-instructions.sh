#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Instructions per call, counted by callgrind, for each benchmarked call
# through the library and through its floor (the same system calls made
# with plain POSIX calls; see benchmarks/bench_calls.hpp).
#
#     scripts/count-instructions.sh [BUILD_DIR] [CALLS]
#                                  (defaults: build-release, 20)
#
# Configures BUILD_DIR as a release build when it is not configured yet and
# builds the call probe there. Each call runs once to fill the caches, then
# CALLS times inside the probe's measuredCalls(), the only code counted;
# instructions in the kernel are not counted. Prints a table. Installs
# valgrind through scripts/install-perf-deps.sh when it is missing; needs
# root or unprivileged user namespaces.

set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
build=${1:-build-release}
count=${2:-20}

command -v valgrind >/dev/null || scripts/install-perf-deps.sh || exit 1
if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build" --buildtype=release \
        -Dtests=disabled -Dexamples=disabled -Dtools=disabled >/dev/null || exit 1
fi
meson compile -C "$build" -j 1 benchmarks/call-probe >/dev/null || exit 1
probe=$build/benchmarks/call-probe

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Instructions per call of one side of one call.
instructions() {
    local out=$scratch/callgrind.out
    valgrind --tool=callgrind --callgrind-out-file="$out" \
        --toggle-collect='*measuredCalls*' "$probe" "$1" "$2" "$count" \
        >"$scratch/log" 2>&1 || {
        echo "callgrind failed for $1 $2:" >&2
        cat "$scratch/log" >&2
        return 1
    }
    awk -v n="$count" '/^summary:/ { printf "%d", $2 / n }' "$out"
}

printf '%-20s %12s %12s %7s\n' call library floor ratio
status=0
for call in rawNormalAccess/1 rawNormalAccess/16 rawRemoteAdiAccess \
    rawHpmNormalAccess getInterrupts getThermals getPlatform; do
    library=$(instructions "$call" library) || { status=1; continue; }
    floor=$(instructions "$call" floor) || { status=1; continue; }
    printf '%-20s %12d %12d %7.2f\n' "$call" "$library" "$floor" \
        "$(awk -v a="$library" -v b="$floor" 'BEGIN { print a / b }')"
done
exit $status
