#!/usr/bin/env bash
# A program linked against libstimer.so.1 as 1.0.0 shipped it, with no
# symbol versions, runs on this library: its unversioned references bind to
# the STIMER_1.0 definitions.
#
#   old_binary.sh <program built against the unversioned library> <dir of this library>
set -euo pipefail
prog=$1 dir=$2

refs=$(readelf --dyn-syms -W "$prog" | awk '$7 == "UND" && $8 ~ /^stimer_/ {print $8}')
[ -n "$refs" ] || { echo "FAIL $prog calls no stimer_ function"; exit 1; }
if grep -q @ <<<"$refs"; then
    printf 'FAIL the program was not linked against an unversioned library:\n%s\n' "$refs"
    exit 1
fi
echo "ok   $(wc -l <<<"$refs") unversioned references"

deps=$(LD_LIBRARY_PATH=$dir ldd "$prog")
case $deps in
*"$dir/libstimer.so.1 "*) ;;
*) printf 'FAIL libstimer.so.1 did not resolve to %s:\n%s\n' "$dir" "$deps"; exit 1 ;;
esac
LD_LIBRARY_PATH=$dir "$prog"
echo "ok   runs on the versioned library"
