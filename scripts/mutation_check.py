#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# The body of scripts/mutation-check.sh, which documents it.
import argparse
import glob
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

root = sys.argv[1]
parser = argparse.ArgumentParser(
    prog="scripts/mutation-check.sh",
    description="Mutation check of the library sources against the test "
    "suite (see the comment at the top of the script).")
parser.add_argument("--seed", type=int, default=1,
                    help="seed of the random sample (default 1)")
parser.add_argument("--count", type=int, default=60,
                    help="mutants in the sample (default 60)")
parser.add_argument("--all", action="store_true",
                    help="every candidate instead of a sample")
parser.add_argument("--only", action="append", default=[], metavar="PATH",
                    help="only the files under PATH (may be repeated)")
parser.add_argument("--list", action="store_true",
                    help="print the candidates that would run, then stop")
parser.add_argument("--keep", action="store_true",
                    help="leave the temporary copy and its build in place")
args = parser.parse_args(sys.argv[2:])
if args.count < 1:
    parser.error("--count needs a positive number")
if args.all and any(a.startswith("--count") for a in sys.argv[2:]):
    parser.error("--all and --count exclude each other")

LIBRARY = "fpga/lib"
jobs = os.environ.get("BUILD_JOBS") or str(os.cpu_count() or 1)
NICE = ["nice", "-n", "10"]

# ---------------------------------------------------------------------------
# Tokens

KEYWORDS = set("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char
char8_t char16_t char32_t class co_await co_return co_yield compl concept
const consteval constexpr constinit const_cast continue decltype default
delete do double dynamic_cast else enum explicit export extern float for
friend goto if inline int long mutable namespace new noexcept not not_eq
operator or or_eq private protected public register reinterpret_cast
requires return short signed sizeof static static_assert static_cast struct
switch template thread_local throw try typedef typeid typename union
unsigned using virtual void volatile wchar_t while xor xor_eq
""".split())

PUNCTUATORS = sorted("""
<<= >>= <=> ->* ... :: -> .* ++ -- << >> <= >= == != && || += -= *= /= %=
&= |= ^= ## { } [ ] ( ) ; : ? , . + - * / % ^ & | ~ ! = < > #
""".split(), key=len, reverse=True)

NUMBER = re.compile(r"\.?\d(?:[eEpP][+-]|'[0-9A-Za-z_]|[0-9A-Za-z_.])*")
IDENT = re.compile(r"[A-Za-z_]\w*")
RAW_PREFIX = {"R", "u8R", "uR", "UR", "LR"}
STRING_PREFIX = {"u8", "u", "U", "L"}


class Token:
    def __init__(self, kind, text, start):
        self.kind = kind  # ident, number, literal, punct
        self.text = text
        self.start = start
        self.end = start + len(text)


def skip_quoted(src, i, quote):
    """Index after the literal whose opening quote is at i."""
    i += 1
    while i < len(src) and src[i] != quote:
        i += 2 if src[i] == "\\" else 1
    return i + 1


def tokenize(src):
    """The code tokens of a C++ source, without comments, literals' insides
    and preprocessor lines."""
    tokens = []
    i, n = 0, len(src)
    line_start = True  # only white space so far on this line
    while i < n:
        c = src[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "\\" and src.startswith("\n", i + 1):
            i += 2
            continue
        if src.startswith("//", i):
            i = src.find("\n", i)
            i = n if i < 0 else i
            continue
        if src.startswith("/*", i):
            end = src.find("*/", i + 2)
            i = n if end < 0 else end + 2
            continue
        if c == "#" and line_start:
            # A preprocessor line, with its continuations.
            while i < n and src[i] != "\n":
                i += 2 if src[i] == "\\" else 1
            continue
        line_start = False
        m = IDENT.match(src, i)
        if m:
            word = m.group()
            end = m.end()
            if word in RAW_PREFIX and src.startswith('"', end):
                open_paren = src.index("(", end)
                delimiter = ")" + src[end + 1:open_paren] + '"'
                close = src.index(delimiter, open_paren)
                tokens.append(Token("literal", src[i:close + len(delimiter)],
                                    i))
                i = close + len(delimiter)
                continue
            if word in STRING_PREFIX and end < n and src[end] in "\"'":
                close = skip_quoted(src, end, src[end])
                tokens.append(Token("literal", src[i:close], i))
                i = close
                continue
            tokens.append(Token("ident", word, i))
            i = end
            continue
        m = NUMBER.match(src, i)
        if m:
            tokens.append(Token("number", m.group(), i))
            i = m.end()
            continue
        if c in "\"'":
            close = skip_quoted(src, i, c)
            # A user-defined literal suffix belongs to the literal.
            m = IDENT.match(src, close)
            close = m.end() if m else close
            tokens.append(Token("literal", src[i:close], i))
            i = close
            continue
        for p in PUNCTUATORS:
            if src.startswith(p, i):
                tokens.append(Token("punct", p, i))
                i += len(p)
                break
        else:
            i += 1  # a character C++ does not use outside literals
    return tokens


def spaced(src, tok):
    """Whether white space stands on both sides of the token."""
    return (tok.start > 0 and src[tok.start - 1].isspace()
            and tok.end < len(src) and src[tok.end].isspace())


def template_brackets(src, tokens):
    """Indices of the tokens that are template angle brackets ("<", and ">"
    or ">>" closing one), and of the tokens between such brackets."""
    brackets, inside = set(), set()
    stops = {";", "{", "}", "||", "?"}
    for i, tok in enumerate(tokens):
        if tok.text != "<" or i == 0 or tokens[i - 1].kind != "ident":
            continue
        depth, nesting = 1, 0
        for j in range(i + 1, len(tokens)):
            text = tokens[j].text
            if text in ("(", "["):
                nesting += 1
            elif text in (")", "]"):
                if nesting == 0:
                    break
                nesting -= 1
            elif nesting:
                continue
            elif text in stops or (text == "&&" and spaced(src, tokens[j])):
                break  # "Ts&&" in an argument list is a declarator
            elif text == "<" and tokens[j - 1].kind == "ident":
                depth += 1
            elif text in (">", ">>"):
                depth -= len(text)
                if depth <= 0:
                    brackets.update((i, j))
                    inside.update(range(i + 1, j))
                    break
    return brackets, inside


COMPARISON = {"<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="],
              ">=": [">", "<"], "==": ["!="], "!=": ["=="]}
ARITHMETIC = {"+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"], "<<": [">>"],
              ">>": ["<<"], "&": ["|"], "|": ["&"], "++": ["--"],
              "--": ["++"], "+=": ["-="], "-=": ["+="], "*=": ["/="],
              "/=": ["*="], "&=": ["|="], "|=": ["&="], "<<=": [">>="],
              ">>=": ["<<="]}
INTEGER = re.compile(
    r"(?P<prefix>0[xX]|0[bB])?(?P<digits>[0-9A-Fa-f']+?)"
    r"(?P<suffix>(?:[uU](?:ll|LL|l|L|z|Z)?|(?:ll|LL|l|L|z|Z)[uU]?)?)$")


def operand_end(tok):
    """Whether an expression operand can end with this token."""
    if tok.kind in ("number", "literal"):
        return True
    if tok.kind == "ident":
        return tok.text not in KEYWORDS or tok.text == "this"
    return tok.text in (")", "]")


def integer_mutants(text):
    """Replacements of an integer literal: n + 1 and 0, or 1 for 0."""
    m = INTEGER.match(text)
    if not m:
        return []  # floating, or not a literal we rewrite
    prefix = m.group("prefix") or ""
    digits = m.group("digits").replace("'", "")
    base = 16 if prefix.lower() == "0x" else 2 if prefix.lower() == "0b" else (
        8 if len(digits) > 1 and digits[0] == "0" else 10)
    try:
        value = int(digits, base)
    except ValueError:
        return []
    suffix = m.group("suffix")

    def spell(number):
        # Same base, case, leading zeros and suffix as the original.
        if base == 16:
            out = format(number, "X" if digits.upper() == digits else "x")
            out = out.zfill(len(digits))
        elif base == 2:
            out = format(number, "b").zfill(len(digits))
        elif base == 8:
            out = "0" + format(number, "o")
        else:
            out = str(number)
        return prefix + out + suffix

    return [spell(1)] if value == 0 else [spell(value + 1), spell(0)]


def candidates_of(path, src):
    """Every mutant of one source: (offset, original, replacement)."""
    tokens = tokenize(src)
    brackets, inside = template_brackets(src, tokens)
    out = []
    for i, tok in enumerate(tokens):
        if i in brackets:
            continue
        prev = tokens[i - 1] if i else None
        if prev is not None and prev.text == "operator":
            continue
        binary = spaced(src, tok)
        text = tok.text
        if tok.kind == "number":
            replacements = integer_mutants(text)
        elif tok.kind != "punct":
            continue
        elif text in COMPARISON:
            replacements = COMPARISON[text]
        elif text in ("&&", "||"):
            replacements = ["||" if text == "&&" else "&&"] if binary else []
        elif text == "!":
            replacements = [""]
        elif text in ("*", "&"):
            binary = binary and prev is not None and operand_end(prev)
            replacements = ARITHMETIC[text] if binary else []
        elif text in ARITHMETIC:
            replacements = ARITHMETIC[text]
        else:
            continue
        for replacement in replacements:
            # A ">" inside a template argument list would close it.
            if i not in inside or ">" not in replacement:
                out.append((tok.start, text, replacement))
    return out


# ---------------------------------------------------------------------------
# The copy, its build and the suite


def run(cmd, log, cwd, timeout=None):
    """Run cmd with its output going to the file log; the exit status, or
    None when it ran out of time (its process group is killed then)."""
    with open(log, "w") as out:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out,
                                stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            return proc.wait(timeout=timeout)
        except BaseException:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            if isinstance(sys.exc_info()[1], subprocess.TimeoutExpired):
                return None
            raise


def copy_tree(dest):
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=root, check=True, capture_output=True).stdout
    for name in sorted(set(os.fsdecode(n) for n in listed.split(b"\0") if n)):
        source = os.path.join(root, name)
        if not os.path.lexists(source) or os.path.isdir(source):
            continue  # deleted in the work tree, or a submodule
        target = os.path.join(dest, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target, follow_symlinks=False)


def test_results(build):
    """(name, result, duration) of each test of the last meson test run."""
    results = []
    log = os.path.join(build, "meson-logs", "testlog.json")
    if os.path.exists(log):
        with open(log) as lines:
            for line in lines:
                if line.strip():
                    entry = json.loads(line)
                    results.append((entry["name"], entry["result"],
                                    entry.get("duration", 0.0)))
    return results


def clear_test_logs(build):
    for log in glob.glob(os.path.join(build, "meson-logs", "testlog*")):
        os.remove(log)


def timeout_multiplier(build):
    """A multiplier for meson's test timeouts that gives each test at least
    four times its duration in the unmodified run and at least 5 s."""
    with open(os.path.join(build, "meson-info", "intro-tests.json")) as f:
        timeouts = {t["name"]: t["timeout"] for t in json.load(f)}
    needed = 0.0
    for name, _, duration in test_results(build):
        limit = timeouts.get(name) or 30
        if limit > 0:
            needed = max(needed, max(5.0, 4 * duration) / limit)
    return round(max(needed, 0.01) + 0.005, 2)


def private_tmp(scratch):
    """A command prefix that runs a command with a /tmp of its own (the
    scratch directory's tmp/, removed with it), or [] where no mount
    namespace can be made. A test killed by a timeout or by --maxfail leaves
    its scratch files behind, and some tests put theirs in /tmp whatever
    TMPDIR says; this keeps them out of the machine's /tmp."""
    scratch = os.path.realpath(scratch)
    own = os.path.join(scratch, "tmp")
    os.makedirs(own)
    # The scratch directory stays reachable at its path inside the new /tmp.
    inner = os.path.relpath(scratch, os.path.realpath("/tmp"))
    keep = "" if inner.startswith("..") else os.path.join(own, inner)
    if keep:
        os.makedirs(keep)
    script = ('set -e; if [ -n "$2" ]; then mount --bind "$1" "$2"; fi; '
              'mount --rbind "$3" /tmp; shift 3; exec "$@"')
    unshare = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        unshare[1:1] = ["--user", "--map-root-user"]
    prefix = unshare + ["--", "sh", "-c", script, "sh", scratch, keep, own]
    probe = subprocess.run(prefix + ["test", "-d", scratch],
                           stdin=subprocess.DEVNULL, capture_output=True)
    return prefix if probe.returncode == 0 else []


def context(line, col, length, replacement, width=100):
    """The source line with the mutant's token replaced, trimmed to about
    width characters around it."""
    mutated = line[:col] + replacement + line[col + length:]
    lead = len(line) - len(line.lstrip())
    start = max(lead, col - width // 2)
    before = ("..." if start > lead else "")
    return (before + line[start:start + width].rstrip(),
            before + mutated[start:start + width].rstrip())


def main():
    started = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="mutation-check.")
    try:
        return check(scratch, started)
    finally:
        if args.keep:
            print(f"copy and build kept in {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)


def check(scratch, started):
    tree = os.path.join(scratch, "src")
    build = os.path.join(scratch, "build")
    copy_tree(tree)

    sources = sorted(
        os.path.relpath(p, tree)
        for p in glob.glob(os.path.join(tree, LIBRARY, "**", "*"),
                           recursive=True)
        if p.endswith((".cpp", ".hpp")))
    if args.only:
        wanted = [os.path.normpath(p).rstrip("/") for p in args.only]
        sources = [s for s in sources
                   if any(s == w or s.startswith(w + "/") for w in wanted)]
    if not sources:
        print("mutation-check: no library sources to mutate", file=sys.stderr)
        return 2

    texts, everything = {}, []
    for path in sources:
        with open(os.path.join(tree, path), encoding="utf-8") as f:
            texts[path] = f.read()
        for offset, original, replacement in candidates_of(path,
                                                           texts[path]):
            everything.append((path, offset, original, replacement))
    if args.all or args.count >= len(everything):
        chosen = list(everything)
        how = "all"
    else:
        chosen = random.Random(args.seed).sample(everything, args.count)
        how = f"a sample (seed {args.seed}) of"
    # In file order, so that a source is restored and rebuilt once per file
    # rather than once per mutant.
    chosen.sort(key=lambda m: (m[0], m[1], m[3]))

    def where(mutant):
        path, offset, _, _ = mutant
        text = texts[path]
        line = text.count("\n", 0, offset) + 1
        col = offset - (text.rfind("\n", 0, offset) + 1)
        return line, col

    def label(mutant):
        line, col = where(mutant)
        replacement = mutant[3] if mutant[3] else "(removed)"
        return f"{mutant[0]}:{line}:{col + 1}  {mutant[2]} -> {replacement}"

    print(f"{len(everything)} candidate mutants in {len(sources)} files; "
          f"running {how} {len(chosen)}")
    if args.list:
        for mutant in chosen:
            print(label(mutant))
        return 0

    print("building the unmodified copy ...", flush=True)
    logs = os.path.join(scratch, "logs")
    os.makedirs(logs)
    setup = NICE + ["meson", "setup", build, "-Dbenchmarks=disabled",
                    "-Dexamples=disabled", "-Dtests=enabled", "-Dtools=true",
                    "-Dlg2=disabled"]
    compile_cmd = NICE + ["meson", "compile", "-C", build, "-j", jobs]
    for step, cmd in (("setup", setup), ("build", compile_cmd)):
        if run(cmd, os.path.join(logs, step + ".log"), tree) != 0:
            with open(os.path.join(logs, step + ".log")) as f:
                sys.stdout.write(f.read()[-4000:])
            print(f"mutation-check: the unmodified copy fails to {step}; "
                  "nothing measured", file=sys.stderr)
            return 2
    clear_test_logs(build)
    isolate = private_tmp(scratch)
    if not isolate:
        print("note: no mount namespace for a private /tmp; tests that a "
              "mutant kills may leave scratch files in /tmp")
    test_cmd = isolate + NICE + ["meson", "test", "-C", build, "--no-rebuild"]
    if run(test_cmd + ["--print-errorlogs"],
           os.path.join(logs, "baseline.log"), tree) != 0:
        with open(os.path.join(logs, "baseline.log")) as f:
            sys.stdout.write(f.read()[-4000:])
        print("mutation-check: the unmodified suite fails; nothing measured",
              file=sys.stderr)
        return 2
    multiplier = timeout_multiplier(build)
    suite_time = time.monotonic()
    print(f"unmodified build and suite pass ({suite_time - started:.0f} s); "
          f"timeout multiplier {multiplier}", flush=True)
    mutant_test = test_cmd + ["--maxfail", "1", "-t", str(multiplier)]
    with open(os.path.join(build, "meson-info", "intro-tests.json")) as f:
        limit = sum((t["timeout"] or 30) * multiplier for t in json.load(f))
    limit += 120  # meson's own start and stop, on a loaded machine

    killed, survived, broken = [], [], []
    foreign_rebuild = False
    width = len(str(len(chosen)))
    for number, mutant in enumerate(chosen, 1):
        path, offset, original, replacement = mutant
        source = os.path.join(tree, path)
        text = texts[path]
        with open(source, "w", encoding="utf-8") as f:
            f.write(text[:offset] + replacement + text[offset + len(original):])
        try:
            log = os.path.join(logs, f"mutant-{number}.log")
            if run(compile_cmd, log, tree) != 0:
                outcome = "did not compile"
                broken.append(mutant)
            else:
                with open(log) as f:
                    for target in re.findall(
                            r"\] (?:Compiling \S+ object|Linking target) (\S+)",
                            f.read()):
                        if not target.startswith(LIBRARY + "/"):
                            foreign_rebuild = True
                clear_test_logs(build)
                status = run(mutant_test, os.path.join(logs, "test.log"),
                             tree, timeout=limit)
                bad = [f"{name} {result.lower()}"
                       for name, result, _ in test_results(build)
                       if result not in ("OK", "SKIP", "EXPECTEDFAIL",
                                         "INTERRUPT")]
                if status == 0 and not bad:
                    outcome = "survived"
                    survived.append(mutant)
                else:
                    if status is None:
                        bad = ["meson test ran out of time"]
                    elif not bad:
                        bad = [f"meson test exit status {status}"]
                    outcome = "killed (" + ", ".join(bad[:2]) + ")"
                    killed.append(mutant)
        finally:
            with open(source, "w", encoding="utf-8") as f:
                f.write(text)
        print(f"[{number:{width}}/{len(chosen)}] {label(mutant)}  {outcome}",
              flush=True)

    compiled = len(killed) + len(survived)
    rate = 100.0 * len(killed) / compiled if compiled else 0.0
    print()
    if foreign_rebuild:
        print("note: mutants rebuilt more than the library; see the logs "
              "(--keep)")
    print(f"{len(chosen)} mutants: {len(killed)} killed, {len(survived)} "
          f"survived, {len(broken)} did not compile")
    print(f"killed {len(killed)} of {compiled} compiled mutants ({rate:.1f}%)")
    print(f"wall time {time.monotonic() - started:.0f} s (mutants "
          f"{time.monotonic() - suite_time:.0f} s)")
    if survived:
        print()
        print("survivors (each either a behaviour no test checks, or a "
              "mutant that cannot change behaviour):")
        for mutant in survived:
            path, offset, original, replacement = mutant
            line, col = where(mutant)
            source_line = texts[path].split("\n")[line - 1]
            before, after = context(source_line, col, len(original),
                                    replacement)
            print(f"  {label(mutant)}")
            print(f"      - {before}")
            print(f"      + {after}")
    return 0


try:
    sys.exit(main())
except KeyboardInterrupt:
    print("mutation-check: interrupted", file=sys.stderr)
    sys.exit(130)
