#!/bin/bash
# Two applications under the installed packages: the debs that package_test.sh
# left in BUILD_DIR/package go into a temporary root, whose etc/updater holds
# the keys and window title of org.example.alpha and org.example.beta. The
# installed updater runs in a private mount namespace that lays the root's etc
# over /etc (read-only), so it reads that configuration and never the host's.
# Each case: the check's JSON (parsed by jq) predicts the run's code; the run
# applies its own application's signed update under its own window title, or
# refuses and changes nothing. Exit 77 (skipped) without the debs, the tools,
# or the right to make a mount namespace.
# Usage: packaged_apps_test.sh BUILD_DIR
set -euo pipefail
debs=("$1"/package/*.deb)
fail() { echo "packaged_apps_test: $*" >&2; exit 1; }
skip() { echo "packaged_apps_test: $*, skipped"; exit 77; }
quiet() { local out; out=$("$@" 2>&1) || fail "$*:"$'\n'"$out"; }
[[ -e ${debs[0]} ]] || skip "no packages in $1/package (package_test.sh makes them)"
for t in Xvfb xwininfo jq openssl strace unshare; do
  command -v $t >/dev/null || skip "$t is not installed"
done

work=$(mktemp -d /tmp/updater-apps-XXXXXX) root=$work/root xpid=
trap '[[ -z $xpid ]] || kill $xpid; rm -rf "$work"' EXIT
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers}
: >"$root/var/lib/dpkg/status"
quiet dpkg --root="$root" --force-depends --force-script-chrootless -i "${debs[@]}"
# The installed program, with the root's etc in front of the host's.
in_root() {
  unshare --mount --propagation private sh -c \
    'mount -t overlay overlay -o lowerdir="$0/etc":/etc /etc && exec "$@"' "$root" "$@"
}
in_root true 2>/dev/null || skip "no mount namespace with an overlay on /etc can be made here"
bin=$root/usr/bin conf=$root/etc/updater
Xvfb -displayfd 3 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null & xpid=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

# Version 2 drops a plugin of version 1, which each application's installer
# laid down with its precomplete and id: the complete update removes it.
mkdir -p "$work"/v1/plugins "$work"/v2/plugins
seq 100000 >"$work/v1/app" && seq 100001 >"$work/v2/app"
echo old >"$work/v1/plugins/old.so" && echo new >"$work/v2/plugins/new.so"
umask 022
for app in alpha beta gamma; do
  id=org.example.$app
  cp -a "$work/v1" "$work/$app-v1"
  quiet "$bin/make-update" --first-install --product-version 1.0 --app-id $id "$work/$app-v1"
  quiet openssl genpkey -algorithm ed25519 -out "$work/$app.pem"
  "$bin/make-update" -q --product-version 2.0 --full --app-id $id \
    --sign "$work/$app.pem" -o "$work/$app.qex" "$work/$app-v1" "$work/v2"
  [[ $app == gamma ]] && continue
  mkdir "$conf/$id"
  openssl pkey -pubout -in "$work/$app.pem" -out "$conf/$id/updater.keys"
  printf '[Strings]\nTitle=Updating %s\nInfo=Please wait\n' $app >"$conf/$id/updater.ini"
done
"$bin/make-update" -q --product-version 2.0 --full --app-id org.example.alpha \
  -o "$work/unsigned.qex" "$work/alpha-v1" "$work/v2"

snapshot() { (cd "$1" && find . -printf '%p %y %m %U %s\n' -type f -exec md5sum {} + | sort); }
# Every rename is slowed, from the first backup of the execute phase on, so
# the run is far from its end when the window is due; xwininfo polls for the
# run's window until it ends. GTK's group leader, also of class
# updater, is the unmapped 10x10 window named after the program.
window='/ 10x10+10+10 /d; s/^ *0x[0-9a-f]* "\(.*\)": ("updater" "Updater").*/\1/p'
run_held() {
  in_root strace -f -qq -o /dev/null -e trace=rename,renameat,renameat2 \
    -e inject=rename,renameat,renameat2:delay_enter=300000 "$bin/updater" "$@" 2>/dev/null &
  local pid=$! title=
  while kill -0 $pid 2>/dev/null; do
    title=${title:-$(xwininfo -root -tree 2>/dev/null | sed -n "$window")}
    sleep 0.05
  done
  wait $pid && echo "0 $title" || echo "1 $title"
}

# archive, installation, a change to the configuration, the code, the title.
cases=(
  "alpha alpha - 0 Updating alpha"
  "beta beta - 0 Updating beta"
  "alpha beta - 63"
  "unsigned alpha - 60"
  "gamma gamma - 61"
  "beta beta chmod_g+w_org.example.beta/updater.keys 61"
)
for c in "${cases[@]}"; do
  read -r archive app change code title <<<"$c"
  inst=$work/installed upd=$work/updates
  rm -rf "$inst" "$upd" && cp -a "$work/$app-v1" "$inst" && mkdir "$upd"
  cp "$work/$archive.qex" "$upd/update.qex"
  [[ $change == - ]] || (cd "$conf" && ${change//_/ })
  before=$(snapshot "$inst")
  in_root "$bin/updater" --check --json "$upd" "$inst" >"$work/check.json" 2>/dev/null || true
  jq -e --argjson code "$code" '.mode == "packaged" and .result == $code and
    .would_succeed == ($code == 0) and .signature.verified == ($code == 0 or $code == 63)' \
    "$work/check.json" >/dev/null ||
    fail "$c: the check says $(cat "$work/check.json")"
  read -r exit shown <<<"$(run_held "$upd" "$inst")"
  status=$(cat "$upd/update.status")
  if [[ $code == 0 ]]; then
    [[ $exit == 0 && $status == succeeded ]] || fail "$c: $status"$'\n'"$(cat "$upd/update.log")"
    diff -r -x precomplete -x product-version "$work/v2" "$inst" || fail "$c: not version 2"
    [[ $(cat "$inst/product-version") == $'2.0\norg.example.'$app ]] || fail "$c: no record"
    [[ $shown == "$title" ]] || fail "$c: the window's title is '$shown'"
  else
    [[ $exit == 1 && $status == "failed: $code" ]] || fail "$c: $status"
    [[ $(snapshot "$inst") == "$before" ]] || fail "$c: the installation changed"
  fi
  [[ $change == - ]] || chmod g-w "$conf"/*/updater.keys
done
echo "packaged_apps_test: passed"
