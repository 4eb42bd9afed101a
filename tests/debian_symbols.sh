#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# The symbols file that libstimer1 ships, cmake/debian/symbols, against the
# one dpkg-gensymbols makes from the built library: a new, missing or
# re-versioned export fails until the file is brought up to date on purpose.
#
#   debian_symbols.sh <libstimer.so> <committed symbols file> <version>
set -uo pipefail
lib=$(realpath "$1") committed=$(realpath "$2") version=$3
if ! command -v dpkg-gensymbols >/dev/null; then
    echo "dpkg-gensymbols is not installed (apt-get install dpkg-dev)"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# dpkg-gensymbols looks for debian/ under the current folder.
cd "$work" || exit 1
if ! dpkg-gensymbols -plibstimer1 -v"$version" -e"$lib" -I"$committed" -O"$work/symbols" -c4; then
    echo "FAIL the exports differ from $committed (the diff is above). If the change"
    echo "     is meant, write the file anew with the command above and -c0, and commit it."
    exit 1
fi
echo "ok   $committed matches the library's exports"
