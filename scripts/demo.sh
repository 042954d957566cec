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

[ -f "$build/build.ninja" ] || meson setup "$build" >/dev/null
meson compile -C "$build" -j "${BUILD_JOBS:-$(nproc)}" >/dev/null

tool=$build/tools/fpgatool/fpgatool
run() {
    printf '\n$ fpgatool %s\n' "$*"
    "$tool" "$@"
}
export -f run
export tool

exec "$build/tools/fpga-sim/fpga-sim" -- bash -c '
    run info && run dump hpm && run thermals && run fans'
