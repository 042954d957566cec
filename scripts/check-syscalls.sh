#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Check that each measured call makes exactly the system calls its work
# needs, and nothing else.
#
#     scripts/check-syscalls.sh [BUILD_DIR]      (default: build)
#
# Builds the call probe (benchmarks/call-probe) in BUILD_DIR, configuring
# it when needed, and runs each call once under strace after a first call
# has filled the library's caches. The system calls between the probe's
# markers must be, in order, exactly the expected ones:
#
#   attribute read:  openat(path, O_RDONLY|O_CLOEXEC), read, close
#   node transfer:   openat(node, O_RDWR|O_CLOEXEC), lseek(position),
#                    read(count), close
#
# A checked access is "detected" and "blocks" of its chip, then the node;
# an HPM access first reads the HPM chip's "iface_ver" and "blocks" (its
# routing reads). Prints one line per call, then "N passed, N failed".
# Installs strace through scripts/install-perf-deps.sh when it is missing;
# needs root or unprivileged user namespaces.

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
sysfs = "/sys/bus/spi/devices/spi2.2/"


def attr(name):
    path = sysfs + name
    return [f"openat {path} O_RDONLY|O_CLOEXEC", f"read {path}",
            f"close {path}"]


def node(path, position, count):
    return [f"openat {path} O_RDWR|O_CLOEXEC", f"lseek {path} {position}",
            f"read {path} {count}", f"close {path}"]


def checked(chip, path, position, count):
    return attr(chip + "detected") + attr(chip + "blocks") + \
        node(path, position, count)


def hpm(path, position, count):
    # The HPM blocks of the benchmark board are on remote FPGA 1.
    return attr("fpga_rmt1_iface_ver") + attr("fpga_rmt1_blocks") + \
        checked("fpga_rmt1_", path, position, count)


# The benchmark board (benchmarks/bench_calls.cpp) and its registers.
expected = {
    "rawNormalAccess/1": checked("fpga_loc_", "/dev/fpga-cdev", 0x10, 1),
    "rawNormalAccess/16": checked("fpga_loc_", "/dev/fpga-cdev", 0x10, 16),
    "rawRemoteAdiAccess":
        checked("fpga_rmt2_", "/dev/fpga-r2-adi", 0x08E01230, 16),
    "rawHpmNormalAccess": hpm("/dev/fpga-r1", 0x4B, 1),
    "getInterrupts": hpm("/dev/fpga-r1", 0x60, 16) +
        hpm("/dev/fpga-r1", 0x70, 16),
    "getThermals": hpm("/dev/fpga-r1", 0x80, 16) +
        hpm("/dev/fpga-r1-adi", 0x08E00000, 127 * 16),
    "getPlatform": attr("fpga_loc_chip_id") +
        checked("fpga_rmt0_", "/dev/fpga-r0", 0x19, 1) +
        checked("fpga_rmt0_", "/dev/fpga-r0", 0x17, 1) +
        checked("fpga_rmt0_", "/dev/fpga-r0", 0xCB, 2),
}

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


passed = failed = 0
for call, want in expected.items():
    with tempfile.NamedTemporaryFile(mode="r", suffix=".strace") as log:
        run = subprocess.run(["strace", "-f", "-qq", "-s", "0", "-e",
                              "signal=none", "-o", log.name, probe, call],
                             capture_output=True, text=True)
        lines = [re.sub(r"^\d+\s+", "", l) for l in log.read().splitlines()]
    try:
        begin = next(i for i, l in enumerate(lines)
                     if '"/call-probe/begin"' in l)
        end = next(i for i, l in enumerate(lines)
                   if '"/call-probe/end"' in l)
    except StopIteration:
        print(f"FAIL {call}: the probe did not run "
              f"(exit {run.returncode}): {run.stderr.strip()}")
        failed += 1
        continue
    got = normalise(lines[begin + 1:end])
    if run.returncode == 0 and got == want:
        passed += 1
        opens = sum(g.startswith("openat") for g in got)
        print(f"ok   {call}: {len(got)} system calls "
              f"({opens} open, {len(got) - 2 * opens} read/seek, "
              f"{opens} close)")
    else:
        failed += 1
        print(f"FAIL {call} (probe exit {run.returncode})")
        for i in range(max(len(got), len(want))):
            g = got[i] if i < len(got) else "-"
            w = want[i] if i < len(want) else "-"
            print(f"    {'  ' if g == w else '!!'} got {g:60} want {w}")
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
EOF_PY
