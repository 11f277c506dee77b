#!/bin/bash
# The Debian packages, built as cmake/packaging.cmake says in BUILD_DIR/package
# (kept, so that the next run only rebuilds what changed): lintian finds no
# error in any of them and the release tools do not depend on GTK; each holds
# its copyright, changelog.Debian.gz and only compressed manuals, the
# library lies in the multiarch directory, and the updater is the packaged
# one. Installed with dpkg into an empty root, then purged, they leave
# nothing behind. Exit 77 (skipped) without lintian.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1/package src=$2
fail() { echo "package_test: $*" >&2; exit 1; }
# Runs a command, showing what it said only when it fails.
quiet() { local out; out=$("$@" 2>&1) || fail "$*:"$'\n'"$out"; }
command -v lintian >/dev/null || { echo "package_test: lintian is not installed"; exit 77; }

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# CMake reads no CPPFLAGS.
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
quiet cmake -S "$src" -B "$build" -DUPDATER_PACKAGED=ON -DUPDATER_BUILD_TESTS=OFF \
  -DUPDATER_BUILD_BENCH=OFF
quiet cmake --build "$build"
rm -f "$build"/*.deb
(cd "$build" && quiet cpack -G DEB)
version=$(sed -nE 's/^project\(updater VERSION ([0-9.]+).*/\1/p' "$src/CMakeLists.txt")-1
arch=$(dpkg --print-architecture) multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
packages=(updater updater-tools libqex-dev)
debs=()
for p in "${packages[@]}"; do
  deb=$build/${p}_${version}_$arch.deb
  [[ -f $deb ]] || fail "no $deb"
  debs+=("$deb")
  contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for doc in copyright changelog.Debian.gz; do
    grep -qx "./usr/share/doc/$p/$doc" <<<"$contents" || fail "$p has no $doc"
  done
  ! grep -E '/man/man[0-9]/.*[^z]$' <<<"$contents" | grep -v '/$' || fail "$p: uncompressed manual"
  [[ $(dpkg-deb -f "$deb" Maintainer) != *localhost* ]] || fail "$p: no real maintainer"
done
! dpkg-deb -f "${debs[1]}" Depends | grep -iE 'gtk|x11' || fail "the release tools depend on GTK"
grep -q " ./usr/lib/$multiarch/libqex.a$" <<<"$(dpkg-deb -c "${debs[2]}")" || fail "libqex.a not multiarch"

# Every remaining tag is printed for the record; errors fail.
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" || fail "lintian reports errors"

# An empty root as dpkg needs it: its database and nothing else.
root=$(mktemp -d /tmp/updater-packages-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers}
: >"$root/var/lib/dpkg/status"
outside_db() { (cd "$root" && find . ! -path './var/lib/dpkg*' ! -path ./var/lib ! -path ./var | sort); }
before=$(outside_db)
# Their dependencies are the machine's, not the root's.
quiet dpkg --root="$root" --force-depends --force-script-chrootless -i "${debs[@]}"
[[ -d $root/etc/updater && -z $(ls -A "$root/etc/updater") ]] || fail "no empty /etc/updater"
# The packaged updater: the machine's libraries run it from the root; the
# check of an empty update directory fails, in the packaged mode.
mkdir "$root/check"
report=$("$root/usr/bin/updater" --check --json "$root/check" "$root/check" || true)
grep -q '"mode": "packaged"' <<<"$report" || fail "the program is not the packaged updater"
rmdir "$root/check"
installed=$(dpkg --root="$root" -L "${packages[@]}")
for path in $installed; do [[ -e $root$path ]] || fail "listed but missing: $path"; done
quiet dpkg --root="$root" --force-depends --force-script-chrootless --purge "${packages[@]}"
left=$(diff <(echo "$before") <(outside_db)) || fail "purge left:"$'\n'"$left"
echo "package_test: passed"
