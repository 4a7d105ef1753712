#!/usr/bin/env bash
# Stands in for the program when it has not been built: one window on the
# display, and on SIGTERM a "save" that takes a moment and needs the display
# to be still there. The outcome goes to $HEADLESS_STANDIN_MARKER.
xmessage -center "Chronark (Platzhalter)" 2>/dev/null &
window=$!
on_term() {
  local state="gespeichert"
  xdpyinfo >/dev/null 2>&1 || state="ohne Bildschirm"
  kill -TERM "$window" 2>/dev/null
  wait "$window"
  sleep 0.3
  echo "$state" >"${HEADLESS_STANDIN_MARKER:-/dev/null}"
  exit 0
}
trap on_term TERM
wait "$window"
