#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Checks the Debian packages that `cmake --workflow --preset package` makes:
# lintian finds no error in any, and once they are installed into a scratch
# root, tests/consumer.sh uses them as it uses an install. Without the
# stand-in, find_package says what is missing, and takes a platform's own
# libtovask.so when there is one.
#
#   packages.sh <dir of the .deb files> <source dir> <work dir> <C compiler>
#               <yes: libstimer.a carries LTO bytecode | no>
set -euo pipefail
debs=$1 src=$2 work=$3 cc=$4 fat_lto=$5

fail() { printf 'FAIL %s\n' "$*"; exit 1; }
ok() { printf 'ok   %s\n' "$*"; }
for tool in lintian dpkg pkg-config; do
    command -v $tool >/dev/null ||
        fail "$tool is not installed (apt-get install lintian dpkg-dev pkgconf)"
done

names=$(cd "$debs" && ls -- *.deb 2>/dev/null | sed 's/_.*//' | sort | tr '\n' ' ')
[ "$names" = "libstimer-dev libstimer1 libstimer1-checked libtovask-standin " ] ||
    fail "packages in $debs: '$names'; make them with cmake --workflow --preset package"

rm -rf "$work" && mkdir -p "$work"
lintian --fail-on error --tag-display-limit 0 "$debs"/*.deb >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian reports errors"; }
! grep -E '^[EWI]: .*(copyright|licen[cs]e)' "$work/lintian.log" || fail "lintian questions the licence"
ok "lintian: no errors, nothing about the licence ($(grep -c '^W:' "$work/lintian.log" || true) warnings)"

# Installs the named packages into a fresh root; libc6 comes from the host.
install_root() { # root, package names...
    local root=$1; shift
    rm -rf "$root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    local files=()
    for name; do files+=("$debs/${name}_"*.deb); done
    dpkg --root="$root" --force-script-chrootless --force-depends --no-triggers \
        -i "${files[@]}" >"$root.log" 2>&1 || { cat "$root.log"; fail "dpkg -i ${*}"; }
}

cp -r "$src/examples/first" "$work/app"
expected=$(cat "$work/app/expected.txt")

root=$work/root
install_root "$root" libstimer1 libstimer-dev libstimer1-checked libtovask-standin
libdir=$(dirname "$(find "$root/usr/lib" -name libstimer.so.1 -not -path '*/stimer-checked/*')")
MANPAGER=cat man -M "$root/usr/share/man" stimer_start_ex 2>/dev/null | grep -q 'stimer_start_ex' ||
    fail "man -M $root/usr/share/man stimer_start_ex finds no page"
version=$(printf '#include <stimer.h>\nSTIMER_VERSION_MAJOR.STIMER_VERSION_MINOR.STIMER_VERSION_PATCH\n' |
    "$cc" -E -P -I"$root/usr/include" - | tail -n 1 | tr -d ' ')
for deb in "$debs"/*.deb; do
    [ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || fail "$(basename "$deb") is not version $version-1"
done
ok "installed into $root; each package is version $version-1, as stimer.h says"
# gdb finds the extension for the packaged library with no step of the user's.
gdbscript=/usr/share/gdb/auto-load${libdir#"$root"}/libstimer.so.$version-gdb.py
case $(dpkg-deb -c "$debs"/libstimer-dev_*.deb) in
*" .$gdbscript"*) ;;
*) fail "libstimer-dev does not ship $gdbscript" ;;
esac
ok "libstimer-dev ships the gdb extension as $gdbscript"

"$src/tests/consumer.sh" "$src" "$root/usr" "$work/consumer" "$cc" Release "$fat_lto" "$version" ||
    fail "tests/consumer.sh on the installed packages"

configure() { # source, build dir, prefix path
    cmake -S "$1" -B "$2" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$3" \
        -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF
}

# A platform that brings its own libtovask: stimer installs without the
# stand-in, and finds the platform's library where the platform put it.
bare=$work/bare
install_root "$bare" libstimer1 libstimer-dev
[ ! -e "$bare/usr/include/tovask.h" ] && ! find "$bare" -name 'libtovask.so*' | grep -q . ||
    fail "the stand-in came with libstimer1 or libstimer-dev"
if configure "$work/app" "$work/build-bare" "$bare/usr" >"$work/bare.log" 2>&1; then
    fail "find_package(stimer) succeeded with no platform library"
fi
grep -q "stimer needs the platform library" "$work/bare.log" ||
    { cat "$work/bare.log"; fail "find_package(stimer) failed without saying why"; }
ok "without a platform library, find_package says what is missing"

platform=$work/platform
mkdir -p "$platform/lib" "$platform/include"
cp "$root/usr/include/tovask.h" "$platform/include/"
cp "$libdir/libtovask.so" "$platform/lib/"
configure "$work/app" "$work/build-platform" "$bare/usr;$platform" >"$work/platform.log" 2>&1 &&
    cmake --build "$work/build-platform" >>"$work/platform.log" 2>&1 ||
    { cat "$work/platform.log"; fail "building against the platform's own libtovask.so"; }
grep -q "STIMER_TOVASK_LIBRARY:FILEPATH=$platform/lib/libtovask.so" "$work/build-platform/CMakeCache.txt" ||
    fail "stimer::tovask does not point at the platform's library"
bare_lib=$(dirname "$(find "$bare/usr/lib" -name libstimer.so.1)")
[ "$(LD_LIBRARY_PATH=$bare_lib:$platform/lib "$work/build-platform/first")" = "$expected" ] ||
    fail "the program on the platform's libtovask.so printed other lines"
ok "without the stand-in: stimer::tovask is the platform's libtovask.so, and the program runs"
