#!/usr/bin/env bash
# Runs every fuzz target of the sanitizer build for a share of the given
# seconds (default 600 in all). Corpora are kept in <build>/fuzz-corpus/.
set -euo pipefail
build=${1:-build-san}
total=${2:-600}
shopt -s nullglob
targets=()
for f in "$build"/fuzz/*; do
  [ -x "$f" ] && [ -f "$f" ] && targets+=("$f")
done
[ ${#targets[@]} -eq 0 ] && exit 0
each=$(( total / ${#targets[@]} ))
[ "$each" -lt 1 ] && each=1
for t in "${targets[@]}"; do
  name=$(basename "$t")
  corpus="$build/fuzz-corpus/$name"
  mkdir -p "$corpus"
  echo "== $name (${each}s)"
  log="$build/fuzz-corpus/$name.log"
  if "$t" -max_total_time="$each" -max_len=4096 -timeout=10 "$corpus" >"$log" 2>&1; then
    tail -n 2 "$log"
  else
    cat "$log"
    exit 1
  fi
done
