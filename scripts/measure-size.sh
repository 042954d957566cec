#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Stripped size of the release libfpga.so for x86-64 and for the BMC's
# 32-bit ARM (armhf, through cross/armhf.ini; skipped when its toolchain is
# missing: scripts/install-armhf.sh installs it).
#
#     scripts/measure-size.sh [LIMIT_BYTES]     (default: 65536, for armhf)
#
# Builds only the library, in build-release and build-release-armhf
# (configured when they are not yet). Prints one line per architecture and
# exits non-zero when the armhf library is over LIMIT_BYTES.

set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
limit=${1:-65536}
lib=fpga/lib/libfpga.so.0.1.0
status=0

# build dir, strip program, meson setup arguments...
measure() {
    local build=$1 strip=$2
    shift 2
    if [ ! -f "$build/build.ninja" ]; then
        meson setup "$build" --buildtype=release \
            -Dtests=disabled -Dexamples=disabled -Dtools=disabled "$@" \
            >/dev/null || return 1
    fi
    meson compile -C "$build" -j 1 fpga >/dev/null || return 1
    "$strip" -o "$build/libfpga.stripped.so" "$build/$lib" || return 1
    stat -c %s "$build/libfpga.stripped.so"
}

if size=$(measure build-release strip); then
    echo "x86-64: $size bytes ($((size / 1024)) KiB) stripped"
else
    echo "x86-64: build failed"
    status=1
fi

if ! command -v arm-linux-gnueabihf-g++ >/dev/null; then
    echo "armhf: skipped, no arm-linux-gnueabihf toolchain" \
        "(scripts/install-armhf.sh)"
elif size=$(measure build-release-armhf arm-linux-gnueabihf-strip \
    --cross-file cross/armhf.ini); then
    verdict="within"
    [ "$size" -le "$limit" ] || { verdict="OVER"; status=1; }
    echo "armhf: $size bytes ($((size / 1024)) KiB) stripped," \
        "$verdict the limit of $limit bytes"
else
    echo "armhf: build failed"
    status=1
fi
exit $status
