#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Compare the journal entries two builds' test runs recorded.

    scripts/compare-journal.py RECORD_A RECORD_B

Each RECORD is the file a run of the suite wrote with
FPGA_TEST_JOURNAL_RECORD=FILE (tests/support/journal.hpp): one JSON line per
captured entry, {"test", "program", "index", "fields": [[key, value], ...]}.
For every test case of the test programs that both files hold, the case's
entries must be equal, in number and field by field in the order sent:
MESSAGE, LOG2_FMTMSG, PRIORITY, CODE_FILE, CODE_LINE, CODE_FUNC, every named
field and SYSLOG_IDENTIFIER. Prints the first differences, then one line
"N passed, N failed" counting compared cases; exits non-zero on a difference,
or when the two files have no test program in common.

When either file is missing (its leg did not run, or was skipped), prints
one line saying so and "0 passed, 0 failed, 1 skipped", and exits 0.
"""

import difflib
import json
import os
import re
import sys
from collections import defaultdict

# How many differing cases are shown in full.
SHOWN = 10

# GCC names std::size_t by its underlying type in the template arguments of
# a function name ("[with ...; std::size_t = long unsigned int]"), and that
# type is "long unsigned int" on a 64-bit build, "unsigned int" on 32-bit
# ARM. The spelling says which machine compiled the code, not which journal
# layer wrote the entry; only this clause of CODE_FUNC is made equal.
SIZE_T = re.compile(r"(\bstd::size_t = )(?:long )?unsigned int\b")


def normalise(fields):
    """The fields of an entry, with only the word-size spelling above made
    equal."""
    return [
        (key, SIZE_T.sub(r"\1<size_t>", value) if key == "CODE_FUNC"
         else value)
        for key, value in fields
    ]


def load(path):
    """Entries of each (program, case), ordered by index, and problems."""
    cases = defaultdict(dict)
    problems = []
    with open(path, encoding="utf-8", errors="replace") as record:
        for number, line in enumerate(record, 1):
            try:
                entry = json.loads(line)
                case = (entry["program"], entry["test"])
                index = int(entry["index"])
                fields = [(str(k), str(v)) for k, v in entry["fields"]]
            except (ValueError, KeyError, TypeError) as e:
                problems.append(f"{path}:{number}: not a record line ({e})")
                continue
            if index in cases[case]:
                problems.append(f"{path}:{number}: {case[0]} {case[1]} has "
                                f"entry {index} twice")
            cases[case][index] = fields
    ordered = {}
    for case, entries in cases.items():
        indexes = sorted(entries)
        if indexes != list(range(len(indexes))):
            problems.append(f"{path}: {case[0]} {case[1]} has entries "
                            f"{indexes}, not 0 to {len(indexes) - 1}")
        ordered[case] = [entries[i] for i in indexes]
    return ordered, problems


def show(fields):
    return ", ".join(f"{k}={json.dumps(v)}" for k, v in fields)


def field_lines(name_a, fa, name_b, fb):
    """The fields in which entries fa and fb differ, as sent."""
    lines = []
    na, nb = normalise(fa), normalise(fb)
    for j in range(max(len(na), len(nb))):
        if j < len(na) and j < len(nb) and na[j] == nb[j]:
            continue
        ka, va = fa[j] if j < len(fa) else ("(none)", "")
        kb, vb = fb[j] if j < len(fb) else ("(none)", "")
        lines.append(f"    field {j}: {name_a}: {ka}={json.dumps(va)}")
        lines.append(f"    {' ' * len(str(j))}        {name_b}: "
                     f"{kb}={json.dumps(vb)}")
    return lines


def differences(name_a, a, name_b, b, shown=3):
    """Lines describing how the entry lists a and b of one case differ (none
    if they are equal): entries matched in order, those without a match
    shown whole, the others field by field; the first few only."""
    lines = []
    if len(a) != len(b):
        lines.append(f"  {len(a)} entries in {name_a}, {len(b)} in {name_b}")
    matcher = difflib.SequenceMatcher(
        None, [tuple(normalise(f)) for f in a],
        [tuple(normalise(f)) for f in b], autojunk=False)
    told = 0
    for op, a1, a2, b1, b2 in matcher.get_opcodes():
        if op == "equal":
            continue
        pairs = min(a2 - a1, b2 - b1) if op == "replace" else 0
        for i in range(pairs):
            if told < shown:
                lines.append(f"  entry {a1 + i} ({name_a}) / {b1 + i} "
                             f"({name_b}):")
                lines += field_lines(name_a, a[a1 + i], name_b, b[b1 + i])
            told += 1
        for name, entries, first, last in ((name_a, a, a1 + pairs, a2),
                                           (name_b, b, b1 + pairs, b2)):
            for i in range(first, last):
                if told < shown:
                    lines.append(f"  entry {i} only in {name}: "
                                 f"{show(entries[i])}")
                told += 1
    if told > shown:
        lines.append(f"  ... and {told - shown} more")
    return lines


def main():
    if len(sys.argv) != 3:
        print("usage: " + __doc__.strip().splitlines()[2].strip(),
              file=sys.stderr)
        return 2
    path_a, path_b = sys.argv[1:]
    for path in (path_a, path_b):
        if not os.path.isfile(path):
            print(f"parity: {path} not found (its leg did not run here), "
                  "nothing to compare")
            print("0 passed, 0 failed, 1 skipped")
            return 0

    name_a = os.path.dirname(path_a) or path_a
    name_b = os.path.dirname(path_b) or path_b
    a, problems_a = load(path_a)
    b, problems_b = load(path_b)
    for problem in problems_a + problems_b:
        print(problem)

    # A test program that only one build has (fpga-sim's tests are not
    # cross-built) is not compared. A program both ran runs the same cases
    # in both: a case that logged in one build only differs (no entries in
    # the other).
    programs = {p for p, _ in a} & {p for p, _ in b}
    compared = sorted(c for c in set(a) | set(b) if c[0] in programs)
    for name, cases in ((name_a, a), (name_b, b)):
        alone = sorted({p for p, _ in cases} - programs)
        if alone:
            print(f"not compared, recorded by {name} only: "
                  f"{', '.join(alone)}")

    failed = []
    for case in compared:
        lines = differences(name_a, a.get(case, []), name_b, b.get(case, []))
        if lines:
            failed.append((case, lines))
    for (program, test), lines in failed[:SHOWN]:
        print(f"DIFFERS {program} {test}")
        print("\n".join(lines))
    if len(failed) > SHOWN:
        print(f"... and {len(failed) - SHOWN} more differing cases")

    passed = len(compared) - len(failed)
    print(f"compared {len(compared)} cases: "
          f"{sum(len(a.get(c, [])) for c in compared)} entries in {name_a}, "
          f"{sum(len(b.get(c, [])) for c in compared)} in {name_b}")
    if not compared:
        print(f"parity: {path_a} and {path_b} have no test program in common")
    # A broken record, or nothing to compare, fails once more.
    fails = len(failed) + bool(problems_a or problems_b or not compared)
    print(f"{passed} passed, {fails} failed")
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main())
