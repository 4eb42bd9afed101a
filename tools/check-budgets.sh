#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Counts the instructions of each operation with callgrind and fails when one
# goes over its budget. Usage: check-budgets.sh path/to/budget_driver
# path/to/stimer_peers
set -euo pipefail
driver=$1 peers=$2
calls=1000000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Instructions in fn over one run of the driver.
count() { # name fn op calls timers
    valgrind --tool=callgrind --callgrind-out-file="$out/$1" --toggle-collect="$2" \
        "$driver" "$3" "$4" "$5" >/dev/null 2>"$out/$1.log"
    awk '/^summary:|^totals:/ {print $2; exit}' "$out/$1"
}

fail=0
report() { # what per-call budget
    local verdict=ok
    awk -v a="$2" -v b="$3" 'BEGIN { exit !(a > b) }' && { verdict=OVER; fail=1; }
    printf '%-58s %8.2f  budget %3s  %s\n' "$1" "$2" "$3" "$verdict"
}
per() { awk -v n="$1" -v d="$2" 'BEGIN { printf "%.2f", n / d }'; }

report "stimer_get_next_firing_time" \
    "$(per "$(count peek stimer_get_next_firing_time peek $calls 0)" $calls)" 7
report "stimer_get_next_fired_timer, popping a timer with a successor" \
    "$(per "$(count pop stimer_get_next_fired_timer pop $calls 0)" $calls)" 40
report "stimer_kill of a middle timer" \
    "$(per "$(count kill stimer_kill kill $calls 0)" $calls)" 20
report "stimer_start into an empty list" \
    "$(per "$(count empty stimer_start start-empty $calls 0)" $calls)" 28
# The walk: the difference between arming behind 1024 and behind 64 timers.
# 8 is the plain loop's count under g++ 12. Forms of it that reach 7 fold the
# delta load into the add on the carried offset, and ran 1.13 to 1.24 times a
# pointer chase where the plain loop ran 0.98 to 1.00 (Walk/, bench/walk.cpp).
walk_calls=20000
big=$(count walk-big stimer_start walk $walk_calls 1024)
small=$(count walk-small stimer_start walk $walk_calls 64)
report "the arming walk, per visited timer" \
    "$(awk -v b="$big" -v s="$small" -v c=$walk_calls 'BEGIN { printf "%.2f", (b - s) / c / (1024 - 64) }')" 8
# stimer_walk over a whole list: O(1) a timer, where stimer_firing_time for
# each would cost O(n).
report "stimer_walk, per timer of a 1024-timer list" \
    "$(per "$(count list-walk walk_list list-walk 100 1024)" $((100 * 1024)))" 9
# The queue at a million entries, the benchmark's driver included. Expiring
# sorts what the wheel holds by cascading it: twice an entry at timeouts of
# up to 100,000 ticks.
queue() { # op
    valgrind --tool=callgrind --callgrind-out-file="$out/queue-$1" --toggle-collect='*counted_phase*' \
        "$peers" --count stimer_queue "$1" $calls >/dev/null 2>"$out/queue-$1.log"
    awk '/^summary:|^totals:/ {print $2; exit}' "$out/queue-$1"
}
report "stimer_queue_arm of an armed entry, among a million" "$(per "$(queue rearm)" $calls)" 106
report "stimer_queue_cancel, among a million" "$(per "$(queue cancel)" $calls)" 40
report "stimer_queue_expired, a million due, per entry" "$(per "$(queue expire)" $calls)" 112
exit $fail
