#!/usr/bin/env bash
# Installs the build into a staging prefix, then uses it as a client would:
# builds a small C program against the installed package, once through CMake's
# find_package and once through pkg-config, runs both, and renders one picture
# with the installed quorvel-render, and starts the installed viewer.
# Usage: install_test.sh BUILD_DIR WORK_DIR VERSION C_COMPILER TOOLS(ON|OFF) VIEWER(ON|OFF)
#        [C_FLAGS]
set -euo pipefail
build=$1 work=$2 version=$3 cc=$4 tools=$5 viewer=$6 cflags=${7:-}
here=$(cd "$(dirname "$0")" && pwd)
stage=$work/stage

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$stage" >"$work/install.log"

fail() { echo "install_test: $*" >&2; exit 1; }
libdir=$(dirname "$(find "$stage" -name quorvel.pc -print -quit)")
[ -n "$libdir" ] && [ -d "$libdir" ] || fail "no quorvel.pc installed"
libdir=$(dirname "$libdir")
[ -f "$stage/include/quorvel.h" ] || fail "no header installed"
[ -f "$stage/share/quorvel/def.pal" ] || fail "no def.pal in share/quorvel"
ls "$stage"/share/quorvel/palettes/*.pal >/dev/null 2>&1 || fail "no palettes in share/quorvel"

# CMake: find_package with the version asked for, so the version file counts.
cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$stage" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" -DQV_WANTED_VERSION="$version" \
  >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package(quorvel $version) failed"; }
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "CMake build failed"; }
"$work/cmake/consumer" || fail "the CMake-built client failed"

# pkg-config: the prefix must be the staging one, not the configured one.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --variable=prefix quorvel)" = "$stage" ] || fail "quorvel.pc has prefix $(pkg-config --variable=prefix quorvel)"
[ "$(pkg-config --modversion quorvel)" = "$version" ] || fail "quorvel.pc has version $(pkg-config --modversion quorvel)"
IFS=. read -r major minor patch <<<"$version"
# shellcheck disable=SC2046,SC2086
"$cc" $cflags -DEXPECTED_MAJOR="$major" -DEXPECTED_MINOR="$minor" -DEXPECTED_PATCH="$patch" \
  $(pkg-config --cflags quorvel) "$here/consumer/consumer.c" $(pkg-config --libs quorvel) \
  -o "$work/pc-consumer" || fail "pkg-config build failed"
LD_LIBRARY_PATH=$libdir "$work/pc-consumer" || fail "the pkg-config-built client failed"

if [ "$tools" = ON ]; then
  [ -x "$stage/bin/quorvel-render" ] || fail "no quorvel-render installed"
  "$stage/bin/quorvel-render" --size 48x32 --iterations 200 --out "$work/picture.png" \
    >"$work/render.log" 2>&1 || { cat "$work/render.log"; fail "the installed renderer failed"; }
  [ "$(head -c 8 "$work/picture.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
    fail "the installed renderer wrote no PNG"
  ! grep -q "grey ramp" "$work/render.log" || fail "the installed renderer found no def.pal"
fi
if [ "$viewer" = ON ]; then
  # Under its own name: a bare "viewer" in a shared bin/ would clash.
  [ -x "$stage/bin/quorvel-viewer" ] || fail "no quorvel-viewer installed"
  [ ! -e "$stage/bin/viewer" ] || fail "a program called viewer was installed"
  # Without a display it ends at once, with status 1 and one line, once its
  # libraries are found: that it gets so far is the check.
  status=0
  env -u DISPLAY ASAN_OPTIONS=detect_leaks=0 "$stage/bin/quorvel-viewer" \
    >"$work/viewer.out" 2>"$work/viewer.err" || status=$?
  [ $status -eq 1 ] && grep -q "cannot open the X display" "$work/viewer.err" ||
    fail "the installed viewer did not start: status $status, $(cat "$work/viewer.err")"
fi
echo "install_test: installed package works"
