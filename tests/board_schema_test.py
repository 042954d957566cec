#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
# docs/board.schema.json against what it states and what restates it.
#
# Every example board and the snapshots fpgatool takes of them validate;
# the schema and `fpga-sim --check` agree on the fuzz corpus and a few
# boards; docs/board-format.md's field tables, the settable fields that
# fpga-sim's completion offers and the fuzz dictionary name the schema's
# fields. Usage: board_schema_test.py SOURCE_ROOT FPGA_SIM FPGATOOL.
import glob, json, os, re, subprocess, sys, tempfile

try:
    import jsonschema
except ImportError:
    print("skipped: no python3-jsonschema (scripts/install-deps.sh)")
    sys.exit(77)

root, sim, tool = sys.argv[1:4]
names = set()  # every field name and named value of the schema
schema = json.load(open(f"{root}/docs/board.schema.json"), object_hook=lambda
                   d: names.update(d.get("properties", {}), [e for e in d.get(
                       "enum", []) if isinstance(e, str)]) or d)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
defs, checks = schema["$defs"], {True: 0, False: 0}


def expect(what, ok, detail=""):
    print(f"{'ok' if ok else 'FAILED'}: {what} {'' if ok else detail}")
    checks[ok] += 1


def problem(path):
    try:
        best = jsonschema.exceptions.best_match(validator.iter_errors(
            json.load(open(path, encoding="utf-8"))))
    except ValueError as e:
        return f"no JSON: {e}"
    return best and f"{list(best.absolute_path)}: {best.message}"


boards = sorted(glob.glob(f"{root}/examples/boards/*.json"))
with tempfile.TemporaryDirectory() as tmp:
    for board in boards[:3]:
        boards.append(f"{tmp}/{os.path.basename(board)}")
        taken = subprocess.run([sim, "--board", board, "--", tool, "snapshot",
                                "-o", boards[-1]], capture_output=True)
        expect(f"snapshot of {board}", taken.returncode == 0, taken.stderr)
    for board in boards:
        expect(f"schema accepts {board}", not problem(board), problem(board))
# The schema and --check agree on the fuzz corpus, but for files named
# rule-*: --check refuses them for a rule board-format.md lists as one the
# schema cannot say. The boards inline break a rule the schema can say.
with tempfile.TemporaryDirectory() as tmp:
    for i, text in enumerate([
            '{"nodes": {"fpga-r1": {"mode": "1777"}}}',
            '{"chips": {"r0": {"detected": 9223372036854775808}}}',
            '{"scenario": [{"after": {"ms": 0}, "set": {}, "unset": []}]}',
            '{"scenario": [{"after": {"accesses": 0, "of": "fpga_rmt0_x"},'
            ' "unset": ["hpmChip"]}]}']):
        open(f"{tmp}/{i}.json", "w").write(text)
        boards.append(f"{tmp}/{i}.json")
    for path in sorted(glob.glob(f"{root}/fuzz/corpus/board_file/*")) + \
            boards[-4:]:
        checked = subprocess.run([sim, "--check", path], capture_output=True)
        rule = os.path.basename(path).startswith("rule-")
        expect(f"the schema and --check agree: {path}",
               ((checked.returncode == 0) == (not problem(path))) != rule,
               f"{problem(path)} {checked.stderr}")


def same(what, named, fields):
    expect(what, set(named) == set(fields), sorted(set(named) ^ set(fields)))


chip, node = defs["chip"]["properties"], defs["normalNode"]["properties"]
doc = open(f"{root}/docs/board-format.md").read()
for heading, fields in {"Top level": schema["properties"], "Chips": chip,
                        "Nodes": node, "Scenario": defs["step"]["properties"]
                        }.items():
    table = doc.split(f"\n## {heading}\n")[1].split("| Field |")[1]
    rows = re.findall(r"^\| `(.+?)`(?:, `(.+?)`)?", table.split("\n\n")[0],
                      re.M)
    same(f"{heading} table", {n for r in rows for n in r if n}, fields)
settable = {k for k, v in schema["properties"].items() if not v.get(
    "readOnly") and k not in ("$schema", "chips", "nodes")}
settable |= {f"chips.{c}.{a}" for c in ("local", "r0", "r1", "r2", "r3")
             for a in chip}
settable |= {f"nodes.{n}.{f}" for n in schema["properties"]["nodes"][
    "properties"] for f in node}
offered = subprocess.run(["bash", "-c", f". {root}/tools/fpga-sim/fpga-sim."
                          "bash-completion; COMP_WORDS=(fpga-sim ctl s set '')"
                          "; COMP_CWORD=4; _fpga_sim; echo ${COMPREPLY[@]}"],
                         capture_output=True, text=True).stdout.split()
same("the completion's settable fields", offered, settable)


words = re.findall(r'^"\\"(.*)\\""$', open(
    f"{root}/fuzz/corpus/board_file.dict").read(), re.M)
expect("the fuzz dictionary", names <= set(words), sorted(names - set(words)))
print(f"{checks[True]} passed, {checks[False]} failed")
sys.exit(1 if checks[False] else 0)
