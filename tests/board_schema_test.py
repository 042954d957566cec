#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""docs/board.schema.json against what it states and what restates it.

Every example board and the snapshots fpgatool takes of them validate; no
file of the fuzz corpus that `fpga-sim --check` accepts is one the schema
rejects; docs/board-format.md's field tables, the settable fields that
fpga-sim's completion offers and the fuzz dictionary name the schema's
fields. Usage: board_schema_test.py SOURCE_ROOT FPGA_SIM FPGATOOL."""
import glob, json, os, re, subprocess, sys, tempfile

try:
    import jsonschema
except ImportError:
    print("skipped: no python3-jsonschema (scripts/install-deps.sh)")
    sys.exit(77)

root, sim, tool = sys.argv[1:4]
schema = json.load(open(f"{root}/docs/board.schema.json"))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
defs = schema["$defs"]
checks = {True: 0, False: 0}


def expect(what, ok, detail=""):
    print(f"{'ok' if ok else 'FAILED'}: {what} {'' if ok else detail}")
    checks[ok] += 1


def problem(path):
    try:
        doc = json.load(open(path, encoding="utf-8"))
    except ValueError as e:
        return f"no JSON: {e}"
    best = jsonschema.exceptions.best_match(validator.iter_errors(doc))
    return best and f"{'.'.join(map(str, best.absolute_path))}: {best.message}"


boards = sorted(glob.glob(f"{root}/examples/boards/*.json"))
with tempfile.TemporaryDirectory() as tmp:
    for board in boards[:3]:
        shot = f"{tmp}/{os.path.basename(board)}"
        taken = subprocess.run([sim, "--board", board, "--", tool, "snapshot",
                                "-o", shot], capture_output=True, text=True)
        expect(f"snapshot of {board}", taken.returncode == 0, taken.stderr)
        boards.append(shot)
    for board in boards:
        expect(f"schema accepts {board}", not problem(board), problem(board))
for path in sorted(glob.glob(f"{root}/fuzz/corpus/board_file/*")):
    checked = subprocess.run([sim, "--check", path], capture_output=True)
    expect(f"--check and schema agree on {path}",
           checked.returncode != 0 or not problem(path), problem(path))

# What restates the fields: each names the same fields as the schema.
chip, node = defs["chip"]["properties"], defs["normalNode"]["properties"]
tables = {"Top level": schema["properties"], "Chips": chip, "Nodes": node,
          "Scenario": defs["step"]["properties"]}
doc = open(f"{root}/docs/board-format.md").read()
for heading, fields in tables.items():
    section = doc.split(f"\n## {heading}\n")[1].split("\n## ")[0]
    table = re.search(r"\| Field \|.*?\n\n", section, re.S).group(0)
    named = set(re.findall(r"^\| `([^`]+)`(?:, `([^`]+)`)?", table, re.M))
    named = {n for pair in named for n in pair if n}
    expect(f"board-format.md's {heading} table", named == set(fields),
           sorted(named ^ set(fields)))
nodes = schema["properties"]["nodes"]["properties"]
settable = {k for k, v in schema["properties"].items()
            if not v.get("readOnly") and k not in ("$schema", "chips", "nodes")}
settable |= {f"chips.{c}.{a}" for c in ("local", "r0", "r1", "r2", "r3")
             for a in chip}
settable |= {f"nodes.{n}.{f}" for n in nodes for f in node}
completion = subprocess.run(
    ["bash", "-c", f'. {root}/tools/fpga-sim/fpga-sim.bash-completion; '
     'COMP_WORDS=(fpga-sim ctl s set ""); COMP_CWORD=4; _fpga_sim; '
     'printf "%s\\n" "${COMPREPLY[@]}"'], capture_output=True, text=True)
offered = set(completion.stdout.split())
expect("the completion's settable fields", offered == settable,
       sorted(offered ^ settable))
words = set(re.findall(r'^"\\"(.*)\\""$', open(
    f"{root}/fuzz/corpus/board_file.dict").read(), re.M))
keys, enums = set(), set()


def walk(part):
    if isinstance(part, dict):
        keys.update(part.get("properties", {}))
        enums.update(e for e in part.get("enum", []) if isinstance(e, str))
    for child in part.values() if isinstance(part, dict) else part:
        if isinstance(child, (dict, list)):
            walk(child)


walk(schema)
expect("the fuzz dictionary", keys | enums <= words,
       sorted((keys | enums) - words))
print(f"{checks[True]} passed, {checks[False]} failed")
sys.exit(1 if checks[False] else 0)
