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
#    subproject builds the two libraries and fpga-sim, nothing else, and
#    its libraries, built without optimisation, export what BUILD_DIR's do.
# 3. Installs it: libfpga, libfpga-sim, fpga-sim and the boards land in the
#    prefix. Builds the example programs with the command lines of
#    README.md and docs/libfpga-sim.md against it (pkg-config) and runs
#    them from there: the test finds the installed fpga-sim and boards by
#    itself. Sets examples/downstream up against that prefix with fpga-sim
#    not on PATH: the libraries are the installed ones, fpga-sim the
#    subproject's.
# 4. When the armhf toolchain is there (scripts/install-armhf.sh), builds
#    examples/downstream for armhf (cross/armhf.ini): libfpga alone in the
#    subproject, no test. Without it, counts one check as skipped.
# 5. Runs two of the subproject's compile checks (-Dlibfpga:tests=enabled).
# 6. meson setup of libfpga stops, saying why, on what it cannot build; with
#    -Dtools=disabled it installs the library alone.
# Nothing sets LD_LIBRARY_PATH. No installed library or program may hold
# the path of the checkout (which holds the build directories).
#
# Each check prints "ok: WHAT" or "FAIL: WHAT" (after the output that tells
# why); the last line is "N passed, N failed[, N skipped]".

set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
build=${1:-build}
downstream="build-downstream"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
skipped=0

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

# What the subproject of build directory $1 builds: the targets $2...
# (fpgalogging is libfpga's built-in journal layer, linked into it whole.)
subprojectTargets() {
    meson introspect "$1" --targets | python3 -c 'import json, sys
built = sorted(t["name"] for t in json.load(sys.stdin)
               if t["subproject"] == "libfpga" and t["build_by_default"])
print(built)
sys.exit(built != sys.argv[1:])' "${@:2}"
}

# The subproject's libraries export the symbols BUILD_DIR's do.
sameExports() {
    local lib status=0
    for lib in fpga/lib/libfpga.so.0 sim/libfpga-sim/libfpga-sim.so.0; do
        diff <(nm -DC --defined-only "$build/$lib" | cut -d' ' -f2- | sort) \
            <(nm -DC --defined-only "$downstream/subprojects/libfpga/$lib" |
                cut -d' ' -f2- | sort) || status=1
    done
    return "$status"
}

# examples/downstream set up in $work/mixed against the installed prefix,
# with no fpga-sim on PATH: its test runs the subproject's.
mixedSetup() {
    local path
    path=$(tr : '\n' <<<"$PATH" | while read -r dir; do
        [ -x "$dir/fpga-sim" ] || echo "$dir"
    done | paste -sd:)
    PATH=$path PKG_CONFIG_PATH=$(echo "$prefix"/lib/*/pkgconfig) \
        meson setup "$work/mixed" examples/downstream --buildtype=plain &&
        grep -q "^Run-time dependency libfpga-sim found: YES" \
            "$work/mixed/meson-logs/meson-log.txt" &&
        meson introspect "$work/mixed" --tests | python3 -c 'import json, sys
env = json.load(sys.stdin)[0]["env"]
print(env)
sys.exit(not env["FPGA_SIM"].startswith(sys.argv[1]))' \
            "$work/mixed/subprojects/libfpga/"
}

# meson setup of libfpga with the options $1 stops with an error matching
# the pattern $2.
refused() {
    local options
    read -r -a options <<<"$1"
    rm -rf "$work/refused"
    if meson setup "$work/refused" "${options[@]}" >"$work/setup" 2>&1 ||
        ! grep -E -q "ERROR: .*$2" "$work/setup"; then
        cat "$work/setup"
        return 1
    fi
}

# What a build with -Dtools=disabled installs: the library, its header and
# its .pc.
installedWithoutTools() {
    meson setup "$work/lean" -Dtools=disabled -Dtests=disabled \
        -Dexamples=disabled -Dbenchmarks=disabled >/dev/null &&
        meson introspect "$work/lean" --installed | python3 -c 'import json, os, sys
files = sorted(os.path.basename(f) for f in json.load(sys.stdin).values())
print(files)
sys.exit(files != ["libfpga.hpp", "libfpga.pc", "libfpga.so", "libfpga.so.0",
                   "libfpga.so.0.1.0"])'
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
# (Step 5 leaves the subproject's tests enabled.)
check "meson setup of examples/downstream" "${setup[@]}" "$downstream" \
    examples/downstream --buildtype=plain --prefix="$prefix" \
    --force-fallback-for=libfpga,libfpga-sim -Dlibfpga:tests=auto
check "meson compile of examples/downstream" meson compile -C "$downstream"
check "examples/downstream's test on libfpga-sim" \
    meson test -C "$downstream" --no-rebuild --print-errorlogs
check "no tests, examples, benchmarks or fpgatool in the subproject" \
    subprojectTargets "$downstream" fpga fpga-sim fpgalogging fpgasim \
        libfpga-sim
check "the subproject's libraries export what those of $build do" \
    sameExports

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
check "installed libraries with the subproject's fpga-sim" mixedSetup

# 4. A cross build: the service for the BMC, without its test.
if command -v arm-linux-gnueabihf-g++ >/dev/null; then
    check "examples/downstream set up for armhf" \
        meson setup "$work/armhf" examples/downstream --buildtype=plain \
        --cross-file cross/armhf.ini --force-fallback-for=libfpga,libfpga-sim
    check "libfpga alone in the armhf subproject" \
        subprojectTargets "$work/armhf" fpga fpgalogging
    check "examples/downstream compiles for armhf" meson compile -C "$work/armhf"
else
    echo "skipped: examples/downstream for armhf (no arm-linux-gnueabihf-g++:" \
        "scripts/install-armhf.sh)"
    skipped=1
fi

# 5. The subproject's compile checks, which run ninja in the top build
# directory: one that must build, one that must not.
check "the subproject's tests enabled" meson setup --reconfigure \
    "$downstream" examples/downstream -Dlibfpga:tests=enabled
check "the subproject's compile checks" meson test -C "$downstream" \
    --no-rebuild "libfpga:lg2 accepts-library-forms" \
    "libfpga:header rejects-cxx17"

# 6. What meson setup refuses, and the library alone.
while IFS='|' read -r options pattern; do
    check "meson setup $options stops" refused "$options" "$pattern"
done <<'EOF'
-Dcpp_std=c++17|needs a C[+][+]20 compiler with std::source_location
-Dfuzzing=true|need clang[+][+] 16
-Dtools=disabled -Dfpgatool=enabled|fpgatool cannot be enabled
EOF
check "-Dtools=disabled installs the library alone" installedWithoutTools

echo "$passed passed, $failed failed$([ "$skipped" -eq 0 ] ||
    echo ", $skipped skipped")"
[ "$failed" -eq 0 ]
