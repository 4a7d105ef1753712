#!/usr/bin/env bash
# Runs every benchmark binary of the build.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
for b in "$build"/bench/*; do
  [ -x "$b" ] && [ -f "$b" ] || continue
  echo "== $(basename "$b")"
  TZ=Europe/Berlin LC_ALL=C.UTF-8 "$b"
done
