#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Check that each measured call makes exactly the system calls its work
# needs, and nothing else.
#
#     scripts/check-syscalls.sh [BUILD_DIR]      (default: build)
#
# Builds the call probe (benchmarks/call-probe) in BUILD_DIR, configuring
# it when needed, and runs each call once under strace after a first call
# has filled the library's caches, through the library and through its
# floor (benchmarks/bench_calls.cpp: the same work in plain POSIX calls on
# the paths and positions of the driver's layout). Between the probe's
# markers the floor's system calls must be made only of
#
#   attribute read:  openat(path, O_RDONLY|O_CLOEXEC), read, close
#   node transfer:   openat(node, O_RDWR|O_CLOEXEC), lseek(position),
#                    read(count), close
#
# and the library's must be exactly the floor's, in order: the same files,
# positions and counts, nothing more. Prints one line per call, then
# "N passed, N failed". Installs strace through scripts/install-perf-deps.sh
# when it is missing; needs root or unprivileged user namespaces.

set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
build=${1:-build}

if ! command -v strace >/dev/null &&
    ! { scripts/install-perf-deps.sh && command -v strace >/dev/null; }; then
    echo "strace is missing (scripts/install-perf-deps.sh)" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
if [ ! -f "$build/build.ninja" ] && ! meson setup "$build" >/dev/null; then
    echo "0 passed, 1 failed"
    exit 1
fi
if ! meson compile -C "$build" -j 1 benchmarks/call-probe >/dev/null; then
    echo "cannot build $build/benchmarks/call-probe" >&2
    echo "0 passed, 1 failed"
    exit 1
fi

python3 - "$build/benchmarks/call-probe" <<'EOF_PY'
import re
import subprocess
import sys
import tempfile

probe = sys.argv[1]
call_re = re.compile(r'^(\w+)\((.*)\)\s+= (-?\w+)')


def normalise(lines):
    """One word per system call: its name, the file it works on (by path,
    following descriptors), and for seeks and node reads the position or
    count."""
    fds = {}
    out = []
    for line in lines:
        m = call_re.match(line)
        if not m:
            out.append(line.strip())
            continue
        name, args, result = m.groups()
        parts = [a.strip() for a in args.split(",")]
        if name == "openat":
            path = parts[1].strip('"')
            fds[result] = path
            out.append(f"openat {path} {parts[2]}")
        elif name in ("read", "close", "lseek", "write") and parts[0] in fds:
            path = fds[parts[0]]
            if name == "lseek":
                out.append(f"lseek {path} {parts[1]}")
            elif name == "read" and path.startswith("/dev/"):
                out.append(f"read {path} {parts[-1]}")
            else:
                out.append(f"{name} {path}")
        else:
            out.append(f"{name}({args}) = {result}")
    return out


def trace(call, side):
    """The normalised system calls of one call between the markers, or an
    error text."""
    with tempfile.NamedTemporaryFile(mode="r", suffix=".strace") as log:
        run = subprocess.run(["strace", "-f", "-qq", "-s", "0", "-e",
                              "signal=none", "-o", log.name, probe, call,
                              side], capture_output=True, text=True)
        lines = [re.sub(r"^\d+\s+", "", l) for l in log.read().splitlines()]
    marks = [i for i, l in enumerate(lines)
             if '"/call-probe/begin"' in l or '"/call-probe/end"' in l]
    if run.returncode != 0 or len(marks) != 2:
        return f"the {side} did not run (exit {run.returncode}): " \
            f"{run.stderr.strip()}"
    return normalise(lines[marks[0] + 1:marks[1]])


def units(calls):
    """The attribute reads and node transfers the calls are made of, or
    None when they are anything else."""
    made = []
    while calls:
        m = re.fullmatch(r"openat (\S+) (\S+)", calls[0])
        if not m:
            return None
        path = re.escape(m[1])
        attribute = [rf"read {path}", rf"close {path}"]
        node = [rf"lseek {path} \d+", rf"read {path} \d+", rf"close {path}"]
        shape = attribute if m[2] == "O_RDONLY|O_CLOEXEC" else \
            node if m[2] == "O_RDWR|O_CLOEXEC" and m[1].startswith("/dev/") \
            else None
        if shape is None or len(calls) <= len(shape) or not all(
                re.fullmatch(p, c) for p, c in zip(shape, calls[1:])):
            return None
        made.append("node" if shape is node else "attribute")
        calls = calls[1 + len(shape):]
    return made


calls = subprocess.run([probe, "--list"], capture_output=True,
                       text=True).stdout.split()
passed = failed = 0
for call in calls or ["(no calls listed)"]:
    got, want = trace(call, "library"), trace(call, "floor")
    problem = next((t for t in (want, got) if isinstance(t, str)), None)
    if problem is None and units(want) is None:
        problem = "the floor makes other system calls than attribute " \
            "reads and node transfers"
    if problem is None and got == want:
        passed += 1
        opens = sum(g.startswith("openat") for g in got)
        print(f"ok   {call}: {len(got)} system calls "
              f"({opens} open, {len(got) - 2 * opens} read/seek, "
              f"{opens} close)")
        continue
    failed += 1
    print(f"FAIL {call}" + (f": {problem}" if problem else ""))
    if isinstance(got, list) and isinstance(want, list):
        for i in range(max(len(got), len(want))):
            g = got[i] if i < len(got) else "-"
            w = want[i] if i < len(want) else "-"
            print(f"    {'  ' if g == w else '!!'} got {g:60} floor {w}")
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
EOF_PY
