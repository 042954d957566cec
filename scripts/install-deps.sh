#!/usr/bin/env bash
# Install the Debian packages that building, running and testing libfpga
# need. Does nothing when they are all present; uses sudo when not root.
set -euo pipefail

packages=(
    # build
    g++ meson ninja-build pkg-config
    libsystemd-dev
    # tests: gtest/gmock, journald for the journal cases, nm, unshare
    libgtest-dev libgmock-dev systemd binutils util-linux
    # fpga-sim: libfuse3, board files in JSON, its command line, man page
    libfuse3-dev fuse3 nlohmann-json3-dev libcli11-dev help2man
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
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >&2
