#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Big boards under fpga-sim: a scenario of many steps and megabytes of
registers. Run by scripts/bench-fpga-sim.sh --boards, which says what it
measures. Usage: board_benchmark.py FPGA_SIM STEPS MEGABYTES."""
import json, os, statistics, subprocess, sys, tempfile, time

sim, steps, megabytes = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
attr = "/sys/bus/spi/devices/spi2.2/fpga_rmt0_detected"
limit = 120


def timed(argv):
    """Seconds and peak RSS (kB) of one run; None when past the limit."""
    begin = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    deadline = begin + limit
    while time.perf_counter() < deadline:
        pid, status, usage = os.wait4(child.pid, os.WNOHANG)
        if pid:
            if status != 0:
                sys.exit(f"{' '.join(argv)} failed ({status})")
            return time.perf_counter() - begin, usage.ru_maxrss
        time.sleep(0.005)
    child.kill()
    child.wait()
    return None, None


def report(name, argv, runs=3):
    results = []
    while len(results) < runs and (not results or results[-1][0]):
        results.append(timed(argv))
    if results[-1][0] is None:
        print(f"{name:<34} > {limit} s (stopped)")
        return
    s = statistics.median(r[0] for r in results)
    rss = max(r[1] for r in results)
    print(f"{name:<34} {s * 1e3:10.1f} ms  {rss / 1024:8.1f} MB peak RSS")


with tempfile.TemporaryDirectory() as tmp:
    chip = {"r0": {"detected": 1, "chipId": "0x41"}}
    with open(f"{tmp}/steps.json", "w") as f:
        json.dump({"chips": chip, "scenario": [
            {"after": {"accesses": 0}, "set": {"chips.r0.detected": i % 2}}
            for i in range(1, steps + 1)]}, f)
    entry = " ".join(["a5"] * 256)
    count = megabytes * 1000 * 1000 // (len(entry) + 30)
    with open(f"{tmp}/big.json", "w") as f:
        json.dump({"chips": chip, "nodes": {"fpga-r0-adi": {"registers": [
            {"position": i * 4096, "bytes": entry} for i in range(count)]}}},
            f)
    print(f"{steps} steps: {os.path.getsize(tmp + '/steps.json') / 1e6:.1f}"
          f" MB; big board: {os.path.getsize(tmp + '/big.json') / 1e6:.1f}"
          f" MB, {count} entries of 256 bytes")
    for board in ("steps", "big"):
        path = f"{tmp}/{board}.json"
        report(f"--check {board}", [sim, "--check", path])
        report(f"cat an attribute, {board}",
               [sim, "--board", path, "--", "cat", attr])
    socket = f"{tmp}/control"
    # The command reads an attribute over and over until told to stop, and
    # says the longest one read took: how long a request of the command
    # waited while the requests below were served.
    reader = ("import os, time\nlongest = 0\n"
              f"while not os.path.exists('{tmp}/stop'):\n"
              "    begin = time.perf_counter()\n"
              f"    open('{attr}').read()\n"
              "    longest = max(longest, time.perf_counter() - begin)\n"
              f"open('{tmp}/longest', 'w').write(str(longest))\n")
    server = subprocess.Popen([sim, "--board", f"{tmp}/big.json", "--control",
                               socket, "--", "python3", "-c", reader])
    for _ in range(limit * 100):
        if os.path.exists(socket):
            break
        time.sleep(0.01)
    for name, words in (("set", ["set", "chips.r0.detected", "0"]),
                        ("get", ["get", "chips.r0.detected"]),
                        ("peek", ["peek", "fpga-r0-adi", "0", "0", "256"]),
                        ("board", ["board"])):
        spent = []
        for i in range(5):
            begin = time.perf_counter()
            subprocess.run([sim, "ctl", socket] + words, check=True,
                           stdout=subprocess.DEVNULL)
            spent.append(time.perf_counter() - begin)
        print(f"{'ctl ' + name + ' on the big board':<34} "
              f"{statistics.median(spent) * 1e3:10.1f} ms"
              f"  (fastest {min(spent) * 1e3:.1f} ms)")
    open(f"{tmp}/stop", "w").close()
    server.wait()
    longest = float(open(f"{tmp}/longest").read())
    print(f"{'longest attribute read meanwhile':<34} {longest * 1e3:10.1f} ms")
