#!/usr/bin/env bash
# `make run` where there is no desktop: runs scripts/run.sh without DISPLAY and
# WAYLAND_DISPLAY, with the built program when there is one (in a copy of the
# program folder, so that the build gets no settings) and with a stand-in
# otherwise. The runs:
#   0. with DISPLAY or WAYLAND_DISPLAY set: the program starts directly;
#   1. ended by Ctrl-C (SIGINT to run.sh's process group, as a terminal does);
#   2. ended by the program itself, while the first VNC port is taken;
#   3. with the real program only: no project yet, so the start prompt shows;
#      Esc answers it with "Abbrechen", which ends the program.
# Each headless run checks the screenshot, the VNC server and its address, that the
# program was given the time to save, and that nothing it started is left.
#
#   headless_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail

src=$1
bin=$2
screen_w=1280
screen_h=800
tray_h=28

tmp=$(mktemp -d "${TMPDIR:-/tmp}/chronark-headless-test.XXXXXX")
# Every process of a run inherits this variable; after the run no process
# may carry it any more.
tag="chronark-headless-$$-$RANDOM$RANDOM"
run_pid=""
blocker_pid=""
failures=0

on_exit() {
  exec 7<&- 8<&- 2>/dev/null
  if [ -n "$run_pid" ] && kill -0 "$run_pid" 2>/dev/null; then
    kill -TERM "$run_pid"
    wait "$run_pid"
  fi
  if [ -n "$blocker_pid" ]; then
    kill -TERM "$blocker_pid" 2>/dev/null
    wait "$blocker_pid"
  fi
  rm -rf "$tmp"
}
trap on_exit EXIT

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok     $what"
  else
    echo "FEHLER $what"
    failures=$((failures + 1))
  fi
}

if [ -x "$bin/dist/chronark" ]; then
  mode=program
else
  mode=standin
fi
echo "== Headless-Lauf mit $([ $mode = program ] && echo "$bin/dist/chronark" || echo "Platzhalter")"

# A program folder of its own per run. The real program finds a project there
# (empty, dated in the past), so that its close sequence has something to save.
prepare() {
  local dir=$tmp/$1
  mkdir -p "$dir"
  if [ $mode = program ]; then
    cp -a "$bin/dist" "$dir/dist"
    rm -f "$dir/dist/chronark.ini"
    printf '[Main]\r\nProject=probe.crf\r\n' >"$dir/dist/chronark.ini"
    : >"$dir/dist/probe.crf"
    touch -d '2001-01-01 12:00' "$dir/dist/probe.crf"
  fi
  echo "$dir"
}

# Reads run.sh's output from fd 7 into $log until a line matches $1 (a glob).
read_until() {
  local pattern=$1 line left end=$((SECONDS + $2))
  while :; do
    left=$((end - SECONDS))
    [ "$left" -gt 0 ] || return 1
    IFS= read -r -t "$left" -u 7 line || return 1
    printf '%s\n' "$line" >>"$log"
    # shellcheck disable=SC2053
    [[ $line == $pattern ]] && return 0
  done
}

# Reads the rest of the output; succeeds when every writer has closed it
# (run.sh and the program) within $1 seconds.
read_to_end() {
  local line left end=$((SECONDS + $1)) status
  while :; do
    left=$((end - SECONDS))
    [ "$left" -gt 0 ] || return 1
    IFS= read -r -t "$left" -u 7 line
    status=$?
    [ $status -gt 128 ] && return 1
    [ $status -ne 0 ] && [ -z "$line" ] && return 0
    printf '%s\n' "$line" >>"$log"
  done
}

start_run() {
  local dir=$1
  log=$dir/output.txt
  : >"$log"
  mkfifo "$dir/output.fifo"
  local extra=()
  if [ $mode = standin ]; then
    extra=(CHRONARK_RUN_PROGRAM="$src/tests/headless/standin.sh" HEADLESS_STANDIN_MARKER="$dir/saved")
  fi
  # Own process group (setsid), so that SIGINT can go to the group as from a
  # terminal. As a background job it starts with SIGINT ignored, which
  # run.sh has to undo.
  setsid env -u DISPLAY -u WAYLAND_DISPLAY \
    HEADLESS_TEST_TAG="$tag" CHRONARK_RUN_GRACE=15 "${extra[@]}" \
    bash "$src/scripts/run.sh" "$dir" >"$dir/output.fifo" 2>&1 &
  run_pid=$!
  exec 7<"$dir/output.fifo"
}

finish_run() {
  wait "$run_pid"
  run_status=$?
  run_pid=""
  exec 7<&-
}

session_value() {
  sed -n "s/^$1=//p" "$rundir/session" 2>/dev/null
}

screenshot_is_display() {
  [ "$(identify -format '%m %w %h' "$rundir/screenshot.png" 2>/dev/null)" = "PNG $screen_w $screen_h" ]
}

# The area above the notification bar is black until the program draws.
screenshot_shows_program() {
  local colours
  colours=$(identify -format '%k' "$rundir/screenshot.png[${screen_w}x$((screen_h - tray_h - 4))+0+0]" 2>/dev/null)
  [ "${colours:-0}" -gt 1 ]
}

vnc_answers() {
  local banner=""
  exec 8<>"/dev/tcp/127.0.0.1/$port" || return 1
  IFS= read -r -t 5 -N 12 -u 8 banner
  exec 8<&-
  [[ $banner == "RFB 003."* ]]
}

# Every listening TCP socket of the started processes is on 127.0.0.1, the
# VNC port among them, held by x11vnc.
vnc_local_only() {
  local sockets vnc_pid pid
  vnc_pid=$(awk '$1 == "x11vnc" { print $2 }' "$rundir/pids")
  sockets=$(ss -Hltnp "sport = :$port")
  [ -n "$sockets" ] || return 1
  awk -v want="127.0.0.1:$port" '$4 != want { bad = 1 } END { exit bad }' <<<"$sockets" || {
    echo "       $sockets"
    return 1
  }
  grep -q "pid=$vnc_pid," <<<"$sockets" || return 1
  for pid in $(awk '{ print $2 }' "$rundir/pids"); do
    sockets=$(ss -Hltnp | grep "pid=$pid," | awk '$4 !~ /^127\.0\.0\.1:/')
    [ -z "$sockets" ] || {
      echo "       $sockets"
      return 1
    }
  done
}

tray_present() {
  DISPLAY=$display python3 "$src/scripts/x11wait.py" tray 0
}

# A process that has just been signalled may need a moment to be reaped, and
# Xvfb removes its socket on the way out: give the end up to ten seconds.
nothing_left() {
  local end=$((SECONDS + 10))
  until nothing_left_now quiet; do
    [ "$SECONDS" -lt "$end" ] || { nothing_left_now; return 1; }
    sleep 0.2
  done
}

nothing_left_now() {
  local pid left="" f
  for pid in $(awk '{ print $2 }' "$rundir/pids"); do
    kill -0 "$pid" 2>/dev/null && left+=" $pid"
  done
  for f in /proc/[0-9]*/environ; do
    grep -qzx "HEADLESS_TEST_TAG=$tag" "$f" 2>/dev/null && left+=" ${f//[^0-9]/}"
  done
  [ -z "$left" ] || {
    [ "${1:-}" = quiet ] || echo "       noch da:$left"
    return 1
  }
  [ ! -e "/tmp/.X11-unix/X${display#:}" ] && [ -z "$(ss -Hltn "sport = :$port")" ]
}

saved() {
  if [ $mode = standin ]; then
    [ "$(cat "$dir/saved" 2>/dev/null)" = "gespeichert" ]
  else
    [ "$dir/dist/probe.crf" -nt "$tmp/started" ] && grep -q '^Project=probe.crf' "$dir/dist/chronark.ini"
  fi
}

# The program's window sits in a window manager's frame (title bar), not
# directly on the root window.
window_framed() {
  local id root parent
  DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" || return 1
  id=$(DISPLAY=$display xdotool search --onlyvisible --name '^(Chronark|Bestätigung)' 2>/dev/null | head -n 1)
  [ -n "$id" ] || return 1
  root=$(DISPLAY=$display xwininfo -root 2>/dev/null | awk '/Window id:/ { print $4 }')
  parent=$(DISPLAY=$display xwininfo -children -id "$id" 2>/dev/null | awk '/Parent window id:/ { print $4 }')
  [ -n "$parent" ] && [ "$parent" != "$root" ]
}

checks_while_running() {
  rundir=$dir/run
  port=$(session_value PORT)
  display=$(session_value DISPLAY)
  check "Bildschirmfoto ist ein PNG von ${screen_w}x$screen_h" screenshot_is_display
  check "Bildschirmfoto zeigt das Programm" screenshot_shows_program
  check "Ausgabe nennt Port und SSH-Tunnel" grep -q "ssh -L $port:127.0.0.1:$port HOST" "$log"
  check "VNC-Server antwortet auf 127.0.0.1:$port" vnc_answers
  check "VNC-Server ist nur an 127.0.0.1 gebunden" vnc_local_only
  check "Infobereich ist da" tray_present
  check "Fenster hat einen Rahmen mit Titelleiste (openbox)" window_framed
}

checks_after_end() {
  check "Programm hat gespeichert" saved
  check "nichts Gestartetes läuft mehr" nothing_left
}

touch -d '-1 second' "$tmp/started"

echo "-- Lauf 0: mit Desktop startet das Programm direkt"
# shellcheck disable=SC2016 # expanded by the probe itself
printf '#!/bin/sh\necho "direkt $$ DISPLAY=${DISPLAY:-} WAYLAND=${WAYLAND_DISPLAY:-} QPA=${QT_QPA_PLATFORM:-}"\n' >"$tmp/probe.sh"
chmod +x "$tmp/probe.sh"
direct() {
  local out
  out=$(env -u QT_QPA_PLATFORM "$@" CHRONARK_RUN_PROGRAM="$tmp/probe.sh" bash "$src/scripts/run.sh" "$tmp/desktop")
  [[ $out == "direkt "*" $expect" ]] && [ ! -e "$tmp/desktop/run" ]
}
expect="DISPLAY=:97 WAYLAND= QPA="
check "DISPLAY gesetzt" direct env -u WAYLAND_DISPLAY DISPLAY=:97
expect="DISPLAY= WAYLAND=wayland-7 QPA="
check "WAYLAND_DISPLAY gesetzt" direct env -u DISPLAY WAYLAND_DISPLAY=wayland-7

echo "-- Lauf 1: Strg+C"
dir=$(prepare ctrl-c)
start_run "$dir"
if check "Bildschirmfoto wird gemeldet" read_until "Bildschirmfoto: *" 60; then
  checks_while_running
  kill -INT -- "-$run_pid"
  check "run.sh endet nach Strg+C" read_to_end 40
  finish_run
  check "Status 130 nach Strg+C (war $run_status)" test "$run_status" = 130
  checks_after_end
else
  rundir=$dir/run
fi

echo "-- Lauf 2: das Programm endet selbst, Port 5900+ belegt"
dir=$(prepare program-ends)
# The first free port from 5900 on, taken by a listener of our own.
coproc BLOCKER {
  exec python3 -c 'import signal, socket
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
for port in range(5900, 6000):
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        s.close()
        continue
    s.listen()
    print(port, flush=True)
    break
signal.sigwait({signal.SIGTERM})'
}
blocker_pid=$BLOCKER_PID
blocked=""
read -r -t 10 -u "${BLOCKER[0]}" blocked
check "ein Port ab 5900 ist belegt (${blocked:-keiner})" test -n "$blocked"
start_run "$dir"
if check "Bildschirmfoto wird gemeldet" read_until "Bildschirmfoto: *" 60; then
  checks_while_running
  check "belegter Port $blocked wird übersprungen" test "$port" != "$blocked"
  program_pid=$(tail -n 1 "$rundir/pids" | awk '{ print $2 }')
  kill -TERM "$program_pid"
  check "run.sh endet mit dem Programm" read_to_end 40
  finish_run
  check "Ende des Programms wird gemeldet" grep -q "Das Programm hat sich beendet" "$log"
  checks_after_end
fi
kill -TERM "$blocker_pid"
wait "$blocker_pid"
blocker_pid=""

if [ $mode = program ]; then
  echo "-- Lauf 3: ohne Projekt; \"Abbrechen\" in der Startfrage beendet das Programm"
  dir=$tmp/no-project
  mkdir -p "$dir"
  cp -a "$bin/dist" "$dir/dist"
  rm -f "$dir/dist/chronark.ini"
  start_run "$dir"
  if check "Bildschirmfoto wird gemeldet" read_until "Bildschirmfoto: *" 60; then
    checks_while_running
    prompt=$(DISPLAY=$display xdotool search --name '^Bestätigung$' 2>/dev/null | head -n 1)
    check "Startfrage ist zu sehen" test -n "$prompt"
    # Esc answers "Abbrechen".
    DISPLAY=$display xdotool windowfocus --sync "${prompt:-0}" key Escape 2>/dev/null
    check "run.sh endet mit dem Programm" read_to_end 40
    finish_run
    check "Status 0 (war $run_status)" test "$run_status" = 0
    check "Ende des Programms wird gemeldet" grep -q "Das Programm hat sich beendet" "$log"
    check "keine Einstellungsdatei geschrieben" test ! -e "$dir/dist/chronark.ini"
    check "nichts Gestartetes läuft mehr" nothing_left
  fi
fi

if [ "$failures" -ne 0 ]; then
  for f in "$tmp"/*/output.txt "$tmp"/*/run/*.log; do
    [ -f "$f" ] && {
      echo "---- $f"
      tail -n 30 "$f"
    }
  done
  echo "$failures Prüfung(en) fehlgeschlagen."
  exit 1
fi
echo "Alle Prüfungen bestanden."
