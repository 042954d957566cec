#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Build phosphor-logging's lg2 (libphosphor_logging.so alone) from
# ../shared/third_party, for building the library against real lg2.
#
#     scripts/build-lg2.sh ARCH PREFIX    (ARCH: native or armhf)
#
# Writes PREFIX/lib/libphosphor_logging.so and
# PREFIX/lib/pkgconfig/phosphor-logging.pc; for armhf also PREFIX/lg2-armhf.ini,
# a cross file to layer over cross/armhf.ini:
#
#     PKG_CONFIG_PATH=PREFIX/lib/pkgconfig meson setup B -Dlg2=enabled
#     meson setup B --cross-file cross/armhf.ini \
#         --cross-file PREFIX/lg2-armhf.ini -Dlg2=enabled
#
# The library is rebuilt only when its sources (or this script) are newer
# than it. Nothing is installed outside PREFIX.

set -uo pipefail

if [ $# -ne 2 ] || [[ "$1" != native && "$1" != armhf ]]; then
    echo "usage: $0 native|armhf PREFIX" >&2
    exit 2
fi
arch=$1
script=$(realpath "$0")
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
third=$root/../shared/third_party
if [ ! -d "$third/phosphor-logging" ] || [ ! -d "$third/sdbusplus" ]; then
    echo "build-lg2: $third not found (phosphor-logging and sdbusplus)" >&2
    exit 1
fi
third=$(realpath "$third")
mkdir -p "$2/lib/pkgconfig" || exit 1
prefix=$(realpath "$2")

inc=(-isystem "$third/phosphor-logging/lib/include"
    -isystem "$third/sdbusplus/include")
if [ "$arch" = armhf ]; then
    cxx=arm-linux-gnueabihf-g++
    # As cross/armhf.ini does for the library: no notes on how GCC 7.1
    # changed the passing of some types on ARM (-Wpsabi), since one GCC
    # builds everything here.
    flags=(-Wno-psabi)
    libs=(-L/usr/lib/arm-linux-gnueabihf -lsystemd)
else
    cxx=g++
    flags=()
    libs=(-lsystemd)
fi

# Write FILE from stdin only when its text changes, so that meson does not
# see a cross file newer than its build directory on every run.
update() {
    local file=$1 text
    text=$(cat)
    if [ "$(cat "$file" 2>/dev/null)" != "$text" ]; then
        printf '%s\n' "$text" >"$file" || exit 1
    fi
}

so=$prefix/lib/libphosphor_logging.so
newer=$(find "$third/phosphor-logging/lib" "$third/sdbusplus/include" \
    "$script" -type f -newer "$so" -print -quit 2>/dev/null)
if [ ! -f "$so" ] || [ -n "$newer" ]; then
    echo "build-lg2: building $so ($arch)"
    # Build next to the output, then move: an interrupted build leaves no
    # library newer than its sources.
    if ! "$cxx" -std=c++20 -O2 -fPIC -shared "${flags[@]}" "${inc[@]}" \
        "$third/phosphor-logging/lib/lg2_logger.cpp" \
        -Wl,-soname,libphosphor_logging.so -o "$so.tmp" "${libs[@]}"; then
        rm -f "$so.tmp"
        echo "build-lg2: $cxx failed (above)" >&2
        exit 1
    fi
    mv -f "$so.tmp" "$so" || exit 1
fi

# No -rpath in Libs: meson gives what links lg2 a run path to PREFIX/lib in
# the build tree and drops it at install, as for a phosphor-logging.pc of
# OpenBMC; one the .pc asked for would stay in an installed libfpga.so.
update "$prefix/lib/pkgconfig/phosphor-logging.pc" <<PC
Name: phosphor-logging
Description: phosphor-logging's lg2 alone, built from $third
Version: 1.0.0
Requires: libsystemd
Libs: -L$prefix/lib -lphosphor_logging
Cflags: ${inc[*]}
PC

# A second cross file replaces the first one's pkg_config_libdir (which
# wins over PKG_CONFIG_LIBDIR): the prefix first, then the armhf packages.
if [ "$arch" = armhf ]; then
    update "$prefix/lg2-armhf.ini" <<INI
# Layered over cross/armhf.ini by scripts/build-lg2.sh: finds lg2 in
# $prefix.
[properties]
pkg_config_libdir = ['$prefix/lib/pkgconfig',
    '/usr/lib/arm-linux-gnueabihf/pkgconfig', '/usr/share/pkgconfig']
INI
fi
echo "build-lg2: $prefix ($arch) is up to date"
