#!/usr/bin/env bash
# Builds the benchmark updates from a corpus made by corpus.sh (DIR/old,
# DIR/new, DIR/changed.tsv), with the project's own tools: qex for the
# archives, qxdiff for the patches. Debian's bsdiff makes the peer's patches.
#
# Usage: bench/make_updates.sh BUILD_DIR CORPUS_DIR [OUT_DIR]
#   BUILD_DIR   a build tree with tools/qex and tools/qxdiff
#   CORPUS_DIR  the corpus (kept outside the repository)
#   OUT_DIR     default CORPUS_DIR/updates; idempotent, each part is built once
#
# Writes:
#   base/                the old tree with a precomplete file: the installation
#   full/update.qex      complete update: every regular file of new/ (and its
#                        precomplete file), over the precomplete removals
#   partial/update.qex   a QXPATCH1 patch per changed file, or the whole file
#                        where the compressed patch would be larger
#   partial/lines.tsv    kind (patch/add) and path per changed file
#   bsdiff/PATH.bsdiff   bsdiff's patch of every changed file
#   new-tree/            new/ with its precomplete file: the expected result
set -euo pipefail

die() { echo "make_updates.sh: $*" >&2; exit 1; }
[[ $# -ge 2 ]] || die "usage: bench/make_updates.sh BUILD_DIR CORPUS_DIR [OUT_DIR]"
BUILD=$(cd "$1" && pwd)
CORPUS=$(cd "$2" && pwd)
OUT=${3:-$CORPUS/updates}
QEX=$BUILD/tools/qex
QXDIFF=$BUILD/tools/qxdiff
[[ -x $QEX && -x $QXDIFF ]] || die "build $QEX and $QXDIFF first"
[[ -d $CORPUS/old && -d $CORPUS/new && -f $CORPUS/changed.tsv ]] || die "not a corpus: $CORPUS"
command -v bsdiff >/dev/null || die "needs bsdiff (Debian package bsdiff)"
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
JOBS=$(nproc)

# precomplete TREE: every regular file as "remove", in the manifest line
# syntax. No "rmdir" lines: the archive cannot carry the empty directories of
# the new tree, which tar does create.
precomplete() {
  (cd "$1" && find . -type f -printf 'remove "%P"\n' | LC_ALL=C sort)
}

# The trees: hard links, so no content is duplicated.
for side in old new; do
  dir=$OUT/$([[ $side == old ]] && echo base || echo new-tree)
  if [[ ! -f $dir/precomplete ]]; then
    rm -rf "$dir" "$dir.tmp"
    cp -al "$CORPUS/$side" "$dir.tmp"
    precomplete "$CORPUS/$side" >"$dir.tmp/precomplete"
    mv "$dir.tmp" "$dir"
  fi
done

if [[ ! -f $OUT/full/update.qex ]]; then
  rm -rf "$OUT/full.tmp" && mkdir -p "$OUT/full.tmp"
  stage=$OUT/full.tmp/stage
  cp -al "$OUT/new-tree" "$stage"
  {
    echo 'type "complete"'
    (cd "$stage" && find . -type f -printf 'add "%P"\n' | LC_ALL=C sort)
  } >"$OUT/full.tmp/updatev3.manifest"
  mv "$OUT/full.tmp/updatev3.manifest" "$stage/"
  # Symbolic links are not archive entries; the old tree's stay in place.
  "$QEX" create -j -c bench -p 2.0 -C "$stage" "$OUT/full.tmp/update.qex" . 2>&1 |
    { grep -v ': not a regular file$' || true; } >&2
  rm -rf "$stage" "$OUT/full"
  mkdir -p "$OUT/full" && mv "$OUT/full.tmp/update.qex" "$OUT/full/" && rm -rf "$OUT/full.tmp"
fi

# Patches of every changed file, ours and bsdiff's, two at a time.
mkdir -p "$OUT/qxdiff" "$OUT/bsdiff"
cut -f3 "$CORPUS/changed.tsv" >"$OUT/changed.txt"
# shellcheck disable=SC2016  # expanded by the inner shell
xargs -d '\n' -P "$JOBS" -n 1 sh -c '
  set -e
  p=$4
  q="$3/qxdiff/$p.patch"; b="$3/bsdiff/$p.bsdiff"
  mkdir -p "$(dirname "$q")" "$(dirname "$b")"
  [ -f "$q" ] || { "$1" "$2/old/$p" "$2/new/$p" "$q.tmp" && mv "$q.tmp" "$q"; }
  [ -f "$q.bz2" ] || { bzip2 -9 -c "$q" >"$q.bz2.tmp" && mv "$q.bz2.tmp" "$q.bz2"; }
  [ -f "$3/qxdiff/$p.new.bz2" ] || { bzip2 -9 -c "$2/new/$p" >"$3/qxdiff/$p.new.bz2.tmp" &&
    mv "$3/qxdiff/$p.new.bz2.tmp" "$3/qxdiff/$p.new.bz2"; }
  [ -f "$b" ] || { bsdiff "$2/old/$p" "$2/new/$p" "$b.tmp" && mv "$b.tmp" "$b"; }
' _ "$QXDIFF" "$CORPUS" "$OUT" <"$OUT/changed.txt"

if [[ ! -f $OUT/partial/update.qex ]]; then
  rm -rf "$OUT/partial.tmp" && mkdir -p "$OUT/partial.tmp/stage"
  stage=$OUT/partial.tmp/stage
  echo 'type "partial"' >"$stage/updatev3.manifest"
  : >"$OUT/partial.tmp/lines.tsv"
  while IFS= read -r p; do
    mkdir -p "$stage/$(dirname "$p")"
    if [[ $(stat -c %s "$OUT/qxdiff/$p.patch.bz2") -lt $(stat -c %s "$OUT/qxdiff/$p.new.bz2") ]]; then
      ln "$OUT/qxdiff/$p.patch" "$stage/$p.patch"
      printf 'patch "%s.patch" "%s"\n' "$p" "$p" >>"$stage/updatev3.manifest"
      printf 'patch\t%s\n' "$p" >>"$OUT/partial.tmp/lines.tsv"
    else
      ln "$CORPUS/new/$p" "$stage/$p"
      printf 'add "%s"\n' "$p" >>"$stage/updatev3.manifest"
      printf 'add\t%s\n' "$p" >>"$OUT/partial.tmp/lines.tsv"
    fi
  done <"$OUT/changed.txt"
  "$QEX" create -j -c bench -p 2.0 -C "$stage" "$OUT/partial.tmp/update.qex" .
  rm -rf "$OUT/partial"
  mkdir -p "$OUT/partial"
  mv "$OUT/partial.tmp/update.qex" "$OUT/partial.tmp/lines.tsv" "$OUT/partial/"
  rm -rf "$OUT/partial.tmp"
fi

printf '%-22s %12s bytes\n' full/update.qex "$(stat -c %s "$OUT/full/update.qex")" \
  partial/update.qex "$(stat -c %s "$OUT/partial/update.qex")"
printf 'partial: %d patch lines, %d add lines\n' "$(grep -c '^patch' "$OUT/partial/lines.tsv")" \
  "$(grep -c '^add' "$OUT/partial/lines.tsv")"
