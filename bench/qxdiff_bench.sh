#!/usr/bin/env bash
# qxdiff against Debian's bsdiff on the changed files of a corpus made by
# ../shared/bench/corpus.sh (DIR/old, DIR/new, DIR/changed.tsv).
#
# Usage: bench/qxdiff_bench.sh BUILD_DIR CORPUS_DIR [OPTIONS]
#   --runs N       timed runs per pair, qxdiff and bsdiff alternating, the
#                  order swapped every run; medians reported (default 3)
#   --largest K    only the K largest changed files (default: all)
#   --out DIR      where patches and the table go (default: CORPUS_DIR/qxdiff-bench)
#
# Per pair: wall time and peak resident memory (GNU time's %e and %M) of
# each tool, and the patch size as it would be stored: qxdiff's patch
# compressed with bzip2 -9 (an archive entry is one bzip2 stream), bsdiff's
# patch file as it is (it compresses its own blocks). Every qxdiff patch is
# applied with qxpatch and compared with the new file. Writes
# OUT/qxdiff_bench.tsv and prints the table with sums and ratios.
# Needs: bsdiff, bzip2, GNU time (/usr/bin/time), qxdiff and qxpatch built.
set -euo pipefail

die() { echo "qxdiff_bench.sh: $*" >&2; exit 1; }
[[ $# -ge 2 ]] || die "usage: bench/qxdiff_bench.sh BUILD_DIR CORPUS_DIR [--runs N] [--largest K] [--out DIR]"
BUILD=$(cd "$1" && pwd)
CORPUS=$(cd "$2" && pwd)
shift 2
RUNS=3
LARGEST=0
OUT=$CORPUS/qxdiff-bench
while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs) RUNS=${2:?}; shift 2 ;;
    --largest) LARGEST=${2:?}; shift 2 ;;
    --out) OUT=${2:?}; shift 2 ;;
    *) die "unknown option $1" ;;
  esac
done
QXDIFF=$BUILD/tools/qxdiff
QXPATCH=$BUILD/tools/qxpatch
TIME=/usr/bin/time
[[ -x $QXDIFF && -x $QXPATCH ]] || die "build $QXDIFF and $QXPATCH first"
[[ -x $TIME ]] || die "needs GNU time at $TIME (Debian package time)"
command -v bsdiff >/dev/null || die "needs bsdiff (Debian package bsdiff)"
[[ -f $CORPUS/changed.tsv ]] || die "not a corpus: $CORPUS"
mkdir -p "$OUT/q" "$OUT/b"

median() { sort -g | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# measure TOOL OLD NEW PATCH -> "seconds KiB" of one run
measure() {
  local tool=$1 log
  log=$(mktemp)
  "$TIME" -f "%e %M" -o "$log" "$tool" "$2" "$3" "$4" >/dev/null || { rm -f "$log"; die "$tool failed on $3"; }
  tail -n1 "$log"
  rm -f "$log"
}

TSV=$OUT/qxdiff_bench.tsv
printf 'path\tnew_bytes\tq_s\tb_s\tq_kib\tb_kib\tq_patch\tb_patch\n' >"$TSV"
n=0
while IFS=$'\t' read -r new_size _ path; do
  n=$((n + 1))
  [[ $LARGEST -gt 0 && $n -gt $LARGEST ]] && break
  old=$CORPUS/old/$path new=$CORPUS/new/$path
  q=$OUT/q/$n.qxp b=$OUT/b/$n.bsdiff
  qt=() bt=() qm=() bm=()
  for ((r = 0; r < RUNS; r++)); do
    if ((r % 2 == 0)); then
      read -r t m < <(measure "$QXDIFF" "$old" "$new" "$q"); qt+=("$t"); qm+=("$m")
      read -r t m < <(measure bsdiff "$old" "$new" "$b"); bt+=("$t"); bm+=("$m")
    else
      read -r t m < <(measure bsdiff "$old" "$new" "$b"); bt+=("$t"); bm+=("$m")
      read -r t m < <(measure "$QXDIFF" "$old" "$new" "$q"); qt+=("$t"); qm+=("$m")
    fi
  done
  "$QXPATCH" "$old" "$q" "$OUT/q/$n.out" >/dev/null 2>&1 || die "qxpatch failed on $path"
  cmp -s "$OUT/q/$n.out" "$new" || die "the patch of $path does not rebuild it"
  rm -f "$OUT/q/$n.out"
  qs=$(bzip2 -9 -c "$q" | wc -c)
  bs=$(stat -c %s "$b")
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$path" "$new_size" \
    "$(printf '%s\n' "${qt[@]}" | median)" "$(printf '%s\n' "${bt[@]}" | median)" \
    "$(printf '%s\n' "${qm[@]}" | median)" "$(printf '%s\n' "${bm[@]}" | median)" \
    "$qs" "$bs" >>"$TSV"
  rm -f "$q"
done <"$CORPUS/changed.tsv"

awk -F'\t' -v runs="$RUNS" 'NR == 1 { next }
  {
    printf "%-58s %10d  time %7.2f/%7.2f s (%.2f)  peak %7.1f/%7.1f MiB (%.2f)  patch %9d/%9d (%.3f)%s\n",
      substr($1, length($1) > 58 ? length($1) - 57 : 1), $2, $3, $4, ($4 > 0 ? $3 / $4 : 0),
      $5 / 1024, $6 / 1024, $5 / $6, $7, $8, $7 / $8, ($7 > $8 ? "  LARGER" : "")
    files++; qs += $3; bs += $4; qp += $7; bp += $8; if ($7 > $8) larger++
    # Below a megabyte both tools finish in a few hundredths of a second on a
    # few MiB of fixed start-up memory; the ratios that matter are the big ones.
    if ($2 >= 1048576) {
      big++
      if ($5 / $6 > worst_mem) worst_mem = $5 / $6
      if ($4 > 0 && $3 / $4 > worst_time) worst_time = $3 / $4
    }
  }
  END {
    printf "\n%d pairs, medians of %d alternating runs (qxdiff/bsdiff)\n", files, runs
    printf "time:  sum %.2f / %.2f s (%.3f); worst ratio of the %d pairs of 1 MiB or more %.3f\n",
      qs, bs, qs / bs, big, worst_time
    printf "peak:  worst ratio of the %d pairs of 1 MiB or more %.3f\n", big, worst_mem
    printf "patch: sum %d / %d bytes (%.4f); pairs where qxdiff is larger: %d\n", qp, bp, qp / bp, larger
  }' "$TSV"
