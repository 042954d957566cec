#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Run the test suite in every build that CI proves, and sum the cases.
#
#     scripts/run-all-tests.sh [LEG...]
#         (default: native armhf parity downstream asan tsan fuzz syscalls)
#
# Legs, each in a build directory of its own:
#   native    the suite as scripts/run-tests.sh runs it (build/), with the
#             built-in journal layer
#   armhf     the BMC configuration: lg2 built from ../shared/third_party
#             (scripts/build-lg2.sh, build-lg2-armhf/), the library built
#             against it (-Dlg2=enabled) and the suite, all cross-built for
#             32-bit ARM (cross/armhf.ini, build-armhf/) and run under
#             qemu-arm-static; installs the toolchain first
#             (scripts/install-armhf.sh). Skipped, not passed, without
#             ../shared/third_party (a clone outside this workplace).
#   parity    the journal entries each case got in the native and armhf
#             legs' last runs (build*/journal.jsonl), compared field by
#             field (scripts/compare-journal.py); skipped when either leg
#             left no record
#   downstream  scripts/check-downstream.sh: the native build installed
#             and its programs run from there, and examples/downstream, a
#             project that takes libfpga as a meson subproject, built, tested
#             on libfpga-sim and installed (build-downstream/), set up
#             against that install, and built for armhf with the toolchain
#             the armhf leg installs; what meson setup refuses
#   asan      the suite with AddressSanitizer and UndefinedBehaviorSanitizer
#             (build-asan/); any finding fails its case
#   tsan      the concurrency cases (gtest names containing "Concurrent")
#             with ThreadSanitizer (build-tsan/)
#   fuzz      scripts/run-fuzz.sh, the short libFuzzer runs
#   syscalls  scripts/check-syscalls.sh: the system calls of each measured
#             call, under strace (build-syscalls/)
#   valgrind  the suite under valgrind memcheck (build-valgrind/); not in the
#             default set: a build of its own, then about a minute
#
# Every leg ends with a line "N passed, N failed[, N skipped]"; a leg that
# ends without one (a failed install or set-up) counts as one failed case.
# The last line printed is the sum over the legs in the same form, and the
# exit status is non-zero when any leg failed.
#
# BUILD_JOBS, passed on to scripts/run-tests.sh, sets the compile jobs of
# every build (default: one per processor).

# The legs are functions called by name (leg${leg^}).
# shellcheck disable=SC2317
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
legs=("$@")
[ ${#legs[@]} -gt 0 ] || legs=(native armhf parity downstream asan tsan fuzz syscalls)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Options of every extra build: only the library and the tests.
lean=(-Dexamples=disabled -Dbenchmarks=disabled)

# Set DIR up with the options given (again, for a directory set up
# before: its options may be older than the project's). Meson keeps a
# directory's cross files on --reconfigure: a directory set up with other
# ones ("--cross-file FILE" here) is set up anew.
configure() {
    local dir=$1 arg next="" cross=() want had
    shift
    for arg in "$@"; do
        [ "$next" = cross ] && cross+=("$arg")
        next=""
        [ "$arg" = --cross-file ] && next=cross
    done
    if [ ! -f "$dir/build.ninja" ]; then
        meson setup "$dir" "$@"
        return
    fi
    want=$(python3 -c 'import os, sys
print([os.path.abspath(f) for f in sys.argv[1:]])' "${cross[@]}")
    had=$(sed -n 's/^cross_file = //p' "$dir/meson-private/cmd_line.txt" \
        2>/dev/null)
    if [ "${had:-[]}" = "$want" ]; then
        meson setup --reconfigure "$dir" "$@"
    else
        meson setup --wipe "$dir" "$@"
    fi
}

# The journal entries a leg's cases capture (tests/support/journal.hpp),
# which the parity leg compares.
record=journal.jsonl

# Run COMMAND... (ending in scripts/run-tests.sh DIR) with the cases
# recording their entries into DIR/$record, started empty.
runRecorded() {
    local dir=${*: -1}
    mkdir -p "$dir" && : >"$dir/$record" || return 1
    FPGA_TEST_JOURNAL_RECORD=$root/$dir/$record "$@"
}

legNative() {
    runRecorded scripts/run-tests.sh build
}

legDownstream() {
    scripts/check-downstream.sh build
}

thirdParty=$root/../shared/third_party

legArmhf() {
    rm -f "build-armhf/$record"
    if [ ! -d "$thirdParty" ]; then
        echo "armhf: ../shared/third_party not found: the BMC configuration" \
            "(real lg2) is not built"
        echo "0 passed, 0 failed, 1 skipped"
        return 0
    fi
    if ! scripts/install-armhf.sh; then
        echo "armhf: the toolchain or the armhf libraries did not install" \
            "(scripts/install-armhf.sh, above)"
        return 1
    fi
    if ! scripts/build-lg2.sh armhf build-lg2-armhf; then
        echo "armhf: lg2 did not build (scripts/build-lg2.sh, above)"
        return 1
    fi
    # lg2-armhf.ini puts the lg2 prefix on the armhf pkg-config path; nothing
    # else sees it, the native build keeps the built-in layer.
    configure build-armhf --cross-file cross/armhf.ini \
        --cross-file build-lg2-armhf/lg2-armhf.ini -Dlg2=enabled \
        -Dtools=disabled "${lean[@]}" || {
        echo "armhf: meson setup against lg2 (build-lg2-armhf/) failed (above)"
        return 1
    }
    # An ordinary user cannot create a user namespace inside qemu-user
    # (qemu runs threads of its own): make one around the whole run, in
    # which the tests are root and need only a mount namespace.
    if [ "$(id -u)" -ne 0 ] && unshare -Ur true 2>/dev/null; then
        runRecorded unshare -Ur scripts/run-tests.sh build-armhf
    else
        runRecorded scripts/run-tests.sh build-armhf
    fi
}

# The BMC build (real lg2, armhf) writes the journal entries of the native
# build (built-in layer), field for field.
legParity() {
    python3 scripts/compare-journal.py "build/$record" "build-armhf/$record"
}

# GCC 12 warns of maybe-uninitialized values inside std::regex and
# std::function when the sanitizers instrument them (false positives); the
# native build keeps the warning. The sanitized builds are made at -O1 with
# line tables only (-g1), as the sanitizers' own guides suggest: half the
# compile time of -O2 -g, and reports still name file and line.
sanitized=(-Db_lundef=false -Doptimization=1
    "-Dcpp_args=['-fno-sanitize-recover=all','-Wno-maybe-uninitialized','-g1']")

legAsan() {
    configure build-asan -Db_sanitize=address,undefined "${sanitized[@]}" \
        "${lean[@]}" || return 1
    # Forked cases end with _exit; the fork helper runs the leak check
    # itself before that.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        scripts/run-tests.sh build-asan
}

legTsan() {
    configure build-tsan -Db_sanitize=thread "${sanitized[@]}" -Dtools=disabled \
        "${lean[@]}" || return 1
    # ThreadSanitizer maps its shadow memory at fixed places, which the
    # kernel's wider address randomisation can occupy: run without it.
    GTEST_FILTER='*Concurrent*' \
        TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp" \
        setarch "$(uname -m)" -R scripts/run-tests.sh build-tsan
}

legFuzz() {
    scripts/run-fuzz.sh
}

# Each measured call makes exactly the system calls its work needs.
legSyscalls() {
    scripts/check-syscalls.sh build-syscalls
}

legValgrind() {
    configure build-valgrind "${lean[@]}" || return 1
    scripts/run-tests.sh build-valgrind --timeout-multiplier=20 \
        --wrap="valgrind --quiet --error-exitcode=99 --leak-check=full \
--errors-for-leak-kinds=definite --show-leak-kinds=definite \
--suppressions=$root/tests/valgrind.supp --gen-suppressions=all"
}

summary=$'\n'
passed=0
failed=0
skipped=0
status=0
for leg in "${legs[@]}"; do
    run="leg${leg^}"
    if ! declare -F "$run" >/dev/null; then
        echo "unknown leg: $leg" >&2
        exit 2
    fi
    echo "=== $leg"
    start=$SECONDS
    "$run" 2>&1 | tee "$logs/$leg"
    legStatus=${PIPESTATUS[0]}
    seconds=$((SECONDS - start))
    counts=$(grep -E '^([A-Za-z]+: )?[0-9]+ passed, [0-9]+ failed' \
        "$logs/$leg" | tail -n 1 | sed 's/^[A-Za-z]*: //')
    if [ -z "$counts" ]; then
        counts="0 passed, 1 failed"
    elif [ "$legStatus" -ne 0 ] && [[ "$counts" == *" 0 failed"* ]]; then
        counts="${counts/ 0 failed/ 1 failed}"
    fi
    read -r p f s <<<"$(sed -E 's/^([0-9]+) passed, ([0-9]+) failed(, ([0-9]+) skipped)?.*/\1 \2 \4/' <<<"$counts")"
    passed=$((passed + p))
    failed=$((failed + f))
    skipped=$((skipped + ${s:-0}))
    [ "$legStatus" -eq 0 ] && [ "$f" -eq 0 ] || status=1
    summary+=$(printf '%-9s %4d s  %s' "$leg" "$seconds" "$counts")$'\n'
done

echo "$summary"
line="$passed passed, $failed failed"
[ "$skipped" -eq 0 ] || line+=", $skipped skipped"
echo "$line"
exit "$status"
