#!/usr/bin/env bash
# Builds the partial and the complete update of a corpus made by
# ../shared/bench/corpus.sh (DIR/old, DIR/new) with make-update, verifies both
# with the built updater, and compares their sizes.
#
# Usage: bench/make_update_bench.sh BUILD_DIR CORPUS_DIR [OUT_DIR] [VERSION]
#   BUILD_DIR   a build tree with tools/make-update and updater
#   OUT_DIR     default CORPUS_DIR/make-update-bench
#   VERSION     product version stored in the archives (default 2.0)
#
# Symbolic links are stored as copies (--copy-links): the corpora hold some.
# Prints, per kind: archive bytes, wall time and peak memory of make-update
# (GNU time), and the partial update's size as a fraction of the complete one.
set -euo pipefail

die() { echo "make_update_bench.sh: $*" >&2; exit 1; }
[[ $# -ge 2 ]] || die "usage: bench/make_update_bench.sh BUILD_DIR CORPUS_DIR [OUT_DIR] [VERSION]"
BUILD=$(cd "$1" && pwd)
CORPUS=$(cd "$2" && pwd)
OUT=${3:-$CORPUS/make-update-bench}
VERSION=${4:-2.0}
MAKE_UPDATE=$BUILD/tools/make-update
TIME=/usr/bin/time
[[ -x $MAKE_UPDATE && -x $BUILD/updater ]] || die "build $MAKE_UPDATE and $BUILD/updater first"
[[ -x $TIME ]] || die "needs GNU time at $TIME (Debian package time)"
[[ -d $CORPUS/old && -d $CORPUS/new ]] || die "not a corpus: $CORPUS"
mkdir -p "$OUT"

run() { # kind, extra options...
  local kind=$1
  shift
  "$TIME" -f "%e %M" -o "$OUT/$kind.time" "$MAKE_UPDATE" --product-version "$VERSION" --copy-links \
    --verify -o "$OUT/$kind.qex" "$@" "$CORPUS/old" "$CORPUS/new" >"$OUT/$kind.log" 2>&1 ||
    { tail -n 20 "$OUT/$kind.log" >&2; die "make-update failed for the $kind update (log: $OUT/$kind.log)"; }
  grep -q "verified" "$OUT/$kind.log" || die "no verification in $OUT/$kind.log"
  read -r secs kib <"$OUT/$kind.time"
  printf '%-8s %12d bytes  %7.1f s  peak %7.1f MiB  %s\n' "$kind" "$(stat -c %s "$OUT/$kind.qex")" \
    "$secs" "$(echo "$kib" | awk '{print $1 / 1024}')" \
    "$(grep -E 'partial update:|complete update:' "$OUT/$kind.log" | sed 's/^make-update: //')"
}

run partial
run full --full
awk -v p="$(stat -c %s "$OUT/partial.qex")" -v f="$(stat -c %s "$OUT/full.qex")" \
  'BEGIN { printf "partial / complete = %.4f (both verified with the built updater)\n", p / f }'
