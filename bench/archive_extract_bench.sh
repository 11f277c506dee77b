#!/usr/bin/env bash
# Builds a large input from the installed system's libraries (outside the
# repository) and runs extract_bench: ArchiveReader::ExtractToFile against
# `bzip2 -dc` and `lbzip2 -dc -n2` (Debian package lbzip2, when installed) of
# the same stream, alternating runs, medians and their ratios.
#
# Usage: bench/archive_extract_bench.sh [BUILD_DIR] [DATA_DIR] [RUNS]
#   BUILD_DIR  a build tree with bench/extract_bench (default: build)
#   DATA_DIR   where the input and the outputs go (default: /work/benchdata)
#   RUNS       runs of each side (default: 5)
# Set INPUT_MB (default 120) for another input size.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
DATA=${2:-/work/benchdata}
RUNS=${3:-5}
MB=${INPUT_MB:-120}
BENCH="$BUILD/bench/extract_bench"
[[ -x "$BENCH" ]] || { echo "archive_extract_bench.sh: build $BENCH first" >&2; exit 1; }
command -v bzip2 >/dev/null || { echo "archive_extract_bench.sh: needs bzip2" >&2; exit 1; }

mkdir -p "$DATA"
INPUT="$DATA/libs-${MB}M.bin"
if [[ ! -f "$INPUT" ]]; then
  # Shared libraries in name order, concatenated and cut to size.
  find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -print0 | LC_ALL=C sort -z |
    xargs -0 cat 2>/dev/null | head -c "$((MB * 1000 * 1000))" >"$INPUT.tmp" || true  # head closes the pipe early
  [[ $(stat -c %s "$INPUT.tmp") -eq $((MB * 1000 * 1000)) ]] ||
    { echo "archive_extract_bench.sh: not enough library bytes for ${MB} MB" >&2; exit 1; }
  mv "$INPUT.tmp" "$INPUT"
fi
exec "$BENCH" --runs "$RUNS" "$INPUT" "$DATA"
