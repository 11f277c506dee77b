#!/usr/bin/env bash
# The staged update's copy of the installation (ensure_copy_recursive, through
# bench/copy_tree) against `cp -a` of the same tree, in alternating pairs. The
# source is the corpus's old tree, with its symbolic links.
#
# Usage: bench/staged_copy_bench.sh BUILD_DIR CORPUS_DIR [PAIRS] [WORK_DIR]
#   BUILD_DIR   a build tree with bench/copy_tree
#   PAIRS       alternating pairs (default 9: cp -a is bimodal on this kind of
#               machine, so compare only in pairs, and many of them)
#   WORK_DIR    scratch space on the corpus's file system (default
#               CORPUS_DIR/bench-run)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/bench_lib.sh
source "$HERE/bench_lib.sh"
bench_args 9 "$@"
[[ -x $BUILD/bench/copy_tree ]] || die "build $BUILD/bench/copy_tree first"
[[ -d $CORPUS/old ]] || die "not a corpus: $CORPUS"

setup_a() { rm -rf "$WORK/copy"; sync; }
run_a() { "$BUILD/bench/copy_tree" "$CORPUS/old" "$WORK/copy"; }
setup_b() { rm -rf "$WORK/copy"; sync; }
run_b() { cp -a "$CORPUS/old" "$WORK/copy"; }

compare_pairs "staged copy / cp -a" "<= 1.10" "$PAIRS" copy_tree "cp -a"

setup_a
run_a
diff -r --no-dereference "$CORPUS/old" "$WORK/copy" >/dev/null || die "the copy differs"
rm -rf "$WORK/copy"
