#!/bin/bash
# Builds a normal and an AddressSanitizer + UndefinedBehaviorSanitizer tree,
# both with warnings as errors, and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DUPDATER_WERROR=ON -DUPDATER_SANITIZE=OFF -DUPDATER_BUILD_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DUPDATER_WERROR=ON -DUPDATER_SANITIZE=ON -DUPDATER_BUILD_TESTS=ON -DUPDATER_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"
