#!/bin/sh
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# What the checked build costs: runs bench/checked_cost on the release and
# the checked library in turn, five times each, and prints the medians,
# their ratios and the bound that each is held to; then counts the system
# calls of the checked build's churn of lists with strace.
#   tools/checked-cost.sh <checked_cost> <dir of the checked libstimer.so.1>
set -eu
if [ $# -ne 2 ] || [ ! -x "$1" ] || [ ! -e "$2/libstimer.so.1" ]; then
    echo "usage: $0 <checked_cost executable> <dir of the checked libstimer.so.1>" >&2
    echo "  (cmake --workflow --preset bench builds both)" >&2
    exit 2
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
run() { # build, then the arguments of checked_cost
    build=$1
    shift
    if [ "$build" = checked ]; then
        LD_LIBRARY_PATH="$lib" "$bin" "$@"
    else
        "$bin" "$@"
    fi || { echo "$0: $bin $* failed on the $build library" >&2; exit 1; }
}
bin=$1 lib=$2
for round in 1 2 3 4 5; do
    for build in release checked; do
        printf '%s %s %s %s\n' "$build" "$(run "$build")" "$(run "$build" lists)" \
            "$(run "$build" churn)" >>"$out"
    done
done
# The system calls of the checked build's churn: its tables' maps and unmaps.
if command -v strace >/dev/null; then
    LD_LIBRARY_PATH="$lib" strace -f -c -e trace=mmap,munmap -o "$out.strace" "$bin" churn >/dev/null ||
        { echo "$0: strace $bin churn failed on the checked library" >&2; exit 1; }
    calls=$(awk '$NF == "mmap" || $NF == "munmap" { n += $4 } END { print n + 0 }' "$out.strace")
    rm -f "$out.strace"
else
    calls="not counted (strace is missing: apt-get install strace)"
fi
awk '
    function median(list,   v, n, i, j, t) {
        n = split(list, v, " ")
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] + 0 < v[i] + 0) { t = v[i]; v[i] = v[j]; v[j] = t }
        return v[int((n + 1) / 2)]
    }
    { for (i = 2; i <= NF; i++) m[$1, i] = m[$1, i] " " $i }
    function line(what, i, unit, bound,   r, c) {
        r = median(m["release", i]); c = median(m["checked", i])
        printf "%-32s release %9.1f %s  checked %9.1f %s  %5.2fx  (bound %s)\n", what, r, unit, c, unit, c / r, bound
    }
    END {
        line("arm and pop, real clock", 2, "ns ", "2x")
        line("arm behind 100,000 timers", 3, "ns ", "4x")
        line("100,000 lists of one timer, each", 4, "ns ", "4x")
        r = median(m["release", 5]); c = median(m["checked", 5])
        printf "%-32s release %9d KiB checked %9d KiB %5.2fx  (bound 2x + 16 MiB: %d KiB)\n", \
            "peak memory with those lists", r, c, c / r, 2 * r + 16384
        line("churn of lists at one address", 6, "ns ", "4x")
        line("churn of lists across an arena", 7, "ns ", "4x")
        printf "%-32s checked %s  (bound 1000)\n", "mmap and munmap in that churn", calls
    }' calls="$calls" "$out"
