#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# libfpga as its users get it: installed into a prefix, and as a meson
# subproject of another project.
#
#     scripts/check-downstream.sh [BUILD_DIR]   (default: build)
#
# 1. Installs BUILD_DIR (built first when it is not) with --destdir and
#    runs the installed fpgatool under the installed fpga-sim.
# 2. Builds examples/downstream (build-downstream/), a project that takes
#    libfpga as a subproject, with a prefix of its own, and runs its test
#    on libfpga-sim (FPGA_SIM names the subproject's fpga-sim); the
#    subproject builds the two libraries and fpga-sim, nothing else.
# 3. Installs it: libfpga, libfpga-sim, fpga-sim and the boards land in the
#    prefix. Builds the example programs with the command lines of
#    README.md and docs/libfpga-sim.md against it (pkg-config) and runs
#    them from there: the test finds the installed fpga-sim and boards by
#    itself.
# Nothing sets LD_LIBRARY_PATH. No installed library or program may hold
# the path of the checkout (which holds the build directories).
#
# Each check prints "ok: WHAT" or "FAIL: WHAT" (after the output that tells
# why); the last line is "N passed, N failed".

set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
build=${1:-build}
downstream="build-downstream"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# check WHAT COMMAND...: run COMMAND, its output kept for a failure.
check() {
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        cat "$work/out"
        echo "FAIL: $what"
        failed=$((failed + 1))
    fi
}

# No path of this checkout in FILE...
noBuildPath() {
    local file status=0
    for file in "$@"; do
        if grep -F -q -a "$root" "$file"; then
            echo "$file holds:"
            strings "$file" | grep -F "$root" | head -n 5
            status=1
        fi
    done
    return "$status"
}

# What the subproject builds: the two libraries and fpga-sim.
subprojectTargets() {
    meson introspect "$downstream" --targets | python3 -c 'import json, sys
built = sorted(t["name"] for t in json.load(sys.stdin)
               if t["subproject"] == "libfpga" and t["build_by_default"])
print(built)
sys.exit(built != ["fpga", "fpga-sim", "fpgasim", "libfpga-sim"])'
}

pc() {
    PKG_CONFIG_PATH=$(echo "$prefix"/lib/*/pkgconfig) pkg-config "$@"
}

# The programs of examples/downstream built with the documented g++ lines
# against the installed prefix.
buildAsDocumented() {
    # shellcheck disable=SC2046 # pkg-config's flags are words
    g++ -std=c++20 examples/downstream/chip_watch.cpp -o "$work/chip-watch" \
        $(pc --cflags --libs libfpga) "$rpath" &&
        g++ -std=c++20 examples/downstream/chip_watch_test.cpp \
            -o "$work/chip_watch_test" -DCHIP_WATCH="\"$work/chip-watch\"" \
            -DBOARDS_DIR="\"$(pc --variable=boardsdir libfpga-sim)\"" \
            $(pc --cflags --libs libfpga-sim gmock gtest_main) "$rpath"
}

unset LD_LIBRARY_PATH FPGA_SIM

# 1. The native build, installed.
destdir=$work/destdir
check "meson install --destdir of $build" \
    meson install -C "$build" --destdir "$destdir" --quiet
installed=$destdir$(meson introspect "$build" --buildoptions |
    python3 -c 'import json, sys
print(next(o["value"] for o in json.load(sys.stdin) if o["name"] == "prefix"))')
check "installed fpgatool runs under installed fpga-sim" \
    "$installed/bin/fpga-sim" -- "$installed/bin/fpgatool" info
check "no build path in the installed files of $build" \
    noBuildPath "$installed"/bin/* "$installed"/lib/*/*.so.*

# 2. The project that takes libfpga as a subproject: lean, without debug
# information or optimisation (its test runs in a fraction of a second).
prefix=$work/prefix
setup=(meson setup)
[ -f "$downstream/build.ninja" ] && setup+=(--reconfigure)
# This checkout's libfpga, even where another is installed.
check "meson setup of examples/downstream" "${setup[@]}" "$downstream" \
    examples/downstream --buildtype=plain --prefix="$prefix" \
    --force-fallback-for=libfpga,libfpga-sim
check "meson compile of examples/downstream" meson compile -C "$downstream"
check "examples/downstream's test on libfpga-sim" \
    meson test -C "$downstream" --no-rebuild --print-errorlogs
check "no tests, examples, benchmarks or fpgatool in the subproject" \
    subprojectTargets

# 3. Its install, used as the documents say.
check "meson install of examples/downstream" \
    meson install -C "$downstream" --quiet
rpath=-Wl,-rpath,$(pc --variable=libdir libfpga)
# shellcheck disable=SC2046 # pkg-config's flags are words
check "README's g++ line against the prefix" \
    g++ -std=c++20 examples/fpga_info.cpp -o "$work/fpga-info" \
    $(pc --cflags --libs libfpga) "$rpath"
check "the program built so runs under the installed fpga-sim" \
    "$prefix/bin/fpga-sim" -- "$work/fpga-info"
check "a service and its test built with the documented g++ lines" \
    buildAsDocumented
check "the test runs the installed fpga-sim on the installed boards" \
    "$work/chip_watch_test"
check "no build path in the installed files of examples/downstream" \
    noBuildPath "$prefix"/bin/* "$prefix"/lib/*/*.so.*

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
