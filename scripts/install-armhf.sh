#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Install what the 32-bit ARM (armhf) build and its qemu-user test run need:
# the cross compiler, qemu-user and the armhf libraries the library and the
# test suite link (Debian multiarch). Does nothing when all are present; uses
# sudo when not root.
#
# The armhf package list can lag the amd64 one (a mirror in sync, a security
# update published for one architecture first). Multi-Arch: same packages must
# then have one version on both architectures, so when apt refuses, the
# script pins each clashing pair to the newest version both lists offer and
# tries again. When no such version exists it names the package and both
# versions and exits non-zero.
set -euo pipefail

native=(g++-arm-linux-gnueabihf qemu-user-static)
armhf=(libsystemd-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
    libstdc++6:armhf)
updateTries=3

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
aptGet() {
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "$@"
}
fail() {
    echo "install-armhf: $*" >&2
    exit 1
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null |
        grep 'install ok installed' >/dev/null
}
missing=()
for pkg in "${native[@]}" "${armhf[@]}"; do
    installed "$pkg" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "install-armhf: installing ${missing[*]}" >&2

if ! dpkg --print-foreign-architectures | grep -x armhf >/dev/null; then
    "${sudo[@]}" dpkg --add-architecture armhf
fi

# apt-get update exits 0 even when an index failed to download ("File has
# unexpected size ... Mirror sync in progress?"); its "E:" lines tell. Retry a
# few times, then go on with the lists there are: the pinning below copes
# with a lagging armhf list, and fails naming the package when it cannot.
for ((try = 1; ; try++)); do
    errors=$(aptGet update -qq 2>&1 | grep '^E:' || true)
    [ -z "$errors" ] && break
    echo "$errors" >&2
    if [ "$try" -ge "$updateTries" ]; then
        echo "install-armhf: package lists still incomplete after $try" \
            "tries; going on with what was fetched" >&2
        break
    fi
    echo "install-armhf: retrying apt-get update" >&2
    sleep $((try * 5))
done
[ -n "$(apt-cache madison libc6:armhf 2>/dev/null)" ] ||
    fail "apt-get update brought no armhf package list"

# Versions of a package that the configured lists offer ("pkg" for the
# native architecture, "pkg:armhf").
offered() {
    apt-cache madison "$1" 2>/dev/null | awk -F' [|] ' '{print $2}'
}
candidate() {
    apt-cache policy "$1" 2>/dev/null | sed -n 's/ *Candidate: //p'
}

# The newest version of $1 that the armhf list offers and that is installed
# natively ($2) or offered natively; empty when there is none.
newestCommon() {
    local pkg=$1 installedVersion=$2 version best=
    local nativeVersions
    nativeVersions=$(
        offered "$pkg"
        echo "$installedVersion"
    )
    for version in $(offered "$pkg:armhf"); do
        grep -xF "$version" <<<"$nativeVersions" >/dev/null || continue
        if [ -z "$best" ] || dpkg --compare-versions "$version" gt "$best"; then
            best=$version
        fi
    done
    echo "$best"
}

# Multi-Arch: same packages in the armhf closure that are installed natively
# and whose armhf candidate differs from the native one: pin both
# architectures to the newest version both offer. Prints "pkg=ver
# pkg:armhf=ver" words; names the packages without a common version and
# fails.
pinClashes() {
    local pkg installedVersion armhfVersion nativeVersion common clashes=()
    for pkg in $(apt-cache depends --recurse --no-recommends --no-suggests \
        --no-conflicts --no-breaks --no-replaces --no-enhances "${armhf[@]}" |
        sed -n 's/^\([a-z0-9][^ <>]*\):armhf$/\1/p' | sort -u); do
        installed "$pkg:$(dpkg --print-architecture)" || continue
        apt-cache show "$pkg:armhf" 2>/dev/null |
            grep '^Multi-Arch: same' >/dev/null || continue
        installedVersion=$(dpkg-query -W -f='${Version}' \
            "$pkg:$(dpkg --print-architecture)")
        armhfVersion=$(candidate "$pkg:armhf")
        nativeVersion=$(candidate "$pkg")
        [ "$armhfVersion" = "$nativeVersion" ] && continue
        common=$(newestCommon "$pkg" "$installedVersion")
        if [ -z "$common" ]; then
            clashes+=("$pkg (installed $installedVersion, native candidate"
                "$nativeVersion, armhf candidate $armhfVersion)")
            continue
        fi
        echo "$pkg=$common $pkg:armhf=$common"
    done
    if [ ${#clashes[@]} -gt 0 ]; then
        echo "install-armhf: no version common to both architectures for:" \
            "${clashes[*]}" >&2
        return 1
    fi
}

aptGet install -y -qq --no-install-recommends "${native[@]}" >&2 ||
    fail "could not install ${native[*]}"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if aptGet install -s --no-install-recommends "${armhf[@]}" >"$log" 2>&1; then
    aptGet install -y -qq --no-install-recommends "${armhf[@]}" >&2
    exit 0
fi

echo "install-armhf: apt refused the armhf packages:" >&2
grep -E '^ |^E:' "$log" >&2 || cat "$log" >&2
pins=$(pinClashes) || fail "the armhf list lags the native one; retry later"
[ -n "$pins" ] || fail "no Multi-Arch version clash found; see apt's reason above"
# shellcheck disable=SC2086 # the pins as one line
echo "install-armhf: pinning to the versions both lists offer:" $pins >&2

# A pin can make apt remove a native package that wants the exact version
# it had (liblzma-dev with liblzma5): keep it at the pinned version.
simulate() {
    # shellcheck disable=SC2086 # one word per pin
    aptGet install -s --no-install-recommends --allow-downgrades \
        "${armhf[@]}" $pins >"$log" 2>&1
}
if simulate; then
    # shellcheck disable=SC2013 # package names are words
    for pkg in $(sed -n 's/^Remv \([^ ]*\) .*/\1/p' "$log"); do
        for version in $(tr ' ' '\n' <<<"$pins" | sed -n 's/^[^:=]*=//p'); do
            if offered "${pkg%:*}" | grep -xF "$version" >/dev/null; then
                pins+=" ${pkg%:*}=$version"
                break
            fi
        done
    done
fi
if ! simulate; then
    grep -E '^ |^E:' "$log" >&2 || cat "$log" >&2
    fail "apt still refuses the armhf packages with the pins above"
fi
removed=$(sed -n 's/^Remv \([^ ]*\) .*/\1/p' "$log" | tr '\n' ' ')
[ -z "$removed" ] || echo "install-armhf: removing $removed" >&2
# shellcheck disable=SC2086
aptGet install -y -qq --no-install-recommends --allow-downgrades \
    "${armhf[@]}" $pins >&2
