#!/usr/bin/env bash
# Builds the benchmark updates from a corpus made by corpus.sh (DIR/old,
# DIR/new, DIR/changed.tsv) with the project's make-update, and the peer's
# patches with Debian's bsdiff.
#
# Usage: bench/make_updates.sh BUILD_DIR CORPUS_DIR [OUT_DIR]
#   BUILD_DIR   a build tree with tools/make-update, tools/qex and updater
#   CORPUS_DIR  the corpus (kept outside the repository)
#   OUT_DIR     default CORPUS_DIR/updates; idempotent, each part is built once
# Environment: KINDS, the updates to build (default "full partial"; the full
# update alone spares the chromium corpus its long diffs).
#
# Writes:
#   base/                the old tree with a precomplete file listing its
#                        regular files: the installation every run starts from
#   expected/            the new tree as an update leaves it (no precomplete)
#   full/update.qex      complete update: every file of new/ added, over the
#                        precomplete removals
#   partial/update.qex   a patch per changed file, or the whole file where the
#                        compressed patch would be larger
#   partial/patched.txt  the files the partial update patches
#   bsdiff/PATH.bsdiff   bsdiff's patch of each of those files
# Symbolic links are stored as copies of their targets (make-update
# --copy-links): 67 links, 13 MB more to decode than tar has for them, and
# five more patched files than changed.tsv lists.
set -euo pipefail

die() { echo "make_updates.sh: $*" >&2; exit 1; }
[[ $# -ge 2 ]] || die "usage: bench/make_updates.sh BUILD_DIR CORPUS_DIR [OUT_DIR]"
BUILD=$(cd "$1" && pwd)
CORPUS=$(cd "$2" && pwd)
OUT=${3:-$CORPUS/updates}
MAKE_UPDATE=$BUILD/tools/make-update
[[ -x $MAKE_UPDATE ]] || die "build $MAKE_UPDATE first"
[[ -d $CORPUS/old && -d $CORPUS/new && -f $CORPUS/changed.tsv ]] || die "not a corpus: $CORPUS"
command -v bsdiff >/dev/null || die "needs bsdiff (Debian package bsdiff)"
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

# link_tree SRC DST: DST made of hard links to the files of SRC, with every
# symbolic link to a regular file replaced by (a hard link to) its target, as
# the updates store them.
link_tree() {
  rm -rf "$2" "$2.tmp"
  cp -a -l "$1" "$2.tmp"
  find "$2.tmp" -type l -print0 | while IFS= read -r -d '' link; do
    target=$(readlink -f "$link") || continue
    if [[ -f $target ]]; then ln -f "$target" "$link"; fi
  done
}

# The installation every run starts from, with a precomplete file, and the
# tree a run must leave (but for its precomplete file).
if [[ ! -f $OUT/base/precomplete ]]; then
  link_tree "$CORPUS/old" "$OUT/base"
  (cd "$OUT/base.tmp" && find . -type f -printf 'remove "%P"\n' | LC_ALL=C sort) \
    >"$OUT/base.tmp/precomplete.tmp"
  mv "$OUT/base.tmp/precomplete.tmp" "$OUT/base.tmp/precomplete"
  mv "$OUT/base.tmp" "$OUT/base"
fi
if [[ ! -d $OUT/expected ]]; then
  link_tree "$CORPUS/new" "$OUT/expected"
  mv "$OUT/expected.tmp" "$OUT/expected"
fi

# make_update KIND OPTIONS...: OUT/KIND/update.qex, verified by make-update
# with the built updater.
make_update() {
  local kind=$1
  shift
  [[ -f $OUT/$kind/update.qex ]] && return 0
  mkdir -p "$OUT/$kind"
  "$MAKE_UPDATE" --product-version 2.0 --copy-links --verify -o "$OUT/$kind/update.qex.tmp" "$@" \
    "$OUT/base" "$CORPUS/new" >"$OUT/$kind/make-update.log" 2>&1 ||
    { tail -n 20 "$OUT/$kind/make-update.log" >&2; die "make-update failed for $kind"; }
  mv "$OUT/$kind/update.qex.tmp" "$OUT/$kind/update.qex"
}
KINDS=${KINDS:-full partial}
[[ " $KINDS " == *" full "* ]] && make_update full --full
if [[ " $KINDS " != *" partial "* ]]; then
  printf '%-8s %12d bytes\n' full "$(stat -c %s "$OUT/full/update.qex")"
  exit 0
fi
make_update partial

# The peer's patches of the same pairs: every file the partial update patches.
if [[ ! -f $OUT/partial/patched.txt ]]; then
  rm -rf "$OUT/partial/entries"
  "$BUILD/tools/qex" extract -j -C "$OUT/partial/entries" "$OUT/partial/update.qex" >/dev/null
  sed -n 's/^patch "[^"]*" "\([^"]*\)"$/\1/p' "$OUT/partial/entries/updatev3.manifest" |
    grep -vx precomplete >"$OUT/partial/patched.tmp" || true
  rm -rf "$OUT/partial/entries"
  mv "$OUT/partial/patched.tmp" "$OUT/partial/patched.txt"
fi
# shellcheck disable=SC2016  # expanded by the inner shell
xargs -d '\n' -P "$(nproc)" -n 1 sh -c '
  b="$2/bsdiff/$3.bsdiff"
  [ -f "$b" ] && exit 0
  mkdir -p "$(dirname "$b")"
  bsdiff "$1/old/$3" "$1/new/$3" "$b.tmp" && mv "$b.tmp" "$b"
' _ "$CORPUS" "$OUT" <"$OUT/partial/patched.txt"

for kind in full partial; do
  printf '%-8s %12d bytes  %s\n' "$kind" "$(stat -c %s "$OUT/$kind/update.qex")" \
    "$(grep -E '(partial|complete) update:' "$OUT/$kind/make-update.log" | tail -n 1)"
done
