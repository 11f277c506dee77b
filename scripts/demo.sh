#!/bin/bash
# Demonstration: installs what is missing, builds every program (the tests
# are configured, not built), then checks and applies a real update to a small
# installation (in place), and the same update as a staged update followed by
# a replace request. Everything happens in a temporary directory, removed at
# the end.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

missing=()
for p in $(cat .ci/packages); do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
cmake -S . -B build -DUPDATER_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target updater qex qxdiff qxpatch make-update >/dev/null
bin="$src/build"

demo=$(mktemp -d /tmp/updater-demo-XXXXXX)
trap 'rm -rf "$demo"' EXIT
say() { printf '\n== %s\n' "$*"; }

# The installed application, version 1.
make_installation() {
  local app=$1
  mkdir -p "$app/bin" "$app/lib" "$app/share/doc" "$app/plugins/old/data"
  printf '#!/bin/sh\necho "hello from version 1"\n' > "$app/bin/hello"
  chmod 755 "$app/bin/hello"
  head -c 200000 /usr/bin/bash > "$app/lib/libcore.so"
  ln -s libcore.so "$app/lib/libcore.so.1"
  echo "Version 1 readme" > "$app/share/doc/README"
  echo "obsolete notes" > "$app/share/doc/OLD-NOTES"
  echo "plugin" > "$app/plugins/old/plugin.so"
  echo "plugin data" > "$app/plugins/old/data/table.dat"
  printf 'remove "precomplete"\nremove "share/doc/OLD-NOTES"\n' > "$app/precomplete"
}

say "1. The installation (version 1) in $demo/app"
make_installation "$demo/app"
(cd "$demo/app" && find . | sort)

say "2. The update archive, built with qex"
stage="$demo/payload"
mkdir -p "$stage/bin" "$stage/share/doc" "$stage/share/icons" "$stage/lib"
printf '#!/bin/sh\necho "hello from version 2"\n' > "$stage/bin/hello"
chmod 755 "$stage/bin/hello"
echo "Version 2 readme" > "$stage/share/doc/README"
printf 'PNG?' > "$stage/share/icons/app.png"
# The library is patched: version 2 changes a few bytes in the middle.
{ head -c 100000 "$demo/app/lib/libcore.so"; printf 'VERSION-2'; tail -c +100010 "$demo/app/lib/libcore.so"; } > "$demo/libcore.so.v2"
"$bin/tools/qxdiff" "$demo/app/lib/libcore.so" "$demo/libcore.so.v2" "$stage/lib/libcore.so.patch"
printf 'remove "precomplete"\nremove "bin/hello"\n' > "$stage/precomplete"
cat > "$stage/updatev3.manifest" <<'MANIFEST'
type "complete"
add "bin/hello"
add "share/doc/README"
add "share/icons/app.png"
patch "lib/libcore.so.patch" "lib/libcore.so"
rmrfdir "plugins/old/"
add "precomplete"
MANIFEST
mkdir -p "$demo/app/updates/0"
"$bin/tools/qex" create --bzip2 --channel release --product-version 2.0 \
  -C "$stage" "$demo/app/updates/0/update.qex" .
"$bin/tools/qex" list "$demo/app/updates/0/update.qex"
cp "$demo/app/updates/0/update.qex" "$demo/update.qex"
echo "manifest:"; sed 's/^/  /' "$stage/updatev3.manifest"

say "3. updater --check updates/0 app: what the update would do, changing nothing"
"$bin/updater" --check "$demo/app/updates/0" "$demo/app" | sed 's/^/  /'

say "4. updater updates/0 app (an ordinary update, in place)"
cp -a "$demo/app" "$demo/app-v1"
set +e
"$bin/updater" "$demo/app/updates/0" "$demo/app"
rc=$?
set -e
echo "exit code: $rc"
printf 'update.status: '; od -c "$demo/app/updates/0/update.status" | head -2
echo "update.log:"; sed 's/^/  /' "$demo/app/updates/0/update.log"
echo "what changed in the installation:"
diff -r --no-dereference "$demo/app-v1" "$demo/app" | grep -v '^Only in .*updates' | sed 's/^/  /' || true
"$demo/app/bin/hello"

say "5. The same update as a staged update (wait-pid -1) into app2/updated"
rm -rf "$demo/app2"
make_installation "$demo/app2"
mkdir -p "$demo/app2/updates/0"
cp "$demo/update.qex" "$demo/app2/updates/0/"
set +e
"$bin/updater" "$demo/app2/updates/0" "$demo/app2/updated" -1
echo "exit code: $?"
set -e
printf 'update.status: '; cat "$demo/app2/updates/0/update.status"
echo "installation still runs: $("$demo/app2/bin/hello")"
echo "staged copy runs:        $("$demo/app2/updated/bin/hello")"

say "6. The replace request swaps the staged copy into place"
set +e
"$bin/updater" "$demo/app2/updates/0" "$demo/app2/updated" "0/replace"
echo "exit code: $?"
set -e
printf 'update.status: '; cat "$demo/app2/updates/0/update.status"
echo "log of the replace request (app2/updates/update.log):"
sed 's/^/  /' "$demo/app2/updates/update.log"
echo "installation now runs: $("$demo/app2/bin/hello")"
ls -d "$demo/app2.bak" 2>/dev/null || echo "no app2.bak left behind"

say "Done; $demo is removed. What next:"
cat <<'NEXT'
  - the worked example of README.md, "Building updates": make-update on two
    versions of a small application, checked and applied
  - the manuals: man -l doc/man/updater.1 (also make-update.1, qex.1, qxdiff.1,
    qxpatch.1, and qex.5 for the formats)
  - the tests: cmake --build build -j2 && ctest --test-dir build
  - installing: cmake --install build --prefix DIR, or the Debian packages
    (updater, updater-tools, libqex-dev): updater(1), INSTALLING
NEXT
