#!/usr/bin/env bash
# Runs every libFuzzer target of the sanitizer build for SECONDS each. Each
# fuzzer starts from its seeds in tests/fuzz/corpus/<name>/ (read only) and
# from the corpus it grew in earlier runs, BUILDDIR/fuzz-corpus/<name>/, where
# new inputs are kept. Builds the sanitizer build first when a fuzzer is
# missing. The final statistics of each run are printed.
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
  corpus=$build/fuzz-corpus/$name
  mkdir -p "$corpus"
  seeds=()
  [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
  log=$(mktemp)
  echo "== $(basename "$f") for ${seconds} s"
  set +e
  # Inputs up to 64 KiB, so that the response reader's limits (8,192 bytes of
  # a header line, 1,000 header lines) are within reach of every fuzzer.
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$f" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=20 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz/" "$corpus" "${seeds[@]}" > "$log" 2>&1
  rc=$?
  set -e
  grep -E 'INITED|DONE|^stat::' "$log" || tail -n 12 "$log"
  [ "$rc" -eq 0 ] || tail -n 40 "$log"
  rm -f "$log"
  [ "$rc" -eq 0 ] || { echo "$(basename "$f") found a fault (artifact in $build/fuzz/)" >&2; exit "$rc"; }
done
