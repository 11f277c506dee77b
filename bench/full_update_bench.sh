#!/usr/bin/env bash
# Full update against tar: the updater applying a complete update (every
# regular file of the new tree added, over the precomplete removals) to a copy
# of the old installation, against `tar -xjf` of the new tree into an empty
# directory, then against `tar -I lbzip2 -xf` of the same tarball (Debian
# package lbzip2; left out where it is not installed). Then the updater's peak
# memory in that run (/usr/bin/time -v).
#
# Usage: bench/full_update_bench.sh BUILD_DIR CORPUS_DIR [PAIRS] [WORK_DIR]
#   BUILD_DIR   a build tree with updater, tools/qex and tools/qxdiff
#   CORPUS_DIR  made by corpus.sh and derive.sh (new.tar.bz2 in work/)
#   PAIRS       alternating pairs (default 5)
#   WORK_DIR    scratch space on the corpus's file system (default
#               CORPUS_DIR/bench-run)
# Environment: TAR_TARGET and LBZIP2_TARGET, the printed targets (default the
# LibreOffice corpus's, "<= 0.45" and "<= 1.0").
# The full update is built first by make_updates.sh when missing.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/bench_lib.sh
source "$HERE/bench_lib.sh"
bench_args 5 "$@"
UPD=$CORPUS/updates
TARBALL=$CORPUS/work/new.tar.bz2
[[ -x $BUILD/updater ]] || die "build $BUILD/updater first"
[[ -f $TARBALL ]] || die "run derive.sh $CORPUS first"
[[ -f $UPD/full/update.qex ]] || KINDS=full "$HERE/make_updates.sh" "$BUILD" "$CORPUS" >/dev/null

# Each setup ends with sync, so that neither side pays for the other's
# write-back.
setup_a() {
  rm -rf "$WORK/inst" "$WORK/upd" "$WORK/tar"
  cp -a "$UPD/base" "$WORK/inst"
  mkdir "$WORK/upd"
  # The updater opens the archive without following a link: a hard link, or a copy.
  ln -f "$UPD/full/update.qex" "$WORK/upd/update.qex" 2>/dev/null ||
    cp "$UPD/full/update.qex" "$WORK/upd/update.qex"
  sync
}
run_a() {
  "$BUILD/updater" "$WORK/upd" "$WORK/inst" &&
    [[ $(cat "$WORK/upd/update.status") == succeeded ]]
}
setup_b() {
  rm -rf "$WORK/inst" "$WORK/upd" "$WORK/tar"
  mkdir "$WORK/tar"
  sync
}
run_b() { tar -xjf "$TARBALL" -C "$WORK/tar"; }

compare_pairs "full update / tar -xjf" "${TAR_TARGET:-<= 0.45}" "$PAIRS" updater tar
if command -v lbzip2 >/dev/null; then
  run_b() { tar -I lbzip2 -xf "$TARBALL" -C "$WORK/tar"; }
  compare_pairs "full update / tar -I lbzip2 -xf" "${LBZIP2_TARGET:-<= 1.0}" "$PAIRS" updater \
    tar-lbzip2
fi

# The result is the new tree, and the run's peak memory.
setup_a
/usr/bin/time -v -o "$WORK/time.txt" "$BUILD/updater" "$WORK/upd" "$WORK/inst"
diff -r --no-dereference -x precomplete -x product-version "$WORK/inst" "$UPD/expected" >/dev/null ||
  die "the updated installation differs from the new tree"
printf '%-34s %s MiB (target: 32 MiB beyond the largest patched entry, none here, + 8 MiB for each of %d decoder threads)\n' \
  "full update peak memory" "$(peak_rss_mib "$WORK/time.txt")" "$(nproc)"
rm -rf "$WORK/inst" "$WORK/upd" "$WORK/tar"
