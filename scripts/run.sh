#!/usr/bin/env bash
# Starts the program from the build's program folder: on the desktop directly,
# where there is none on a virtual display that VNC reaches (run-headless.sh).
# CHRONARK_RUN_PROGRAM starts another program the same way (the tests use it).
set -euo pipefail
build=${1:-build}
dist=$build/dist
program=${CHRONARK_RUN_PROGRAM:-$dist/chronark}
if [ -z "${CHRONARK_RUN_PROGRAM:-}" ] && [ ! -x "$program" ]; then
  exec "$dist/chronark-cli" --help
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$program" "${@:2}"
fi
# SIGINT back to its default: started in the background by a script, it would
# be ignored, and the headless run could not be ended with it.
exec env --default-signal=INT bash "$(dirname "${BASH_SOURCE[0]}")/run-headless.sh" \
  "$build/run" "$program" "${@:2}"
