#!/usr/bin/env bash
# Starts the program from the build's program folder.
set -euo pipefail
dist=${1:-build}/dist
if [ -x "$dist/chronark" ]; then
  exec "$dist/chronark" "${@:2}"
fi
exec "$dist/chronark-cli" --help
