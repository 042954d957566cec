#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Build one ninja target and check the outcome.

    check_compile.py NINJA BUILD_DIR TARGET accepts
    check_compile.py NINJA BUILD_DIR TARGET rejects REGEX

BUILD_DIR holds build.ninja (a subproject's has none); TARGET is a path.
"accepts": the target must build. "rejects": it must not, and the
compiler's output must match REGEX (so that it fails for the reason the
case is about, not for a broken include path).
"""
import os
import re
import subprocess
import sys

ninja, build, target, expect = sys.argv[1:5]
target = os.path.relpath(target, build)
run = subprocess.run([ninja, "-C", build, target], capture_output=True,
                     text=True)
output = run.stdout + run.stderr
if expect == "accepts":
    ok = run.returncode == 0
else:
    ok = run.returncode != 0 and re.search(sys.argv[5], output) is not None
if not ok:
    print(output)
    print(f"{target}: expected the build to {expect[:-1]}"
          + (f" matching {sys.argv[5]!r}" if expect == "rejects" else ""))
sys.exit(0 if ok else 1)
