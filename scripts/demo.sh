#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Build everything, then show what the library reads from a simulated board:
# fpgatool run under fpga-sim on its built-in board (a platform type 4
# server with the HPM blocks on remote FPGA 1).
#
#     scripts/demo.sh [BUILD_DIR]    (default: build)
set -euo pipefail

cd "$(dirname "$0")/.."
build=${1:-build}

if [ ! -f "$build/build.ninja" ]; then
    echo "Setting up $build ..."
    meson setup "$build" >/dev/null
fi
# Only what the demo runs: the library and the two tools, not the tests.
# About 290 s of processor time from scratch (README); ninja shows its
# progress.
echo "Building libfpga, fpga-sim and fpgatool in $build ..."
start=$SECONDS
meson compile -C "$build" -j "${BUILD_JOBS:-$(nproc)}" fpga-sim fpgatool |
    { grep --line-buffered -E '^\[[0-9]+/[0-9]+\]|error|FAILED' || true; } |
    sed -u 's/^\(\[[0-9]*\/[0-9]*\]\) [A-Za-z+ ]* \([^ ]*\)$/  \1 \2/'
echo "Built in $((SECONDS - start)) s."

tool=$build/tools/fpgatool/fpgatool
run() {
    printf '\n$ fpgatool %s\n' "$*"
    "$tool" "$@"
}
export -f run
export tool

"$build/tools/fpga-sim/fpga-sim" -- bash -c '
    run info && run dump hpm && run thermals && run fans'
cat <<EOF

The tools are not installed; run them from $build, on the built-in board or
a board file of your own:
    $build/tools/fpga-sim/fpga-sim --board examples/boards/platform-0.json -- $tool presence
EOF
