#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Install the Debian packages that building, running and testing libfpga
# need, or the packages named on the command line. Does nothing when they
# are all present; uses sudo when not root.
#
#     scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

default_packages=(
    # build
    g++ meson ninja-build pkg-config
    libsystemd-dev
    # tests: gtest/gmock, journald for the journal cases, nm, unshare
    libgtest-dev libgmock-dev systemd binutils util-linux
    # fpga-sim: libfuse3, board files in JSON, its command line, man page
    libfuse3-dev fuse3 nlohmann-json3-dev libcli11-dev help2man
    # the board file schema's test (tests/board_schema_test.py)
    python3-jsonschema
)
packages=("${@:-${default_packages[@]}}")

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null |
        grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null || ! sudo -v; then
        echo "install-deps.sh: installing ${missing[*]} needs root:" \
            "run it as root, or as a user that sudo lets install packages" >&2
        exit 1
    fi
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}" >&2
# A lagging list (e.g. of a foreign architecture) must not stop the install.
"${sudo[@]}" apt-get update -qq || echo "apt-get update had errors; going on" >&2
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >&2
