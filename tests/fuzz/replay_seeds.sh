#!/usr/bin/env bash
# Replays the seeds of one fuzzer, without mutating them, and checks that they
# reach at least MINCOV instrumented edges: a fuzzer whose libraries lost
# their coverage instrumentation sees only its own few, and a seed that
# crashes fails here before any fuzzing.
# Usage: replay_seeds.sh FUZZER SEEDDIR MINCOV
set -euo pipefail
fuzzer=$1
seeds=$2
mincov=$3
out=$("$fuzzer" -runs=0 -max_len=65536 "$seeds" 2>&1) || { echo "$out"; exit 1; }
cov=$(sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p' <<<"$out" | tail -n 1)
echo "$(basename "$fuzzer"): cov ${cov:-0} from the seeds (at least $mincov)"
[ "${cov:-0}" -ge "$mincov" ]
