#!/bin/sh
# Installs a build into a temporary prefix as a user would and checks what
# lands there: files and SONAME links, a program that runs without
# ldconfig, pkg-config and CMake files free of build-tree paths, the example
# hosts built both with pkg-config and with find_package (after moving the
# prefix, so the CMake package must be relocatable) and run, and a DESTDIR
# staging install.
# usage: tests/install_check.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -eu
build=$(cd "${1:?usage: $0 BUILD_DIR SOURCE_DIR C_COMPILER}" && pwd -P)
src=$(cd "${2:?}" && pwd -P)
cc=${3:?}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install check: $*" >&2; exit 1; }
unset LD_LIBRARY_PATH

version=$(sed -n 's/^#define ZTMIME_VERSION_STRING "\(.*\)"$/\1/p' "$src/include/ztmime.h")
major=${version%%.*}
[ -n "$version" ] || fail "no ZTMIME_VERSION_STRING in ztmime.h"

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "install failed"; }
pcdir=$(dirname "$(find "$prefix" -name ztmime.pc)")
libdir=$(dirname "$pcdir")

for f in include/ztmime.h include/ztview.h bin/ztmime share/man/man1/ztmime.1; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done
for f in pkgconfig/ztmime.pc pkgconfig/ztview.pc cmake/ztmime/ztmimeConfig.cmake \
         cmake/ztmime/ztmimeConfigVersion.cmake cmake/ztmime/ztmimeTargets.cmake; do
  [ -f "$libdir/$f" ] || fail "$f not installed in $libdir"
done
for lib in ztmime ztview; do
  [ -f "$libdir/lib$lib.so.$version" ] && [ ! -L "$libdir/lib$lib.so.$version" ] ||
    fail "lib$lib.so.$version missing"
  [ "$(readlink "$libdir/lib$lib.so.$major")" = "lib$lib.so.$version" ] || fail "lib$lib.so.$major link"
  [ "$(readlink "$libdir/lib$lib.so")" = "lib$lib.so.$major" ] || fail "lib$lib.so link"
  readelf -d "$libdir/lib$lib.so.$version" | grep -q "Library soname: \[lib$lib.so.$major\]" ||
    fail "lib$lib SONAME is not lib$lib.so.$major"
done
grep -q "^Version: $version\$" "$pcdir/ztmime.pc" || fail "ztmime.pc has another version"
grep -q "^\.TH .*\"ztmime $version\"" "$prefix/share/man/man1/ztmime.1" ||
  fail "the man page's .TH line does not name ztmime $version"

# Installed metadata may name the prefix, never the build or source tree.
for tree in "$build" "$src"; do
  if grep -rlF "$tree" "$pcdir" "$libdir/cmake/ztmime"; then
    fail "the files above name $tree"
  fi
done

"$prefix/bin/ztmime" --help >/dev/null || fail "the installed program does not run"

# Every example, with pkg-config.
export PKG_CONFIG_PATH="$pcdir"
[ "$(pkg-config --modversion ztmime)" = "$version" ] || fail "pkg-config --modversion ztmime"
mkdir "$tmp/pc"
for c in "$src"/examples/*.c; do
  # shellcheck disable=SC2046
  "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$tmp/pc/$(basename "$c" .c)" "$c" \
    $(pkg-config --cflags --libs ztmime) -Wl,-rpath,"$(pkg-config --variable=libdir ztmime)" ||
    fail "$c does not build with pkg-config"
done
"$src/tests/run_examples.sh" "$tmp/pc" "$src"

# Every example, with find_package, against the prefix moved elsewhere.
mv "$prefix" "$tmp/moved"
"$tmp/moved/bin/ztmime" --help >/dev/null || fail "the program does not run from a moved prefix"
cmake -S "$src/examples" -B "$tmp/cm" -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$tmp/moved" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >"$tmp/cm.log" ||
  { cat "$tmp/cm.log"; fail "examples do not configure with find_package"; }
cmake --build "$tmp/cm" >>"$tmp/cm.log" || { cat "$tmp/cm.log"; fail "examples do not build with find_package"; }
"$src/tests/run_examples.sh" "$tmp/cm" "$src"

# A staging install keeps the final prefix in its files.
DESTDIR="$tmp/stage" cmake --install "$build" --prefix /opt/ztmime >/dev/null
[ -x "$tmp/stage/opt/ztmime/bin/ztmime" ] || fail "DESTDIR install put no program in place"
grep -q '^prefix=/opt/ztmime$' "$(find "$tmp/stage" -name ztmime.pc)" || fail "DESTDIR leaked into ztmime.pc"
echo "install check passed"
