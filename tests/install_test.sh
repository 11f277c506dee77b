#!/bin/bash
# Installs the build tree into a temporary prefix, then: every program there
# runs, every manual page renders without a warning, updater(1) lists every
# result code of base/error_codes.h and no other, and the tiny C program of
# archive/qex_c_test.c builds against the installed library, once through
# pkg-config and once through the CMake package.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR SANITIZED(0|1)
set -euo pipefail
build=$1 src=$2 flags=()
# The library of a sanitizer build needs the sanitizer runtime.
[[ $3 == 1 ]] && flags=(-fsanitize=address,undefined)
prefix=$(mktemp -d /tmp/updater-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for program in updater qex qxdiff qxpatch make-update; do
  [[ -x $prefix/bin/$program ]] || fail "$program not installed"
  "$prefix/bin/$program" --version | grep -q "^$program [0-9]" || fail "$program --version"
  page=$prefix/share/man/man1/$program.1.gz
  [[ -f $page ]] || fail "no compressed manual page for $program"
  warnings=$(zcat "$page" | groff -mdoc -ww -z 2>&1) && [[ -z $warnings ]] || fail "$page: $warnings"
done
[[ -f $prefix/share/man/man5/qex.5.gz ]] || fail "no manual page for the formats"
# The result codes of updater(1) are exactly those of base/error_codes.h.
codes=$(sed -nE 's/^ *k[A-Za-z]+ = ([0-9]+),.*/\1/p' "$src/base/error_codes.h" | grep -vx 0 | sort -n)
listed=$(zcat "$prefix/share/man/man1/updater.1.gz" | sed -n '/^Result codes in the status file/,/^\.El/p' |
  sed -nE 's/^\.It ([0-9]+)( to ([0-9]+))?$/\1 \3/p' | while read -r a b; do seq "$a" "${b:-$a}"; done |
  sort -n)
[[ -n $listed && $codes == "$listed" ]] ||
  fail "codes of base/error_codes.h (<) and updater(1) (>) differ:" $(diff <(echo "$codes") <(echo "$listed") | grep '^[<>]')
MANPATH=$prefix/share/man man -P cat 5 qex 2>/dev/null | grep -q QXPATCH1 || fail "man 5 qex"

# The installed header is <qex.h>.
sed 's|"archive/qex.h"|<qex.h>|' "$src/archive/qex_c_test.c" >"$prefix/tiny.c"
libdir=$(dirname "$(find "$prefix" -name qex.pc)")
cc "${flags[@]}" "$prefix/tiny.c" -o "$prefix/tiny" \
  $(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs qex)
"$prefix/tiny" | grep -qx "0 failed" || fail "the program built through pkg-config"

mkdir "$prefix/cmake-user"
cat >"$prefix/cmake-user/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(tiny C)
find_package(qex 1 REQUIRED)
add_executable(tiny ../tiny.c)
target_link_libraries(tiny PRIVATE qex::qex)
CMAKE
cmake -S "$prefix/cmake-user" -B "$prefix/cmake-user/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="${flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]}" >/dev/null
cmake --build "$prefix/cmake-user/build" >/dev/null
"$prefix/cmake-user/build/tiny" | grep -qx "0 failed" || fail "the program built through CMake"
echo "install_test: passed"
