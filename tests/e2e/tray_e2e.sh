#!/usr/bin/env bash
# End-to-end test of the program in its timing mode: a virtual X server, a
# notification-area host, the real chronark, and xdotool as the user.
# Every process is started here by its PID and ended by it.
set -euo pipefail

program=${1:?usage: tray_e2e.sh path/to/chronark [path/to/relcheck.so]}
relcheck=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb trayer xdotool xwininfo import python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
xvfb_pid='' tray_pid='' app_pid=''

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
  stop_pid "$app_pid"
  stop_pid "$tray_pid"
  stop_pid "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/app.log" ] && sed 's/^/  program: /' "$work/app.log" >&2
  exit 1
}

# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# --- the desktop: X server first, then the tray host (Qt decides at start
# whether a notification area exists).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display_known() { [ -s "$work/display" ] && grep -q '[0-9]' "$work/display"; }
wait_for 20 display_known || fail "Xvfb gave no display"
export DISPLAY=":$(tr -dc '0-9' <"$work/display")"
wait_for 10 xwininfo -root || fail "X server $DISPLAY does not answer"

trayer --SetDockType true --edge bottom --height 24 --transparent false >"$work/trayer.log" 2>&1 &
tray_pid=$!
wait_for 10 xdotool search --name '^panel$' || fail "trayer did not come up"

# --- the program folder: a copy of the program, a project, the settings.
mkdir -p "$work/prog" "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
cp "$program" "$work/prog/chronark"
python3 - "$work/prog/woche.crf" <<'PY'
import struct, sys
record = struct.pack('<ddii', 46363.375, 46363.5, 3, 0) + bytes([3]) + b'abc' + bytes(252)
open(sys.argv[1], 'wb').write(record)
PY
size() { stat -c %s "$work/prog/woche.crf"; }

start_program() {
  : >"$work/app.log"
  env -u DBUS_SESSION_BUS_ADDRESS -u SESSION_MANAGER QT_QPA_PLATFORM=xcb \
    HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" \
    "$work/prog/chronark" "$@" >"$work/app.log" 2>&1 &
  app_pid=$!
}

# Prints the id of the main window once it is mapped.
main_window=''
find_main_window() {
  main_window=$(xdotool search --onlyvisible --name '^Chronark - woche\.crf$' 2>/dev/null | head -n1)
  [ -n "$main_window" ]
}
window_mapped() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }
window_unmapped() { ! window_mapped "$1"; }

# The tray icon: a window named after its tooltip, embedded in trayer's
# panel (a grandchild of the root window, so indented deeper in the tree).
tray_icon=''
find_tray_icon() {
  tray_icon=$(xwininfo -root -tree | awk '$2 == "\"Chronark\":" && match($0, /^ +/) && RLENGTH > 6 { print $1; exit }')
  [ -n "$tray_icon" ]
}
no_tray_icon() { ! find_tray_icon; }
tray_icon_ready() { find_tray_icon && window_mapped "$tray_icon"; }

# Clicks the toolbar button whose glyph shows the colour $1, once it is painted.
glyph_at=''
locate_glyph() { glyph_at=$(import -window root -depth 8 ppm:- | python3 "$here/find_color.py" "$1"); }
click_glyph() {
  wait_for 10 locate_glyph "$1" || fail "no glyph of colour $1 on screen"
  local x y
  read -r x y <<<"$glyph_at"
  xdotool mousemove "$x" "$y" click 1
}
start_glyph=2e9e45   # "Starten"
quit_glyph=b3261e    # "Programm beenden"

program_ended() { ! kill -0 "$app_pid" 2>/dev/null; }

# Waits for the program's end and checks its exit code.
expect_exit() {
  wait_for 15 program_ended || fail "the program did not end"
  local code=0
  wait "$app_pid" || code=$?
  app_pid=''
  [ "$code" -eq "$1" ] || fail "exit code $code, expected $1"
}

# Opens the icon's menu and clicks its last item, "Stop und Beenden".
menu_window=''
find_menu() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null); do
    [ "$(printf '0x%x' "$w")" = "$tray_icon" ] && continue
    eval "$(xdotool getwindowgeometry --shell "$w")"
    if [ "$HEIGHT" -gt 30 ]; then menu_window=$w; return 0; fi
  done
  return 1
}
# The icon is found once trayer has reparented it; it takes clicks only once
# it is mapped there. A press that still reaches the panel is lost, as it would
# be for a person, who then clicks again: so does the test, up to three times.
open_tray_menu_and_choose_last() {
  local try
  for try in 1 2 3; do
    xdotool mousemove --window "$tray_icon" 8 8 click 3
    wait_for 4 find_menu && break
    [ "$try" -lt 3 ] || fail "the tray menu did not open: $(xwininfo -root -tree | grep -F '"Chronark"')"
  done
  eval "$(xdotool getwindowgeometry --shell "$menu_window")"
  xdotool mousemove --window "$menu_window" $((WIDTH / 2)) $((HEIGHT - 12)) click 1
}

printf '[Main]\nProject = woche.crf\n' >"$work/prog/chronark.ini"
# No shared folder of the maker: only the program folder is searched.
printf '[Software\\Microsoft\\Windows\\CurrentVersion]\nCommonFilesDir=\n' >"$work/registry.ini"
export REGISTRY_HKLM_FILE="$work/registry.ini"
update_glyph=cfe4fa  # "Nach neuer Version suchen"
[ -n "$relcheck" ] && cp "$relcheck" "$work/prog/relcheck.so"

# --- 1: "Starten" hides the window into the tray; a double-click stops.
echo "== Starten, double-click on the tray icon"
start_program
wait_for 20 find_main_window || fail "the main window did not appear"
if [ -n "$relcheck" ]; then
  wait_for 10 locate_glyph "$update_glyph" || fail "no toolbar button for the update check beside relcheck.so"
fi
before=$(size)
click_glyph "$start_glyph"
wait_for 10 window_unmapped "$main_window" || fail "the main window stayed mapped after Starten"
wait_for 10 tray_icon_ready || fail "no tray icon named Chronark in the notification area"
# Its tooltip: hovering shows a tooltip window of the program.
tooltip_shown() { [ "$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | wc -l)" -ge 2 ]; }
hover_tray_icon() {
  # Qt starts its tooltip timer on motion inside the window: move twice.
  xdotool mousemove --window "$tray_icon" 6 6 mousemove --window "$tray_icon" 9 9
  wait_for 2 tooltip_shown
}
wait_for 10 hover_tray_icon || fail "no tooltip over the tray icon"
sleep 0.3   # a double-click must not count the hover's first click
# A double-click whose first press was lost counts as a single click, which
# does nothing: like a person, try again while the icon is still there.
for try in 1 2 3; do
  xdotool mousemove --window "$tray_icon" 8 8 click --repeat 2 --delay 80 1 || true
  wait_for 4 window_mapped "$main_window" && break
  [ "$try" -lt 3 ] && find_tray_icon || fail "the window did not come back after the double-click"
  sleep 0.5
done
wait_for 5 no_tray_icon || fail "the tray icon stayed after Stop"
[ "$(size)" -eq $((before + 280)) ] || fail "Stop did not save the recorded interval ($(size) bytes)"
click_glyph "$quit_glyph"
expect_exit 0
[ "$(size)" -eq $((before + 280)) ] || fail "after Stop and quit the file has $(size) bytes, expected $((before + 280))"
grep -qx 'Project=woche.crf' "$work/prog/chronark.ini" || fail "settings file not written"

# --- 2: "Stop und Beenden" from the menu ends the program, window never shown.
# Without relcheck.so the toolbar has no button for the update check.
echo "== Starten, Stop und Beenden"
rm -f "$work/prog/relcheck.so"
start_program
wait_for 20 find_main_window || fail "the main window did not appear"
before=$(size)
wait_for 10 locate_glyph "$start_glyph" || fail "the toolbar was not painted"
locate_glyph "$update_glyph" && fail "a toolbar button for the update check without relcheck.so"
click_glyph "$start_glyph"
wait_for 10 window_unmapped "$main_window" || fail "the main window stayed mapped after Starten"
wait_for 10 tray_icon_ready || fail "no tray icon"
open_tray_menu_and_choose_last
deadline=$((SECONDS + 15))
while kill -0 "$app_pid" 2>/dev/null; do
  window_mapped "$main_window" && fail "the window was shown again"
  [ "$SECONDS" -lt "$deadline" ] || fail "the program did not end"
  sleep 0.05
done
expect_exit 0
[ "$(size)" -eq $((before + 280)) ] || fail "the file has $(size) bytes, expected $((before + 280))"

# --- 3: started with /start, then SIGTERM while timing.
echo "== /start, SIGTERM"
printf '[Main]\n; kept\nProject = woche.crf\n' >"$work/prog/chronark.ini"
before=$(size)
start_program /start
wait_for 20 tray_icon_ready || fail "no tray icon after /start"
no_visible_main() { ! xdotool search --onlyvisible --name '^Chronark' >/dev/null 2>&1 || ! find_main_window; }
wait_for 10 no_visible_main || fail "the window stayed visible after /start"
kill -TERM "$app_pid"
expect_exit 0
[ "$(size)" -eq $((before + 280)) ] || fail "the running interval was not saved ($(size) bytes)"
[ "$(cat "$work/prog/chronark.ini")" = "$(printf '[Main]\n; kept\nProject=woche.crf')" ] \
  || fail "settings file not written: $(cat "$work/prog/chronark.ini")"

# --- 4: "Starten", then SIGTERM while timing.
echo "== Starten, SIGTERM"
before=$(size)
start_program
wait_for 20 find_main_window || fail "the main window did not appear"
click_glyph "$start_glyph"
wait_for 10 window_unmapped "$main_window" || fail "the main window stayed mapped after Starten"
wait_for 10 tray_icon_ready || fail "no tray icon"
rm -f "$work/prog/chronark.ini"
kill -TERM "$app_pid"
expect_exit 0
[ "$(size)" -eq $((before + 280)) ] || fail "the running interval was not saved ($(size) bytes)"
grep -qx 'Project=woche.crf' "$work/prog/chronark.ini" || fail "settings file not written"

# --- 5: without a notification area the stand-in window offers the menu.
echo "== no notification area: the stand-in window"
stop_pid "$tray_pid"
tray_pid=''
before=$(size)
start_program
wait_for 20 find_main_window || fail "the main window did not appear"
click_glyph "$start_glyph"
wait_for 10 window_unmapped "$main_window" || fail "the main window stayed mapped after Starten"
stand_in=''
find_stand_in() {
  stand_in=$(xwininfo -root -tree | awk '$2 == "\"Chronark\":" { print $1; exit }')
  [ -n "$stand_in" ] && window_mapped "$stand_in"
}
wait_for 10 find_stand_in || fail "no stand-in window"
# Its buttons from left to right: the icon, "Stop", "Stop und Beenden".
eval "$(xdotool getwindowgeometry --shell "$stand_in")"
xdotool mousemove --window "$stand_in" $((WIDTH - 30)) $((HEIGHT / 2)) click 1
expect_exit 0
[ "$(size)" -eq $((before + 280)) ] || fail "the file has $(size) bytes, expected $((before + 280))"

echo "PASS"
