#!/bin/bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer, warnings as errors) in their own tree and runs each one for a
# bounded time from the seed corpora in fuzz/corpus. Fails on any finding.
# The differential target runs the built updater's check and run on
# generated updates and fails when the check mispredicts the run.
#
# Usage: scripts/fuzz.sh [--help]
# Environment: FUZZ_SECONDS (per target, default 60), FUZZ_BUILD_DIR (default
# build-fuzz), FUZZ_TARGETS (space-separated subset of the targets).
set -euo pipefail
if [[ $# -gt 0 ]]; then
  [[ $1 == --help || $1 == -h ]] && { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0; }
  echo "fuzz.sh: unexpected argument: $1 (see --help)" >&2
  exit 1
fi

cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
[[ $build == /* ]] || build="$root/$build"
targets=${FUZZ_TARGETS:-"archive manifest precomplete patch strings version signature feed bz2_parallel differential"}
CC=clang CXX=clang++ cmake -S . -B "$build" -DUPDATER_BUILD_FUZZERS=ON -DUPDATER_SANITIZE=ON \
  -DUPDATER_WERROR=ON -DUPDATER_BUILD_TESTS=OFF -DUPDATER_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fuzzers

work="$build/fuzz-run"
rm -rf "$work"
failed=0
for t in $targets; do
  mkdir -p "$work/corpus-$t" "$work/artifacts-$t"
  log="$work/$t.log"
  # The first directory receives new inputs; the seeds stay untouched.
  rc=0
  "$build/fuzz/${t}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts-$t/" "$work/corpus-$t" \
    "$root/fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf "%-22s %12s executions in %s s  %s\n" "${t}_fuzzer" "${runs:-?}" "$seconds" \
    "$([[ $rc -eq 0 ]] && echo ok || echo "FAILED ($rc), artifacts in $work/artifacts-$t")"
  if [[ $rc -ne 0 ]]; then
    failed=1
    grep -E "ERROR|SUMMARY|runtime error|==[0-9]+==" "$log" | head -20 >&2 || true
  fi
done
exit $failed
