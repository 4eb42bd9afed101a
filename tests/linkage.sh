#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Checks the built libstimer.so: its name, what it needs and where it looks
# for it, what it exports and imports, that it has no data of its own and
# that it never calls itself through the PLT.
#
# Then libstimer.a by the same rules, and that its object carries LTO
# bytecode beside its machine code when GCC built it.
#
#   linkage.sh <libstimer.so> <libstimer.a> <yes: fat LTO objects expected | no> <version>
set -u
lib=$1 archive=$2 lto=$3 version=$4
fail=0
expect() { # what, expected, actual
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
        fail=1
    else
        printf 'ok   %s\n' "$1"
    fi
}
join() { sort | tr '\n' ' ' | sed 's/ $//'; }
# The exports and their version nodes, as stimer/stimer.map gives them.
map=$(dirname "$0")/../stimer/stimer.map
versioned=$(awk '/^[A-Z0-9_.]+ *\{/ {node = $1} /^ *stimer_[a-z_]+;/ {sub(/;/, ""); print $1 "@@" node}' "$map" | join)
exports=$(tr ' ' '\n' <<<"$versioned" | sed 's/@@.*//' | join)

expect "file name carries version $version" "libstimer.so.$version" "$(basename "$lib")"
expect "SONAME" "libstimer.so.${version%%.*}" \
    "$(readelf -dW "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
expect "DT_NEEDED" "libtovask.so" \
    "$(readelf -dW "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | join)"
expect "RUNPATH: the platform library beside this one" '$ORIGIN' \
    "$(readelf -dW "$lib" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p' | join)"
expect "dynamic exports" "$exports" \
    "$(nm -D --defined-only "$lib" | awk '$2 != "A" {sub(/@.*/, "", $3); print $3}' | join)"
expect "every export carries its node of stimer.map, as the default" "$versioned" \
    "$(readelf --dyn-syms -W "$lib" | awk '$7 != "UND" && $8 ~ /^stimer_/ {print $8}' | join)"
expect "every export is a global function" "T" \
    "$(nm -D --defined-only "$lib" | awk '$2 != "A" {print $2}' | sort -u | join)"
expect "imports, strong and weak" "U TickGetCount" \
    "$(nm -D --undefined-only "$lib" | awk '{print $1, $2}' | join)"
expect "data objects" "" \
    "$(readelf -sW "$lib" | awk '$4 == "OBJECT" || $4 == "TLS" {print $8}' |
        grep -v -x -E '_DYNAMIC|_GLOBAL_OFFSET_TABLE_|STIMER_[0-9.]+' | join)"
expect "writable data sections" "" \
    "$(readelf -SW "$lib" | grep -o -E '\.(t?data|t?bss)[.A-Za-z0-9_]*' | join)"
expect "symbols that relocations name" "TickGetCount" \
    "$(readelf -rW "$lib" | awk 'NF >= 5 && $1 ~ /^[0-9a-f]+$/ {print $5}' | sort -u | join)"
expect "calls through the PLT" "" \
    "$(objdump -d "$lib" | grep -E 'call.*@plt' | join)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && ar x "$archive")
expect "archive: members" "stimer.cpp.o" "$(ar t "$archive" | join)"
obj=$work/stimer.cpp.o
# readelf reads the machine-code symbols; nm would read the LTO plugin's.
expect "archive: global definitions" "$exports" \
    "$(readelf -sW "$obj" | awk '$7 != "UND" && $5 == "GLOBAL" {print $8}' | join)"
expect "archive: imports" "TickGetCount" \
    "$(readelf -sW "$obj" | awk '$7 == "UND" && $8 != "" && $8 != "_GLOBAL_OFFSET_TABLE_" {print $8}' | join)"
# .L labels are the assembler's own, which Clang keeps for constant strings at -O0.
expect "archive: data objects" "" \
    "$(readelf -sW "$obj" | awk '($4 == "OBJECT" || $4 == "TLS") && $8 !~ /^\.L/ {print $8}' | join)"
expect "archive: writable data" "" "$(size -A "$obj" | awk '$1 ~ /^\.(t?data|t?bss)/ && $2 > 0 {print $1}' | join)"
expect "archive: machine code present" yes "$(size -A "$obj" | awk '$1 == ".text" && $2 > 0 {print "yes"}')"
expect "archive: LTO bytecode present" "$lto" \
    "$(readelf -SW "$obj" | grep -q '\.gnu\.lto_' && echo yes || echo no)"
exit $fail
