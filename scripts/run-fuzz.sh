#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Build the libFuzzer targets and run each for a fixed number of inputs.
#
#     scripts/run-fuzz.sh [BUILD_DIR] [RUNS]    (defaults: build-fuzz, 20000)
#
# BUILD_DIR is configured, when it is not yet, with clang++-16 (clang 14's
# <source_location> does not work with libstdc++ 12), AddressSanitizer and
# UndefinedBehaviorSanitizer (any report is fatal) and libFuzzer's coverage
# in the library itself. Each target starts from its seeds in
# fuzz/corpus/<target>/ (never written to; new inputs go to a scratch
# directory) with a fixed seed, so a run is repeatable. A crash, leak,
# sanitizer report, unexpected exception or mismatch fails the target; its
# input is kept in BUILD_DIR/fuzz-findings/. The targets use the
# dictionaries in fuzz/corpus/*.dict. Prints one line per target, then
# "N passed, N failed". Installs clang through scripts/install-perf-deps.sh
# when it is missing; needs root or unprivileged user namespaces.

set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
build=${1:-build-fuzz}
runs=${2:-20000}
cxx=${FUZZ_CXX:-clang++-16}

fail_all() {
    echo "$1" >&2
    echo "0 passed, 1 failed"
    exit 1
}

command -v "$cxx" >/dev/null || scripts/install-perf-deps.sh ||
    fail_all "cannot install the fuzzing tools (scripts/install-perf-deps.sh)"
command -v "$cxx" >/dev/null || fail_all "$cxx is missing"
if [ ! -f "$build/build.ninja" ]; then
    CXX=$cxx meson setup "$build" -Dfuzzing=true \
        -Db_sanitize=address,undefined -Db_lundef=false \
        "-Dcpp_args=-fsanitize=fuzzer-no-link -fno-sanitize-recover=all" \
        -Dtests=disabled -Dexamples=disabled -Dtools=disabled \
        -Dbenchmarks=disabled -Dwerror=false >"$build.setup.log" 2>&1 ||
        fail_all "meson setup $build failed; see $build.setup.log"
    rm -f "$build.setup.log"
fi
meson compile -C "$build" -j "${BUILD_JOBS:-$(nproc)}" >/dev/null ||
    fail_all "building the fuzz targets in $build failed"

for symbolizer in llvm-symbolizer-16 llvm-symbolizer; do
    if command -v "$symbolizer" >/dev/null; then
        export ASAN_SYMBOLIZER_PATH
        ASAN_SYMBOLIZER_PATH=$(command -v "$symbolizer")
        break
    fi
done

findings=$build/fuzz-findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# target name, inputs to run, extra libFuzzer flags
attributes=-dict=fuzz/corpus/attribute.dict
targets=(
    "detected $runs -max_len=12000 $attributes"
    "chip_id $runs -max_len=12000 $attributes"
    "iface_ver $runs -max_len=12000 $attributes"
    "fw_version $runs -max_len=12000 $attributes"
    "blocks $runs -max_len=12000 $attributes"
    "hpm_chip $runs -max_len=256 $attributes"
    "board_file $runs -dict=fuzz/corpus/board_file.dict"
)

passed=0
failed=0
for entry in "${targets[@]}"; do
    read -r name count flags <<<"$entry"
    mkdir -p "$scratch/$name"
    log=$scratch/$name.log
    # shellcheck disable=SC2086 # flags are separate words
    timeout 900 "$build/fuzz/fuzz-$name" -runs="$count" -seed=1 \
        -timeout=10 $flags -artifact_prefix="$findings/$name-" \
        "$scratch/$name" "fuzz/corpus/$name" >"$log" 2>&1
    status=$?
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
    if [ "$status" -eq 0 ] && [ -n "$done_line" ]; then
        passed=$((passed + 1))
        echo "ok   $name:$(echo "${done_line#*DONE}" | tr -s ' \t' ' ')"
    else
        failed=$((failed + 1))
        echo "FAIL $name (exit $status):"
        grep -E 'outcomes differ|library:|expected:|ERROR|SUMMARY|child|Test unit written|terminate|what\(\)' \
            "$log" | head -12 | sed 's/^/    /'
        cp "$log" "$findings/$name.log"
        echo "    full log: $findings/$name.log"
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
