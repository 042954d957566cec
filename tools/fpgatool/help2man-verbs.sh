#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Write the help2man include file of fpgatool: the fixed sections (first,
# so that their licence line, before any section, is left out of the page),
# the examples of --help kept as they are laid out, and a VERBS section made
# of the --help of every verb (examples included).
#
#     help2man-verbs.sh FPGATOOL FIXED-SECTIONS OUTPUT
set -euo pipefail
tool=$1 fixed=$2 out=$3

# roff: escape backslashes, and keep lines starting with . or ' as text.
roff() {
    sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
}

{
    cat "$fixed"
    echo
    echo '[=EXAMPLES]'
    echo '.nf'
    "$tool" --help | sed -n '/^Examples:/,/^$/p' | sed -e '1d' -e '/^$/d' | roff
    echo '.fi'
    echo
    echo '[VERBS]'
    # The verbs, in the order of --help, as the completion lists them.
    "$tool" __complete "" | grep -v '^-' |
        while read -r verb; do
            echo ".SS $verb"
            echo '.nf'
            "$tool" "$verb" --help | roff
            echo '.fi'
        done
} >"$out"
