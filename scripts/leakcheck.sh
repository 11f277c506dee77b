#!/bin/bash
# Runs the built updater under valgrind memcheck for a successful update, a
# failed one with rollback, a staged update, a replace request and a missing
# archive (tests/leak_check_test.cc), and prints the figures. Fails on any
# leak, invalid access or use of uninitialised memory.
#
# Usage: scripts/leakcheck.sh [--help] [build-dir]
# build-dir: a normal (not sanitizer) build tree, default "build"; it is
# configured and the two programs built when needed.
set -euo pipefail

if [[ "${1:-}" == "--help" || "${1:-}" == "-h" ]]; then
  sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
cd "$(dirname "$0")/.."
build=${1:-build}
if ! command -v valgrind >/dev/null; then
  echo "leakcheck.sh: valgrind is not installed" >&2
  exit 1
fi
if [[ -f "$build/CMakeCache.txt" ]] && grep -q '^UPDATER_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "leakcheck.sh: $build is a sanitizer build; valgrind needs a normal one" >&2
  exit 1
fi
[[ -f "$build/CMakeCache.txt" ]] || cmake -S . -B "$build" -DUPDATER_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target updater leak_check_test
"$build/tests/leak_check_test"
