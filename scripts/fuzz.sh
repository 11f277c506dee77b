#!/bin/bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer, warnings as errors) in their own tree and runs each one for a
# bounded time from the seed corpora in fuzz/corpus. Fails on any finding.
#
# Usage: scripts/fuzz.sh [--help]
# Environment: FUZZ_SECONDS (per target, default 60), FUZZ_BUILD_DIR (default
# build-fuzz), FUZZ_TARGETS (space-separated subset of the targets).
set -euo pipefail

if [[ "${1:-}" == "--help" || "${1:-}" == "-h" ]]; then
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
if [[ $# -gt 0 ]]; then
  echo "fuzz.sh: unexpected argument: $1 (see --help)" >&2
  exit 1
fi

cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=${FUZZ_TARGETS:-"archive manifest precomplete patch strings version"}
jobs=$(nproc)
[[ $jobs -gt 2 ]] && jobs=2

CC=clang CXX=clang++ cmake -S . -B "$build" -DUPDATER_BUILD_FUZZERS=ON -DUPDATER_SANITIZE=ON \
  -DUPDATER_WERROR=ON -DUPDATER_BUILD_TESTS=OFF -DUPDATER_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target fuzzers

work="$root/$build/fuzz-run"
rm -rf "$work"
mkdir -p "$work"
failed=0
summary=""
for t in $targets; do
  bin="$root/$build/fuzz/${t}_fuzzer"
  corpus="$work/corpus-$t"
  mkdir -p "$corpus" "$work/artifacts-$t"
  log="$work/$t.log"
  echo "== ${t}_fuzzer: ${seconds} s"
  set +e
  # The first directory receives new inputs; the seeds stay untouched.
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts-$t/" "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  if [[ $rc -ne 0 ]]; then
    failed=1
    echo "FAILED: ${t}_fuzzer exited with $rc; artifacts in $work/artifacts-$t" >&2
    grep -E "ERROR|SUMMARY|runtime error|==[0-9]+==" "$log" | head -20 >&2 || true
  fi
  line=$(printf "%-22s %12s executions %10s exec/s  %s" "${t}_fuzzer" "${runs:-?}" "${rate:-?}" \
    "$([[ $rc -eq 0 ]] && echo ok || echo FAILED)")
  echo "$line"
  summary+="$line"$'\n'
done

echo "== fuzz summary (${seconds} s per target)"
printf "%s" "$summary"
n_total=$(wc -w <<<"$targets")
if [[ $failed -ne 0 ]]; then
  echo "fuzz: $(grep -c ok$ <<<"$summary") passed, $(grep -c FAILED <<<"$summary") failed"
  exit 1
fi
echo "fuzz: ${n_total} passed, 0 failed"
