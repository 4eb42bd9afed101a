#!/bin/sh
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# What the checked build costs: runs bench/checked_cost on the release and
# the checked library in turn, five times each, and prints the medians and
# their ratios.
#   tools/checked-cost.sh <checked_cost> <dir of the checked libstimer.so.1>
set -eu
if [ $# -ne 2 ] || [ ! -x "$1" ] || [ ! -e "$2/libstimer.so.1" ]; then
    echo "usage: $0 <checked_cost executable> <dir of the checked libstimer.so.1>" >&2
    echo "  (cmake --workflow --preset bench builds both)" >&2
    exit 2
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for round in 1 2 3 4 5; do
    release=$("$1") || { echo "$0: $1 failed on the release library" >&2; exit 1; }
    checked=$(LD_LIBRARY_PATH="$2" "$1") || { echo "$0: $1 failed on $2/libstimer.so.1" >&2; exit 1; }
    printf 'release %s\nchecked %s\n' "$release" "$checked" >>"$out"
done
awk '
    { cycle[$1] = cycle[$1] " " $2; behind[$1] = behind[$1] " " $3 }
    function median(list,   v, n, i, j, t) {
        n = split(list, v, " ")
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] + 0 < v[i] + 0) { t = v[i]; v[i] = v[j]; v[j] = t }
        return v[int((n + 1) / 2)]
    }
    END {
        rc = median(cycle["release"]); cc = median(cycle["checked"])
        rb = median(behind["release"]); cb = median(behind["checked"])
        printf "arm and pop, real clock:    release %8.1f ns  checked %8.1f ns  %.2fx\n", rc, cc, cc / rc
        printf "arm behind 100,000 timers:  release %8.0f ns  checked %8.0f ns  %.2fx\n", rb, cb, cb / rb
    }' "$out"
