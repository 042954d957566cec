#!/usr/bin/env bash
# Install the Debian packages that the fuzzing, the benchmarks and the
# performance checks need on top of scripts/install-deps.sh: clang 16 with
# its sanitizer and libFuzzer runtimes (clang 14's <source_location> does
# not work with libstdc++ 12), Google Benchmark, strace and valgrind.
# Does nothing when they are all present; uses sudo when not root.
set -euo pipefail

packages=(
    clang-16 libclang-rt-16-dev llvm-16
    libbenchmark-dev
    strace valgrind
)

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null |
        grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}" >&2
# A lagging list (e.g. of a foreign architecture) must not stop the install.
"${sudo[@]}" apt-get update -qq || echo "apt-get update had errors; going on" >&2
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >&2
