#!/usr/bin/env bash
# End-to-end test of the program on a virtual X server that goes away, and
# of two instances on one project: Xvfb, the real chronark, xdotool as the user.
#   1. a deletion, then "Starten", then the X server is killed: the deletion
#      is on disk, and the next start goes on timing from the first start;
#   2. a second chronark for a project being timed tells so in a box and
#      ends without writing; one for an idle project ends at once, handing
#      over to the running one.
# Every process is started here by its PID and ended by it.
set -euo pipefail

program=${1:?usage: x11_e2e.sh path/to/chronark}
here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb xdotool xwininfo import python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
xvfb_pid='' app_pid='' second_pid=''

stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_pid "$second_pid"
  stop_pid "$app_pid"
  stop_pid "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/app*.log; do [ -s "$f" ] && sed "s/^/  $(basename "$f"): /" "$f" >&2; done
  exit 1
}

wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

start_x() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  display_known() { [ -s "$work/display" ] && grep -q '[0-9]' "$work/display"; }
  wait_for 20 display_known || fail "Xvfb gave no display"
  export DISPLAY=":$(tr -dc '0-9' <"$work/display")"
  : >"$work/display"
  wait_for 10 xwininfo -root || fail "X server $DISPLAY does not answer"
}

mkdir -p "$work/prog" "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
cp "$program" "$work/prog/chronark"
python3 - "$work/prog/woche.crf" <<'PY'
import struct, sys
with open(sys.argv[1], 'wb') as f:
    for i, text in enumerate([b'eins', b'zwei', b'drei']):
        f.write(struct.pack('<ddii', 46363.375 + i, 46363.5 + i, 3, 0) + bytes([len(text)]) + text + bytes(255 - len(text)))
PY
printf '[Main]\nProject=woche.crf\n' >"$work/prog/chronark.ini"
printf '[Software\\Microsoft\\Windows\\CurrentVersion]\nCommonFilesDir=\n' >"$work/registry.ini"
export REGISTRY_HKLM_FILE="$work/registry.ini"
size() { stat -c %s "$work/prog/woche.crf"; }
state_file() { ls "$work"/prog/chronark-*.running 2>/dev/null | head -n1; }
has_state() { [ -n "$(state_file)" ]; }
held() { XDG_RUNTIME_DIR="$work/runtime" python3 "$here/project_held.py" "$work/prog/woche.crf"; }

# run_program LOG ARGS...: the program in the background; its PID in $last_pid.
run_program() {
  local log=$1
  shift
  env -u DBUS_SESSION_BUS_ADDRESS -u SESSION_MANAGER QT_QPA_PLATFORM=xcb \
    HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_DATA_HOME="$work/home/data" \
    "$work/prog/chronark" "$@" >"$log" 2>&1 &
  last_pid=$!
}
ended() { ! kill -0 "$1" 2>/dev/null; }
# expect_exit PID CODE
expect_exit() {
  wait_for 15 ended "$1" || fail "program $1 did not end"
  local code=0
  wait "$1" || code=$?
  [ "$code" -eq "$2" ] || fail "exit code $code, expected $2"
}

main_window=''
find_main_window() {
  main_window=$(xdotool search --onlyvisible --name '^Chronark - woche\.crf$' 2>/dev/null | head -n1)
  [ -n "$main_window" ]
}
window_mapped() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }
window_unmapped() { ! window_mapped "$1"; }
glyph_at=''
locate_glyph() { glyph_at=$(import -window root -depth 8 ppm:- | python3 "$here/find_color.py" "$1"); }
click_glyph() {
  wait_for 10 locate_glyph "$1" || fail "no glyph of colour $1 on screen"
  local x y
  read -r x y <<<"$glyph_at"
  xdotool mousemove "$x" "$y" click 1
}
start_glyph=2e9e45   # "Starten"
delete_glyph=c62828  # "Löschen"

# --- 1: a deletion, "Starten", and the X server goes away.
echo "== Löschen, Starten, the X server is killed"
start_x
run_program "$work/app1.log"
app_pid=$last_pid
wait_for 20 find_main_window || fail "the main window did not appear"
wait_for 10 locate_glyph "$delete_glyph" || fail "the toolbar was not painted"
# The first line lies right below the toolbar.
xdotool mousemove --window "$main_window" 100 40 click 1
sleep 0.3
click_glyph "$delete_glyph"
deleted() { [ "$(size)" -eq 560 ]; }
wait_for 5 deleted || fail "the deletion is not on disk ($(size) bytes)"
python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(0 if d[25:29]==b"zwei" else 1)' "$work/prog/woche.crf" \
  || fail "not the first line was deleted"
click_glyph "$start_glyph"
wait_for 10 window_unmapped "$main_window" || fail "the main window stayed mapped after Starten"
wait_for 5 has_state || fail "no state file after Starten"
stamp=$(python3 -c 'import sys; print(repr(float([l.split("=",1)[1] for l in open(sys.argv[1]) if l.startswith("Start=")][0])))' "$(state_file)")
sleep 1.2
kill -KILL "$xvfb_pid"
wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=''
wait_for 15 ended "$app_pid" || fail "the program outlived its X server"
wait "$app_pid" 2>/dev/null || true
app_pid=''
[ "$(size)" -eq 560 ] || fail "the deletion was lost with the display ($(size) bytes)"
has_state || fail "the running interval's state file was lost with the display"

start_x
run_program "$work/app2.log"
app_pid=$last_pid
wait_for 15 held || fail "the restarted program does not hold the project"
sleep 0.5
find_main_window && window_mapped "$main_window" && fail "the resumed program shows its window"
kill -TERM "$app_pid"
expect_exit "$app_pid" 0
app_pid=''
[ "$(size)" -eq 840 ] || fail "the resumed interval was not recorded ($(size) bytes)"
last_start=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); print(repr(struct.unpack_from("<d", d, len(d)-280)[0]))' "$work/prog/woche.crf")
[ "$last_start" = "$stamp" ] || fail "the recorded start $last_start is not the first start $stamp"

# --- 2: two instances.
echo "== a second chronark while the first is timing"
run_program "$work/app3.log" /start
app_pid=$last_pid
wait_for 15 has_state || fail "no state file after /start"
wait_for 10 held || fail "the first instance does not hold the project"
before=$(size)
run_program "$work/app4.log"
second_pid=$last_pid
box=''
# The box, not the main window that shows for a moment before it (taller).
find_box() {
  local w
  for w in $(xdotool search --all --onlyvisible --pid "$second_pid" --name '^Chronark$' 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    if [ "$HEIGHT" -lt 300 ] && window_mapped "$w"; then box=$w; return 0; fi
  done
  return 1
}
wait_for 15 find_box || fail "the second instance showed no box"
sleep 0.3
# "OK", bottom right: a key would go to the first instance's "Stop", which
# has the focus without a window manager.
eval "$(xdotool getwindowgeometry --shell "$box")"
xdotool mousemove --window "$box" $((WIDTH - 50)) $((HEIGHT - 23)) click 1
expect_exit "$second_pid" 0
second_pid=''
[ "$(size)" -eq "$before" ] || fail "the second instance wrote the project ($before -> $(size) bytes)"
kill -0 "$app_pid" || fail "the first instance ended"
kill -TERM "$app_pid"
expect_exit "$app_pid" 0
app_pid=''
[ "$(size)" -eq $((before + 280)) ] || fail "the first instance lost its interval"

echo "== a second chronark while the first is idle"
run_program "$work/app5.log"
app_pid=$last_pid
wait_for 20 find_main_window || fail "the main window did not appear"
wait_for 10 held || fail "the first instance does not hold the project"
before=$(size)
run_program "$work/app6.log"
second_pid=$last_pid
expect_exit "$second_pid" 0
second_pid=''
kill -0 "$app_pid" || fail "the first instance ended"
window_mapped "$main_window" || fail "the first instance's window is not shown"
kill -TERM "$app_pid"
expect_exit "$app_pid" 0
app_pid=''
[ "$(size)" -eq "$before" ] || fail "the project changed ($(size) bytes)"

echo "PASS"
