#!/usr/bin/env bash
# Every test of the project: the unit, window and end-to-end tests of the normal
# build, then the Qt-free layers again under AddressSanitizer and UBSan.
set -euo pipefail
build=${1:-build}
sanbuild=${2:-build-san}
jobs=$(nproc)

echo "== Format"
bash scripts/format-check.sh

echo "== Tests (${build})"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300

echo "== Sanitizer build (${sanbuild})"
CC=clang CXX=clang++ cmake -S . -B "$sanbuild" -DCHRONARK_SANITIZE=ON -DCHRONARK_TESTS=ON -DCHRONARK_FUZZ=ON \
  -DCHRONARK_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$sanbuild" -j "$jobs"
if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh "$sanbuild" 30
fi
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$sanbuild" --output-on-failure -j "$jobs" --timeout 300
