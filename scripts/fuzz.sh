#!/usr/bin/env bash
# Runs every libFuzzer target of the sanitizer build for SECONDS each, starting
# from the seed corpus in tests/fuzz/corpus/<name>/ where there is one. Builds
# the sanitizer build first when a fuzzer is missing.
# Usage: scripts/fuzz.sh BUILDDIR SECONDS
set -euo pipefail
build=${1:-build-san}
seconds=${2:-30}
cd "$(dirname "$0")/.."

shopt -s nullglob
fuzzers=("$build"/fuzz/*_fuzzer)
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "== Building the sanitizer build (${build}) for the fuzzers"
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCHRONARK_SANITIZE=ON -DCHRONARK_TESTS=ON -DCHRONARK_FUZZ=ON \
    -DCHRONARK_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$build" -j "$(nproc)"
  fuzzers=("$build"/fuzz/*_fuzzer)
fi
[ ${#fuzzers[@]} -gt 0 ] || { echo "no fuzz targets in $build/fuzz" >&2; exit 1; }

for f in "${fuzzers[@]}"; do
  name=$(basename "$f" _fuzzer)
  name=${name%_response}
  work=$(mktemp -d)
  seeds=tests/fuzz/corpus/$name
  # Long inputs matter for the response reader only; the others stay quick.
  maxlen=4096
  [ "$name" = http ] && maxlen=65536
  [ -d "$seeds" ] && cp "$seeds"/* "$work"/ 2>/dev/null || true
  echo "== $(basename "$f") for ${seconds} s"
  set +e
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$f" -max_total_time="$seconds" -max_len="$maxlen" -rss_limit_mb=2048 -timeout=20 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz/" "$work" > "$work.log" 2>&1
  rc=$?
  set -e
  tail -n 12 "$work.log"
  rm -rf "$work" "$work.log"
  [ "$rc" -eq 0 ] || { echo "$(basename "$f") found a fault (artifact in $build/fuzz/)" >&2; exit "$rc"; }
done
