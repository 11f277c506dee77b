#!/usr/bin/env bash
# Every figure of bench/README.md, one line each (ratio and medians, or the
# measured value against its target).
#
# Usage: bench/run_all.sh BUILD_DIR CORPUS_DIR [CHROMIUM_CORPUS_DIR] [PAIRS]
#   BUILD_DIR            a build tree (Release or RelWithDebInfo) with updater,
#                        tools/ and bench/ built
#   CORPUS_DIR           the LibreOffice corpus (corpus.sh, then derive.sh)
#   CHROMIUM_CORPUS_DIR  the chromium corpus (corpus.sh DIR chromium); its
#                        figure is left out when not given
#   PAIRS                alternating pairs per comparison (default 5)
# BENCH_DATA: where the extraction figure's 100 MB input goes (default
# /work/benchdata).
# Run it on an otherwise idle machine: the updater decodes on both cores.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
[[ $# -ge 2 ]] || { echo "usage: bench/run_all.sh BUILD_DIR CORPUS_DIR [CHROMIUM_CORPUS_DIR] [PAIRS]" >&2; exit 1; }
BUILD=$1
CORPUS=$2
CHROMIUM=${3:-}
PAIRS=${4:-5}

"$HERE/full_update_bench.sh" "$BUILD" "$CORPUS" "$PAIRS"
"$HERE/partial_update_bench.sh" "$BUILD" "$CORPUS" "$PAIRS"
if [[ -n $CHROMIUM ]]; then
  "$HERE/chromium_patch_bench.sh" "$BUILD" "$CHROMIUM" "$PAIRS"
  TAR_TARGET="<= 0.5" LBZIP2_TARGET="<= 1.2" "$HERE/full_update_bench.sh" "$BUILD" "$CHROMIUM" "$PAIRS"
fi
INPUT_MB=100 "$HERE/archive_extract_bench.sh" "$BUILD" "${BENCH_DATA:-/work/benchdata}" "$PAIRS" |
  grep -E '^(median|ratio)' || true
"$HERE/staged_copy_bench.sh" "$BUILD" "$CORPUS" $((PAIRS < 9 ? 9 : PAIRS))
"$BUILD/bench/crc_bench" | grep -E 'PCLMULQDQ|256 MiB'
"$HERE/verify_bench.sh" "$BUILD" "$CORPUS" $((PAIRS < 11 ? 11 : PAIRS))
