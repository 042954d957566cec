#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# How much of the library's behaviour the test suite protects: build
# single-token mutants of the library sources (fpga/lib) and count the ones
# some test kills.
#
#     scripts/mutation-check.sh [--seed N] [--count N | --all]
#                               [--only PATH]... [--list] [--keep]
#
# --seed N     seed of the random sample (default 1)
# --count N    mutants in the sample (default 60)
# --all        every candidate instead of a sample
# --only PATH  only mutants of the files under PATH (relative to the
#              repository root, e.g. fpga/lib/logging); may be repeated
# --list       print the candidates that would run, then stop (no build)
# --keep       leave the temporary copy and its build in place
#
# Nothing in the repository changes: the files "git ls-files" lists
# (tracked, and untracked ones that are not ignored) are copied into a
# temporary directory, which gets one native build with the tools and the
# tests (the fpgatool and fpga-sim suites run the library too) and without
# benchmarks and examples. The unmodified suite must pass there first (exit
# status 2 when it does not). Then each mutant in turn is written into the
# copy, built (only libfpga.so rebuilds: the tests link it dynamically), run
# against the whole suite and taken out again:
#
#     killed           it built, and a test failed or timed out
#     survived         it built, and every test passed
#     did not compile  the build rejected it (warnings are errors here, as
#                      in every build of the project); not counted
#
# One line is printed per mutant, then "killed K of N compiled mutants (P%)"
# and every survivor with its source line before and after, so that each
# can be judged: a behaviour no test checks, or a mutant that cannot change
# behaviour. The exit status is 0 whatever the rate (this measures, it does
# not gate); 2 on a usage error or when the unmodified suite fails.
#
# The mutation operators, applied to one code token at a time (never inside
# comments, string or character literals, or preprocessor lines such as
# #include and #if):
#
#     comparison  <  -> <=, >=      <= -> <, >      >  -> >=, <=
#                 >= -> >, <        == -> !=        != -> ==
#     boolean     && <-> ||, a "!" removed
#     arithmetic  + <-> -, * <-> /, << <-> >>, & <-> |, ++ <-> --, and the
#                 compound assignments += <-> -=, *= <-> /=, &= <-> |=,
#                 <<= <-> >>=
#     integer     n -> n + 1 and n -> 0 (n not 0), 0 -> 1; the literal
#                 keeps its base and suffix; floating literals are left
#
# Tokens that only look like operators are left alone, by these heuristics:
#
# - Template angle brackets: a "<" right after a name (or a keyword such as
#   template or static_cast) opens a template argument list when a matching
#   ">" (or half of a ">>") follows before any ";", "{", "}", "&&", "||" or
#   "?" outside parentheses, and before an unmatched ")" or "]"; both
#   brackets are then skipped, and so are replacements with a ">" between
#   them (Flags<1U << 2> cannot become Flags<1U >> 2>). "&&" stops the
#   search only with white space on both sides (see below), so that "Ts&&"
#   may stand in the list. "->", "->*" and ".*" are tokens of their own, and
#   a token after the keyword "operator" is part of a name.
# - The sources are formatted with the pointer and reference declarators
#   bound to the type ("const Field* fields", "Text& text", "Ts&&... ts"),
#   so "*", "&" and "&&" count as binary operators only with white space on
#   both sides, and "*" and "&" also need an operand before them (a name
#   that is not a keyword, a literal, ")" or "]"). That leaves out
#   declarations, dereferences, address-of and lambda captures.
# - "+" and "-" are swapped whether binary or unary (-ENODEV -> +ENODEV).
#
# fpga/lib/logging/ (the built-in journal layer) is mutated like the rest:
# the tests read the entries it writes back from a journal of their own
# (tests/support/journal.hpp), and fpgatool_test compares what the tools
# print on stderr, so its mutants are observable; a run with
# "--only fpga/lib/logging --all" shows the suite killing those in the
# journal entry path. The build uses that layer (-Dlg2=disabled) even where
# phosphor-logging is installed: with phosphor-logging found, lg2.cpp is not
# compiled and its mutants would survive unseen.
#
# Hangs: a mutant that loops forever is caught by meson's test timeouts,
# scaled down for the mutant runs (--timeout-multiplier) so that each test
# still gets at least four times its duration in the unmodified run and at
# least 5 s. A mutant run stops at its first failing test (--maxfail 1);
# survivors run the whole suite. The suite runs in a mount namespace with a
# /tmp of its own inside the temporary directory (where unshare can make
# one), so the scratch files of tests killed half way do not pile up in the
# machine's /tmp.
#
# BUILD_JOBS sets the compile jobs (default: one per processor). The
# compiles and test runs are niced. With the default sample a run takes
# some 6 to 14 minutes on a 2-core machine, depending on what else it runs;
# a third to half of that is the first build of the copy. The sample is
# drawn evenly from all candidates, so about two thirds of it are integer
# literals, most of them in the register tables.

set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
for tool in git meson ninja python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "mutation-check: $tool is needed" >&2
        exit 2
    fi
done
if ! git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "mutation-check: $root is not a git work tree" >&2
    exit 2
fi

# The rest is Python (scripts/mutation_check.py); the tests read nothing
# from standard input.
exec python3 "$root/scripts/mutation_check.py" "$root" "$@" </dev/null
