#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Uses an installed stimer the way a caller would: the README's program
# (examples/first) built through find_package, tests/consumer/rearm_app.c
# and the installed examples through pkg-config, all run on the stand-in
# clock with LD_LIBRARY_PATH unset. The install test gives it a build tree,
# which it installs into a fresh prefix; the package test gives it the
# prefix that its packages were unpacked into.
#
#   consumer.sh <source dir> <build dir | prefix> <work dir> <C compiler> <build type>
#               <yes: libstimer.a carries LTO bytecode (GCC built it) | no> <version>
set -euo pipefail
src=$1 prefix=$2 work=$3 cc=$4 config=$5 fat_lto=$6 version=$7
unset LD_LIBRARY_PATH

fail() { printf 'FAIL %s\n' "$*"; exit 1; }
ok() { printf 'ok   %s\n' "$*"; }

rm -rf "$work"
mkdir -p "$work"
if [ -f "$prefix/CMakeCache.txt" ]; then
    cmake --install "$prefix" --prefix "$work/prefix" >"$work/install.log" ||
        { cat "$work/install.log"; fail "cmake --install"; }
    prefix=$work/prefix
fi
libdir=$(dirname "$(find "$prefix" -name stimer-checked -prune -o -name libstimer.so.$version -print)")

# What is installed, and how the names link.
[ "$(readlink "$libdir/libstimer.so")" = libstimer.so.1 ] &&
[ "$(readlink "$libdir/libstimer.so.1")" = libstimer.so.$version ] &&
[ -f "$libdir/libtovask.so" ] && [ -f "$libdir/libstimer.a" ] || fail "library names: $(ls -l "$libdir")"
for f in include/stimer.h include/tovask.h; do
    [ -f "$prefix/$f" ] || fail "missing $f"
done
for f in stimerConfig.cmake stimerConfigVersion.cmake stimerTargets.cmake stimerCheckedTargets.cmake; do
    [ -f "$libdir/cmake/stimer/$f" ] || fail "missing cmake/stimer/$f"
done
runpath=$(readelf -dW "$libdir/libstimer.so.$version" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN' ] || fail "RUNPATH of libstimer.so is '$runpath'"
checked=$libdir/stimer-checked/libstimer.so.$version
[ -f "$checked" ] && [ "$(readlink "$libdir/stimer-checked/libstimer.so.1")" = libstimer.so.$version ] ||
    fail "the checked build is not installed in $libdir/stimer-checked"
runpath=$(readelf -dW "$checked" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN/..' ] || fail "RUNPATH of the checked libstimer.so is '$runpath'"
ok "installed files, links and RUNPATH"

IFS=. read -r major minor patch <<<"$version"
# The header is the version's home; the file names above, the CMake package
# and pkg-config below follow it.
printf '#include <stimer.h>\n#if %s\n#error stimer.h has another version\n#endif\n' \
    "STIMER_VERSION_MAJOR != $major || STIMER_VERSION_MINOR != $minor || STIMER_VERSION_PATCH != $patch || STIMER_VERSION_NUMBER != $((major * 10000 + minor * 100 + patch))" \
    >"$work/version.c"
"$cc" -fsyntax-only -I"$prefix/include" "$work/version.c" || fail "the version macros of stimer.h are not $version"
ok "the version macros of stimer.h say $version"

# Loaded by path with no search path at all, libstimer.so finds the platform
# library beside itself.
if command -v python3 >/dev/null; then
    python3 - "$libdir" <<'PY' || fail "libtovask.so not found beside libstimer.so"
import ctypes, sys
ctypes.CDLL(sys.argv[1] + "/libstimer.so.1")
maps = open("/proc/self/maps").read()
sys.exit(0 if sys.argv[1] + "/libtovask.so" in maps else 1)
PY
    ok "libstimer.so loads libtovask.so through \$ORIGIN"
fi

# Every relative link of the installed docs leads to an installed file.
docdir=$prefix/share/doc/stimer
broken=$(cd "$docdir" && grep -rHo --include='*.md' '](\([^):#]*\)' . | sed 's/:](/ /' |
    while read -r file link; do [ -e "$(dirname "$file")/$link" ] || echo "$file: $link"; done)
[ -z "$broken" ] || fail "installed docs link to files not installed: $broken"
ok "the installed docs link to installed files"

# The README's program, its CMakeLists.txt and its output, as installed.
app=$work/app
cp -r "$docdir/examples/first" "$app"
[ "$(ls "$app")" = "$(printf 'CMakeLists.txt\nexpected.txt\nfirst.c')" ] ||
    fail "examples/first is installed as: $(ls "$app")"

configure() { # source dir, more cmake arguments
    local dir=$1; shift
    cmake -S "$dir" -B "$dir/build" "$@" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DCMAKE_C_EXTENSIONS=OFF \
        -DCMAKE_C_FLAGS="-Wall -Wextra -pedantic -Werror"
}
configure "$app" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; fail "find_package(stimer 1)"; }
found=$(sed -n 's/^stimer_DIR:[A-Z]*=//p' "$app/build/CMakeCache.txt")
[ "$found" = "$libdir/cmake/stimer" ] || fail "found stimer in '$found'"
cmake --build "$app/build" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; fail "building the README program"; }
out=$("$app/build/first") || fail "the README program exited with $?"
printf '%s\n' "$out"
[ "$out" = "$(cat "$app/expected.txt")" ] || fail "the README program printed the wrong lines"
ok "find_package(stimer 1 CONFIG REQUIRED): built and ran the README program"

# The same program, unchanged, on the checked build: a drop-in through
# LD_LIBRARY_PATH, which the program's DT_RUNPATH (not DT_RPATH) lets win.
readelf -dW "$app/build/first" | grep -q '(RPATH)' && fail "the README program has DT_RPATH"
[ "$(LD_LIBRARY_PATH=$libdir/stimer-checked "$app/build/first")" = "$out" ] ||
    fail "the README program on the checked build printed other lines"
deps=$(LD_LIBRARY_PATH=$libdir/stimer-checked ldd "$app/build/first")
case $deps in
*stimer-checked/libstimer.so.1*) ;;
*) fail "LD_LIBRARY_PATH did not swap in the checked build: $deps" ;;
esac
ok "the README program runs unchanged on the checked build"

# Only the same major version, no older than this one, is accepted.
for want in $((major - 1)) "$major.$((minor + 1))" $((major + 1)); do
    mkdir -p "$work/v$want"
    sed "s/find_package(stimer 1 /find_package(stimer $want /" "$app/CMakeLists.txt" \
        >"$work/v$want/CMakeLists.txt"
    cp "$app/first.c" "$work/v$want/"
    if configure "$work/v$want" >"$work/v$want.log" 2>&1; then
        fail "find_package(stimer $want) accepted version $version"
    fi
    grep -q "version: $version" "$work/v$want.log" ||
        { cat "$work/v$want.log"; fail "find_package(stimer $want) failed for another reason"; }
done
ok "find_package refuses versions $((major - 1)), $major.$((minor + 1)) and $((major + 1))"

# The same program linked with libstimer.a under LTO: every call is inlined
# (when GCC built the archive with optimisation), and the program needs no
# libstimer.so.
sed 's/stimer::stimer)/stimer::stimer_static)/' "$app/CMakeLists.txt" >"$work/lto.cmake"
mkdir -p "$work/lto" && cp "$app/first.c" "$work/lto/" && mv "$work/lto.cmake" "$work/lto/CMakeLists.txt"
configure "$work/lto" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
    >"$work/lto.log" 2>&1 && cmake --build "$work/lto/build" >>"$work/lto.log" 2>&1 ||
    { cat "$work/lto.log"; fail "building the README program with stimer::stimer_static and LTO"; }
lto=$work/lto/build/first
needed=$(readelf -dW "$lto" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
case $needed in *libstimer*) fail "the LTO program needs libstimer.so: $needed" ;; esac
[ "$("$lto")" = "$out" ] || fail "the LTO program printed other lines"
if [ "$fat_lto" != yes ]; then
    ok "stimer::stimer_static with LTO: runs, needs only $needed (this compiler's archive has machine code only)"
elif [ "$config" = Debug ]; then
    ok "stimer::stimer_static with LTO: runs, needs only $needed (a Debug archive inlines nothing)"
else
    left=$(nm "$lto" | awk '$3 ~ /^stimer_/ {print $3}')
    [ -z "$left" ] || fail "stimer_ functions left in the LTO program: $left"
    ok "stimer::stimer_static with LTO: no stimer_ function left, needs only $needed"
fi

# pkg-config.
if command -v pkg-config >/dev/null; then
    export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
    [ "$(pkg-config --modversion stimer)" = "$version" ] || fail "pkg-config --modversion"
    flags=$(pkg-config --cflags --libs stimer)
    "$cc" -std=c99 -Wall -Wextra -pedantic -Werror -o "$work/rearm_app" \
        "$src/tests/consumer/rearm_app.c" $flags \
        -Wl,-rpath,"$(pkg-config --variable=libdir stimer)" ||
        fail "building with pkg-config --cflags --libs stimer ($flags)"
    "$work/rearm_app" || fail "rearm_app exited with $?"
    ok "pkg-config --cflags --libs stimer: built and ran rearm_app"
    [ "$(pkg-config --variable=checkeddir stimer)" -ef "$libdir/stimer-checked" ] ||
        fail "pkg-config --variable=checkeddir stimer is not $libdir/stimer-checked"
    ok "pkg-config --variable=checkeddir stimer names the checked build"
    flags=$(pkg-config --cflags --libs stimer-static)
    "$cc" -std=c99 -Wall -Wextra -pedantic -Werror -o "$work/rearm_static" \
        "$src/tests/consumer/rearm_app.c" $flags \
        -Wl,-rpath,"$(pkg-config --variable=libdir stimer)" ||
        fail "building with pkg-config --cflags --libs stimer-static ($flags)"
    readelf -dW "$work/rearm_static" | grep -q 'libstimer' &&
        fail "rearm_app built on stimer-static needs libstimer.so"
    "$work/rearm_static" || fail "rearm_app on libstimer.a exited with $?"
    ok "pkg-config --cflags --libs stimer-static: built and ran rearm_app without LTO"

    # A caller in C99 and in C++ uses the version macros and the inline
    # helpers and needs nothing of the library beyond its exports.
    exports=$(grep -o 'stimer_[a-z_]*' "$src/stimer/stimer.map" | sort)
    for lang in "-std=c99" "-x c++ -std=c++11 -fno-exceptions"; do
        "$cc" $lang -Wall -Wextra -pedantic -Werror -o "$work/header_check" \
            "$src/tests/header_check.c" $(pkg-config --cflags --libs stimer) \
            -Wl,-rpath,"$(pkg-config --variable=libdir stimer)" || fail "tests/header_check.c as $lang"
        "$work/header_check" >/dev/null || fail "tests/header_check.c as $lang exited with $?"
        beyond=$(nm -u "$work/header_check" | awk '$2 ~ /^stimer_/ {sub(/@.*/, "", $2); print $2}' |
            sort | comm -23 - <(echo "$exports"))
        [ -z "$beyond" ] || fail "tests/header_check.c as $lang needs $beyond, which is not exported"
    done
    ok "C99 and C++ callers use the version macros and helpers, and bind to exports only"

    # The installed examples, as a reader would build them.
    examples=$(find "$prefix/share/doc/stimer/examples" -name '*.c' | sort)
    [ -n "$examples" ] || fail "no examples in $prefix/share/doc/stimer/examples"
    for example in $examples; do
        for std in c99 c11; do
            "$cc" -std=$std -Wall -Wextra -pedantic -Werror -o "$work/example" "$example" \
                $(pkg-config --cflags --libs stimer) ||
                fail "the installed $(basename "$example") does not build as $std"
        done
    done
    ok "installed examples build as C99 and C11: $(echo $examples | xargs -n1 basename | tr '\n' ' ')"
elif [ "${CI:-}" = true ]; then
    fail "pkg-config is not installed"
else
    echo "skip pkg-config: not installed"
    exit 77
fi
