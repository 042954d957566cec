#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Install the Debian packages that the fuzzing, the benchmarks and the
# performance checks need on top of scripts/install-deps.sh: clang 16 with
# its sanitizer and libFuzzer runtimes (clang 14's <source_location> does
# not work with libstdc++ 12), Google Benchmark, strace and valgrind.
exec "$(dirname "$0")/install-deps.sh" \
    clang-16 libclang-rt-16-dev llvm-16 \
    libbenchmark-dev \
    strace valgrind
