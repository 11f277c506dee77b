#!/bin/bash
# The Debian packages of cmake/packaging.cmake, built in BUILD_DIR/package
# (kept for the next run): no lintian error, no GTK for the release tools; each
# holds its copyright, changelog.Debian.gz and only compressed manuals; the
# library is multiarch, the updater the packaged one. Installed with dpkg into
# an empty root and purged, they leave nothing. Exit 77 (skipped) without lintian.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1/package src=$2
fail() { echo "package_test: $*" >&2; exit 1; }
quiet() { local out; out=$("$@" 2>&1) || fail "$*:"$'\n'"$out"; }
command -v lintian >/dev/null || { echo "package_test: lintian is not installed"; exit 77; }

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# Given each time (the environment counts only when the cache is made); CMake reads no CPPFLAGS.
quiet cmake -S "$src" -B "$build" -DUPDATER_PACKAGED=ON -DUPDATER_BUILD_TESTS=OFF \
  -DUPDATER_BUILD_BENCH=OFF -DCMAKE_C_FLAGS="$CFLAGS $CPPFLAGS" \
  -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS"
quiet cmake --build "$build"
rm -f "$build"/*.deb
(cd "$build" && quiet cpack -G DEB)
version=$(sed -nE 's/^project\(updater VERSION ([0-9.]+).*/\1/p' "$src/CMakeLists.txt")-1
packages=(updater updater-tools libqex-dev) debs=()
for p in "${packages[@]}"; do
  deb=$build/${p}_${version}_$(dpkg --print-architecture).deb
  debs+=("$deb")
  contents=$(dpkg-deb -c "$deb" | awk '{print $6}') || fail "no $deb"
  for doc in copyright changelog.Debian.gz; do
    grep -qx "./usr/share/doc/$p/$doc" <<<"$contents" || fail "$p has no $doc"
  done
  ! grep -E '/man/man[0-9]/.*[^z/]$' <<<"$contents" || fail "$p: uncompressed manual"
done
! dpkg-deb -f "${debs[1]}" Depends | grep -iE 'gtk|x11' || fail "the release tools depend on GTK"
grep -q " ./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libqex.a$" \
  <<<"$(dpkg-deb -c "${debs[2]}")" || fail "libqex.a not in the multiarch directory"
# Every remaining tag is printed for the record; errors fail.
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" || fail "lintian reports errors"

# An empty root but for dpkg's database; the packages' dependencies are the machine's.
root=$(mktemp -d /tmp/updater-packages-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers}
: >"$root/var/lib/dpkg/status"
quiet dpkg --root="$root" --force-depends --force-script-chrootless -i "${debs[@]}"
[[ -d $root/etc/updater && -z $(ls -A "$root/etc/updater") ]] || fail "no empty /etc/updater"
# The check of an empty update directory fails, in the packaged mode.
mkdir "$root/check"
report=$("$root/usr/bin/updater" --check --json "$root/check" "$root/check" || true)
grep -q '"mode": "packaged"' <<<"$report" || fail "the program is not the packaged updater"
rmdir "$root/check"
quiet dpkg --root="$root" --force-depends --force-script-chrootless --purge "${packages[@]}"
left=$(cd "$root" && find . ! -path './var/lib/dpkg*' ! -path ./var/lib ! -path ./var ! -path .)
[[ -z $left ]] || fail "the purge left:"$'\n'"$left"
echo "package_test: passed"
