#!/usr/bin/env bash
# The largest patch of the chromium corpus (the 279 -> 297 MB browser binary):
# the updater applying an update of that one patch against Debian's bspatch
# with bsdiff's patch of the same pair, in alternating pairs; then the peak
# memory of both (GNU time), against the updater's bound: the source file's
# size + 64 MiB.
#
# Usage: bench/chromium_patch_bench.sh BUILD_DIR CORPUS_DIR [PAIRS] [WORK_DIR]
#   BUILD_DIR   a build tree with updater, tools/qex and tools/qxdiff
#   CORPUS_DIR  made by `corpus.sh DIR chromium`
#   PAIRS       alternating pairs (default 5)
#   WORK_DIR    scratch space on the corpus's file system (default
#               CORPUS_DIR/bench-run)
# Builds once, in CORPUS_DIR/updates: chromium.patch (qxdiff, ~20 minutes and
# 1.5 GB on 2 cores), chromium.bsdiff (bsdiff, ~40 minutes and 2.4 GB) and
# chromium-update/update.qex (qex).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/bench_lib.sh
source "$HERE/bench_lib.sh"
bench_args 5 "$@"
UPD=$CORPUS/updates
TARGET=usr/lib/chromium/chromium
OLD=$CORPUS/old/$TARGET
NEW=$CORPUS/new/$TARGET
[[ -x $BUILD/updater && -x $BUILD/tools/qex && -x $BUILD/tools/qxdiff ]] ||
  die "build updater, tools/qex and tools/qxdiff in $BUILD first"
[[ -f $OLD && -f $NEW ]] || die "not a chromium corpus: $CORPUS"
command -v bspatch >/dev/null || die "needs bspatch (Debian package bsdiff)"
mkdir -p "$UPD"

if [[ ! -f $UPD/chromium.patch ]]; then
  "$BUILD/tools/qxdiff" "$OLD" "$NEW" "$UPD/chromium.patch.tmp"
  mv "$UPD/chromium.patch.tmp" "$UPD/chromium.patch"
fi
if [[ ! -f $UPD/chromium.bsdiff ]]; then
  bsdiff "$OLD" "$NEW" "$UPD/chromium.bsdiff.tmp"
  mv "$UPD/chromium.bsdiff.tmp" "$UPD/chromium.bsdiff"
fi
if [[ ! -f $UPD/chromium-update/update.qex ]]; then
  stage=$UPD/chromium-update.tmp
  rm -rf "$stage" && mkdir -p "$stage/patches"
  ln "$UPD/chromium.patch" "$stage/patches/chromium.patch"
  printf 'type "partial"\npatch "patches/chromium.patch" "%s"\n' "$TARGET" >"$stage/updatev3.manifest"
  "$BUILD/tools/qex" create -j -c bench -p 2.0 -C "$stage" "$stage/update.qex" \
    updatev3.manifest patches/chromium.patch
  mkdir -p "$UPD/chromium-update"
  mv "$stage/update.qex" "$UPD/chromium-update/update.qex"
  rm -rf "$stage"
fi

peaks_a=()
peaks_b=()
setup_a() {
  rm -rf "$WORK/inst" "$WORK/upd" "$WORK/bspatch.out"
  mkdir -p "$WORK/inst/$(dirname "$TARGET")" "$WORK/upd"
  cp -a "$OLD" "$WORK/inst/$TARGET"
  # The updater opens the archive without following a link: a hard link, or a copy.
  ln -f "$UPD/chromium-update/update.qex" "$WORK/upd/update.qex" 2>/dev/null ||
    cp "$UPD/chromium-update/update.qex" "$WORK/upd/update.qex"
  sync
}
run_a() {
  /usr/bin/time -f %M -o "$WORK/peak" "$BUILD/updater" "$WORK/upd" "$WORK/inst" &&
    [[ $(cat "$WORK/upd/update.status") == succeeded ]] || return 1
  peaks_a+=("$(cat "$WORK/peak")")
}
setup_b() {
  rm -rf "$WORK/inst" "$WORK/upd" "$WORK/bspatch.out"
  sync
}
run_b() {
  /usr/bin/time -f %M -o "$WORK/peak" bspatch "$OLD" "$WORK/bspatch.out" "$UPD/chromium.bsdiff" ||
    return 1
  peaks_b+=("$(cat "$WORK/peak")")
}

compare_pairs "chromium binary patch / bspatch" "<= 0.4" "$PAIRS" updater bspatch

setup_a
run_a
cmp -s "$WORK/inst/$TARGET" "$NEW" || die "the patched binary differs from the new one"
max_kib() { printf '%s\n' "$@" | sort -n | tail -n 1; }
awk -v a="$(max_kib "${peaks_a[@]}")" -v b="$(max_kib "${peaks_b[@]}")" \
  -v s="$(stat -c %s "$OLD")" 'BEGIN {
    limit = s / 1048576 + 64
    printf "%-34s updater %.1f MiB (bound: source %.1f MiB + 64 = %.1f MiB, %s)  bspatch %.1f MiB\n",
      "chromium binary patch peak memory", a / 1024, s / 1048576, limit,
      a / 1024 <= limit ? "met" : "NOT met", b / 1024 }'
rm -rf "$WORK/inst" "$WORK/upd" "$WORK/bspatch.out" "$WORK/peak"
