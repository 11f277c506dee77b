#!/usr/bin/env bash
# Partial update against bspatch: the updater applying the partial update (a
# patch per changed file) to a copy of the old installation, against Debian's
# bspatch run on the same pairs, one after the other, with bsdiff's patches.
#
# Usage: bench/partial_update_bench.sh BUILD_DIR CORPUS_DIR [PAIRS] [WORK_DIR]
#   BUILD_DIR   a build tree with updater, tools/make-update and tools/qex
#   CORPUS_DIR  made by corpus.sh
#   PAIRS       alternating pairs (default 5)
#   WORK_DIR    scratch space on the corpus's file system (default
#               CORPUS_DIR/bench-run)
# The updates and bsdiff's patches are built first by make_updates.sh.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/bench_lib.sh
source "$HERE/bench_lib.sh"
bench_args 5 "$@"
UPD=$CORPUS/updates
[[ -x $BUILD/updater ]] || die "build $BUILD/updater first"
command -v bspatch >/dev/null || die "needs bspatch (Debian package bsdiff)"
"$HERE/make_updates.sh" "$BUILD" "$CORPUS" >/dev/null
mapfile -t PATCHED <"$UPD/partial/patched.txt"

setup_a() {
  rm -rf "$WORK/inst" "$WORK/upd" "$WORK/bspatch"
  cp -a "$UPD/base" "$WORK/inst"
  mkdir "$WORK/upd"
  # The updater opens the archive without following a link: a hard link, or a copy.
  ln -f "$UPD/partial/update.qex" "$WORK/upd/update.qex" 2>/dev/null ||
    cp "$UPD/partial/update.qex" "$WORK/upd/update.qex"
  sync
}
run_a() {
  "$BUILD/updater" "$WORK/upd" "$WORK/inst" &&
    [[ $(cat "$WORK/upd/update.status") == succeeded ]]
}
setup_b() {
  rm -rf "$WORK/inst" "$WORK/upd" "$WORK/bspatch"
  local p
  for p in "${PATCHED[@]}"; do mkdir -p "$WORK/bspatch/$(dirname "$p")"; done
  sync
}
run_b() {
  local p
  for p in "${PATCHED[@]}"; do
    bspatch "$CORPUS/old/$p" "$WORK/bspatch/$p" "$UPD/bsdiff/$p.bsdiff" || return 1
  done
}

compare_pairs "partial update / sum of bspatch" "<= 0.7" "$PAIRS" updater bspatch

setup_a
run_a
diff -r --no-dereference -x precomplete -x product-version "$WORK/inst" "$UPD/expected" >/dev/null ||
  die "the updated installation differs from the new tree"
rm -rf "$WORK/inst" "$WORK/upd" "$WORK/bspatch"
