#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a C program of the
# library's users against it, through pkg-config and through the CMake
# package; the commands and the shared library's name are checked too.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
command -v pkg-config >/dev/null || { echo "pkg-config is not installed: skipped" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name lodestar.pc)")/..
fail() { echo "install test: $*" >&2; exit 1; }

[ "$(ls "$prefix/include")" = lodestar.h ] || fail "include/ holds more than the public header: $(ls "$prefix/include")"
want="lodestar $(sed -n 's/^#define LS_VERSION "\(.*\)"$/\1/p' "$src/lib/lodestar.h")"
[ "$("$prefix/bin/lodestar" --version)" = "$want" ] || fail "installed lodestar --version is not '$want'"
[ -x "$prefix/bin/lodestar-lite" ] || fail "lodestar-lite is not installed"
[ -f "$prefix/share/man/man1/lodestar.1" ] || fail "the manual page is not in share/man/man1"
[ -f "$libdir/liblodestar.a" ] || fail "no static library"
soname=$(readelf -d "$libdir/liblodestar.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ -n "$soname" ] && [ -f "$libdir/$soname" ] || fail "shared library without a SONAME file ('$soname')"

other=$(nm -D --defined-only "$libdir/$soname" | awk '{ print $3 }' | grep -v '^ls_' || true)
[ -z "$other" ] || fail "the shared library exports more than the interface: $(echo $other | head -c 300)"

# The mapped piece is target[5000, 7000), from the forward strand.
expect="${want#lodestar } chr1 5000 7000 60"
export PKG_CONFIG_PATH=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir
# shellcheck disable=SC2046
cc -o "$work/by-pkg-config" "$src/tests/install/consumer.c" $(pkg-config --cflags --libs lodestar)
[ "$("$work/by-pkg-config")" = "$expect" ] || fail "pkg-config build printed '$("$work/by-pkg-config")', not '$expect'"
cmake -S "$src/tests/install" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" >/dev/null
[ "$("$work/consumer/consumer")" = "$expect" ] || fail "CMake build printed '$("$work/consumer/consumer")', not '$expect'"
echo "installed and linked through pkg-config and CMake: $expect"
