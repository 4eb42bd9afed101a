#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# The ABI of libstimer.so against the committed baseline, abi/libstimer.abi.
#
#   abi.sh check  <libstimer.so>   compare; any difference fails
#   abi.sh update <libstimer.so>   write the baseline anew from the library
#
# The library must carry debug info (RelWithDebInfo or Debug).
set -uo pipefail
mode=$1 lib=$2
root=$(cd "$(dirname "$0")/.." && pwd)
baseline=$root/abi/libstimer.abi

if ! command -v abidiff >/dev/null || ! command -v abidw >/dev/null; then
    echo "abidw and abidiff are not installed (apt-get install abigail-tools)"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi
if ! readelf -SW "$lib" | grep -q '\.debug_info'; then
    echo "skipped: $lib has no debug info to compare record layouts with;"
    echo "build with -DCMAKE_BUILD_TYPE=RelWithDebInfo or Debug to check the ABI"
    [ "$mode" = check ] && exit 77
    exit 1
fi

case $mode in
update)
    abidw --no-corpus-path --no-comp-dir-path --no-show-locs \
        --header-file "$root/stimer/stimer.h" --drop-private-types --exported-interfaces-only \
        --out-file "$baseline" "$lib" || exit 1
    # The source file's path is the one thing of this clone in the dump.
    sed -i "s|path='$root/|path='|" "$baseline"
    echo "wrote $baseline"
    ;;
check)
    abidiff "$baseline" "$lib"
    rc=$?
    if [ $rc -ne 0 ]; then
        echo "FAIL abidiff exited with $rc: the ABI differs from abi/libstimer.abi"
        exit 1
    fi
    echo "ok   abidiff: no change against abi/libstimer.abi"

    # The comparison must see a change when there is one: a moved field and
    # a function missing from the baseline are both reported.
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    sed "s/layout-offset-in-bits='248'/layout-offset-in-bits='240'/" "$baseline" >"$tmp/moved.abi"
    awk '/<elf-symbol name=.stimer_kill./ { next }
         /<function-decl name=.stimer_kill./ { skip = 1 }
         !skip { print }
         skip && /<\/function-decl>/ { skip = 0 }' "$baseline" >"$tmp/missing.abi"
    for variant in moved missing; do
        if cmp -s "$baseline" "$tmp/$variant.abi"; then
            echo "FAIL the '$variant' variant of the baseline is the baseline itself"
            exit 1
        fi
        if abidiff "$tmp/$variant.abi" "$lib" >/dev/null; then
            echo "FAIL abidiff saw no change against the '$variant' baseline"
            exit 1
        fi
    done
    echo "ok   abidiff reports a moved field and an added function"
    ;;
*)
    echo "usage: abi.sh check|update <libstimer.so>" >&2
    exit 2
    ;;
esac
