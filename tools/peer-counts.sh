#!/bin/sh
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Instructions per operation for every column of bench/stimer_peers, from
# callgrind, the driver's own work included and the same for every column:
# arm N idle timers, re-arm N armed ones, cancel N, and expire N in a full
# drain. Writes JSON on standard output.
#   tools/peer-counts.sh <stimer_peers> [N, default 1000000]
set -eu
peers=${1:-}
n=${2:-1000000}
if [ ! -x "$peers" ] || ! command -v valgrind >/dev/null; then
    echo "usage: $0 <stimer_peers executable> [N]" >&2
    echo "  (cmake --workflow --preset bench builds it; callgrind is in apt-get install valgrind)" >&2
    exit 2
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
printf '{"n": %s, "columns": {' "$n"
sep=""
for column in $("$peers" --columns); do
    printf '%s"%s": {' "$sep" "$column"
    inner=""
    for op in arm rearm cancel expire; do
        valgrind --tool=callgrind --callgrind-out-file="$out/$column.$op" \
            --toggle-collect='*counted_phase*' "$peers" --count "$column" "$op" "$n" \
            >/dev/null 2>"$out/log" || { cat "$out/log" >&2; exit 1; }
        printf '%s"%s": %s' "$inner" "$op" \
            "$(awk -v n="$n" '/^summary:|^totals:/ { printf "%.1f", $2 / n; exit }' "$out/$column.$op")"
        inner=", "
    done
    printf '}'
    sep=", "
done
printf '}}\n'
