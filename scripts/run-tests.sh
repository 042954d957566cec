#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Build the project and run every test.
#
#     scripts/run-tests.sh [BUILD_DIR [MESON_TEST_ARGS...]]  (default: build)
#
# Configures BUILD_DIR when it is not configured yet, builds it, runs all
# tests with "meson test" (plus MESON_TEST_ARGS, e.g. --wrap=valgrind) and
# prints as its very last line
#
#     N passed, N failed[, N skipped]
#
# counting test cases (not test programs) from meson's JUnit log. A test
# program that died without writing its results (crash, timeout) counts all
# of its cases as failed. Exits non-zero when anything failed.
#
# BUILD_JOBS sets the compile jobs (default: one per processor).
#
# Works as root and as an ordinary user: the tests build their simulated
# boards in private (user) namespaces either way.

set -uo pipefail

case ${1:-} in -h | --help)
    sed -n '3,/^$/s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
esac

cd "$(dirname "$0")/.." || exit 1
build=${1:-build}
shift || true

if [ ! -f "$build/build.ninja" ]; then
    if ! meson setup "$build"; then
        echo "0 passed, 1 failed"
        exit 1
    fi
fi
if ! meson compile -C "$build" -j "${BUILD_JOBS:-$(nproc)}"; then
    echo "0 passed, 1 failed"
    exit 1
fi

# Stale logs of an earlier run must not be counted. (With --wrap, meson
# names the logs after the wrapper: testlog-valgrind.json.)
rm -f "$build"/meson-logs/testlog*.junit.xml "$build"/meson-logs/testlog*.json
meson test -C "$build" --no-rebuild --print-errorlogs "$@" \
    >"$build/test-output.txt" 2>&1
status=$?
# Show failures in full, the rest as meson's one line per program.
cat "$build/test-output.txt"

python3 - "$build" "$status" <<'EOF'
import glob
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

build, status = sys.argv[1], int(sys.argv[2])
logs = os.path.join(build, "meson-logs")


def log_file(suffix):
    """This run's meson log ending in suffix, or a path that is not there."""
    found = glob.glob(os.path.join(logs, "testlog*" + suffix))
    return found[0] if found else os.path.join(logs, "testlog" + suffix)


def cases_of(cmd):
    """Number of cases a gtest program holds, at least 1."""
    # The command may start with a wrapper (qemu-arm-static for a cross
    # build, --wrap): keep it, drop the arguments after the program.
    inside = os.path.abspath(build) + os.sep
    program = next((i for i, arg in enumerate(cmd)
                    if os.path.abspath(arg).startswith(inside)), 0)
    try:
        listing = subprocess.run(
            cmd[:program + 1] + ["--gtest_list_tests"], capture_output=True,
            text=True, timeout=60, cwd=build).stdout
    except (OSError, subprocess.SubprocessError):
        return 1
    return max(1, sum(1 for line in listing.splitlines()
                      if line.startswith("  ")))


commands, not_ok = {}, []
results = log_file(".json")
if os.path.exists(results):
    with open(results) as log:
        for line in log:
            if line.strip():
                result = json.loads(line)
                name = result["name"].split(" / ")[-1]
                commands[name] = result.get("command") or []
                if result["result"] not in ("OK", "SKIP", "EXPECTEDFAIL"):
                    not_ok.append(name)

# A gtest program's cases come as suites "<project>.<test>.<suite>". For a
# program that wrote no results (crash, timeout) meson puts one case named
# after the program into a suite named after the project; count all of the
# program's cases as failed instead.
tests = failed = skipped = 0
with_results, substitutes = set(), []
junit = log_file(".junit.xml")
if os.path.exists(junit):
    for suite in ET.parse(junit).getroot().iter("testsuite"):
        parts = suite.get("name", "").split(".")
        if len(parts) < 3:
            substitutes.extend(suite.iter("testcase"))
            continue
        with_results.add(parts[1])
        tests += int(suite.get("tests", 0))
        failed += int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skipped += int(suite.get("skipped", 0))
for case in substitutes:
    name = case.get("name", "")
    bad = case.find("failure") is not None or case.find("error") is not None
    if bad and name not in with_results:
        lost = cases_of(commands.get(name, []))
        tests += lost
        failed += lost
    else:
        tests += 1
        failed += bad
        skipped += case.find("skipped") is not None

if not_ok:
    print("test programs not OK: " + ", ".join(not_ok))
if status != 0 and failed == 0:
    # meson failed without a failing case to show for it.
    tests += 1
    failed += 1
passed = tests - failed - skipped
line = f"{passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
sys.exit(1 if failed or status else 0)
EOF
