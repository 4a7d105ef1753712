#!/usr/bin/env bash
# Runs a graphical program where there is no desktop: on a private X display
# (Xvfb) with a window manager (openbox, so that windows have title bars and
# can be moved) and a notification-area host (trayer), reachable through a VNC
# server that accepts connections from this machine only (x11vnc on
# 127.0.0.1, so it needs no password).
#
#   run-headless.sh RUNDIR PROGRAM [ARGUMENT...]
#
# RUNDIR receives the logs, the list of started processes (pids), the display
# and port (session) and, once the program's window is up, screenshot.png.
# SIGINT (Ctrl-C), SIGTERM, SIGHUP or the end of any started process end the
# run: the program first, with SIGTERM, so that it runs its close sequence and
# saves, then the rest. Everything is ended by its PID, never by name.
#
# Optional environment:
#   CHRONARK_RUN_SCREEN        display size, WIDTHxHEIGHTxDEPTH (1280x800x24)
#   CHRONARK_RUN_GRACE         seconds the program gets after SIGTERM (10)
#   CHRONARK_RUN_SHOT_TIMEOUT  seconds to wait for the program's window (20)
#   CHRONARK_RUN_SHOT_QUIET    seconds the screen must stay unchanged before
#                              the screenshot is taken (1)
set -uo pipefail # no -e: the cleanup has to run through every failure

if [ $# -lt 2 ]; then
  echo "Aufruf: $0 LAUFORDNER PROGRAMM [ARGUMENT...]" >&2
  exit 2
fi
rundir=$1
program=$2
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
x11wait=("python3" "$here/x11wait.py")

screen=${CHRONARK_RUN_SCREEN:-1280x800x24}
grace=${CHRONARK_RUN_GRACE:-10}
shot_timeout=${CHRONARK_RUN_SHOT_TIMEOUT:-20}
shot_quiet=${CHRONARK_RUN_SHOT_QUIET:-1}
helper_grace=5

die() {
  echo "Fehler: $*" >&2
  exit 1
}
[[ $screen =~ ^([0-9]+)x([0-9]+)x(8|16|24|32)$ ]] ||
  die "CHRONARK_RUN_SCREEN \"$screen\" hat nicht die Form BREITExHÖHExFARBTIEFE (z. B. 1280x800x24)."
width=${BASH_REMATCH[1]}
height=${BASH_REMATCH[2]}
for setting in grace shot_timeout shot_quiet; do
  [[ ${!setting} =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "Ungültige Wartezeit \"${!setting}\" (Sekunden erwartet)."
done
[ -x "$program" ] || [ -n "$(type -P "$program" 2>/dev/null)" ] ||
  die "Das Programm \"$program\" gibt es nicht."

missing=()
for tool in Xvfb openbox trayer x11vnc import python3 ss setsid; do
  type -P "$tool" >/dev/null || missing+=("$tool")
done
[ ${#missing[@]} -eq 0 ] ||
  die "Es fehlt: ${missing[*]}. \"make deps\" (scripts/install-deps.sh) installiert es."

mkdir -p "$rundir" || die "Der Ordner \"$rundir\" lässt sich nicht anlegen."
rundir=$(cd "$rundir" && pwd)
rm -f "$rundir/screenshot.png" "$rundir/pids" "$rundir/session"
: >"$rundir/x11vnc.log"
: >"$rundir/import.log"
# Everything this run started, in start order; `ended` holds the PIDs already
# reaped, which must never be signalled again (the number may be reused).
names=()
pids=()
declare -A ended=()
prog_pid=""
helper_pid=""
fifos=""
cleaning=0

started() {
  names+=("$1")
  pids+=("$2")
  printf '%s %s\n' "$1" "$2" >>"$rundir/pids"
}

# Ends one of our processes: SIGTERM, then up to $2 seconds for it to end
# (a sleeping watchdog, no polling), then SIGKILL.
stop_pid() {
  local name=$1 pid=$2 limit=$3 done_pid="" watchdog
  [ -n "${ended[$pid]:-}" ] && return
  kill -TERM "$pid" 2>/dev/null
  sleep "$limit" &
  watchdog=$!
  wait -n -p done_pid "$pid" "$watchdog" 2>/dev/null
  if [ "$done_pid" != "$pid" ]; then
    echo "$name (PID $pid) hat sich nach $limit s nicht beendet und wird hart beendet."
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  ended[$pid]=1
  # The watchdog inherited the ignored SIGTERM of the cleanup.
  [ "$done_pid" != "$watchdog" ] && kill -KILL "$watchdog" 2>/dev/null
  wait "$watchdog" 2>/dev/null
}

cleanup() {
  [ "$cleaning" = 1 ] && return
  cleaning=1
  # Nothing may stop the cleanup half-way, a closed output pipe included.
  trap '' INT TERM HUP PIPE
  exec 5<&- 6<&-
  if [ -n "$helper_pid" ]; then
    stop_pid "x11wait" "$helper_pid" "$helper_grace"
  fi
  if [ -n "$prog_pid" ] && [ -z "${ended[$prog_pid]:-}" ]; then
    echo "Beende das Programm (PID $prog_pid) und warte, bis es gespeichert hat ..."
    stop_pid "Das Programm" "$prog_pid" "$grace"
  fi
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    [ "${pids[i]}" = "$prog_pid" ] && continue
    stop_pid "${names[i]}" "${pids[i]}" "$helper_grace"
  done
  [ -n "$fifos" ] && rm -rf "$fifos"
  [ ${#pids[@]} -gt 0 ] && echo "Alles beendet: ${names[*]}."
}

# shellcheck disable=SC2317 # called by the traps below
on_signal() {
  trap '' INT TERM HUP PIPE
  echo
  echo "$1 erhalten: beende alles, was gestartet wurde."
  cleanup
  exit "$2"
}
trap 'on_signal SIGINT 130' INT
trap 'on_signal SIGTERM 143' TERM
trap 'on_signal SIGHUP 129' HUP
# A reader of our output that went away (make run | tee, ended by Ctrl-C).
trap 'on_signal SIGPIPE 141' PIPE

fail() {
  echo "Fehler: $*" >&2
  cleanup
  exit 1
}

fifos=$(mktemp -d "${TMPDIR:-/tmp}/chronark-run.XXXXXX") || fail "Kein temporärer Ordner."

# Runs a waiting helper in the background, so that a signal is handled at once
# instead of after the helper has finished.
wait_helper() {
  "$@" &
  helper_pid=$!
  wait "$helper_pid"
  local status=$?
  ended[$helper_pid]=1
  helper_pid=""
  return "$status"
}

# Each process runs in a session of its own: Ctrl-C in the terminal reaches
# this script only, which then ends the program before its display.

# The X server reports its display number once it accepts clients.
mkfifo "$fifos/xvfb"
setsid Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset \
  3>"$fifos/xvfb" >"$rundir/Xvfb.log" 2>&1 &
started Xvfb $!
exec 5<"$fifos/xvfb"
display=""
read -r -t 15 -u 5 display
exec 5<&-
[[ $display =~ ^[0-9]+$ ]] || fail "Xvfb ist nicht gestartet (siehe $rundir/Xvfb.log)."
export DISPLAY=":$display"
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
# Qt wants a private runtime folder; a server session often has none.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  mkdir -m 700 "$fifos/runtime" && export XDG_RUNTIME_DIR="$fifos/runtime"
fi

# Title bars, so that a VNC user can move the windows. Windows mapped before
# it is up are taken over when it starts, so nothing waits for it.
setsid openbox --sm-disable >"$rundir/openbox.log" 2>&1 &
started openbox $!

# The notification area has to be there before the program asks for it.
setsid trayer --edge bottom --height 28 --SetDockType true --SetPartialStrut true \
  --transparent false \
  >"$rundir/trayer.log" 2>&1 &
started trayer $!
wait_helper "${x11wait[@]}" tray 15 ||
  fail "Der Infobereich (trayer) ist nicht bereit (siehe $rundir/trayer.log)."

# The first free port from 5900 on; x11vnc reports the port it listens on,
# and ends when another process took it in the meantime.
port=5900
vnc_pid=""
while [ "$port" -le 5999 ]; do
  if [ -n "$(ss -Hltn "sport = :$port" 2>/dev/null)" ]; then
    port=$((port + 1))
    continue
  fi
  mkfifo "$fifos/vnc$port"
  setsid x11vnc -display "$DISPLAY" -localhost -noipv6 -rfbport "$port" \
    -forever -shared -nopw >"$fifos/vnc$port" 2>>"$rundir/x11vnc.log" &
  vnc_pid=$!
  exec 6<"$fifos/vnc$port"
  while :; do
    IFS= read -r -t 15 -u 6 line
    answer=$?
    [ "$answer" -ne 0 ] || [ "$line" = "PORT=$port" ] && break
  done
  # On success fd 6 stays open while x11vnc runs, so that a late line never
  # blocks it.
  [ "$answer" -eq 0 ] && break
  exec 6<&-
  if [ "$answer" -gt 128 ]; then
    started x11vnc "$vnc_pid"
    fail "x11vnc meldet sich nicht (siehe $rundir/x11vnc.log)."
  fi
  # The end of its output: it has ended, the port was taken meanwhile.
  wait "$vnc_pid" 2>/dev/null
  vnc_pid=""
  port=$((port + 1))
done
[ -n "$vnc_pid" ] || fail "Kein freier VNC-Port zwischen 5900 und 5999 (siehe $rundir/x11vnc.log)."
started x11vnc "$vnc_pid"
printf 'DISPLAY=%s\nPORT=%s\nSCREEN=%sx%s\n' "$DISPLAY" "$port" "$width" "$height" >"$rundir/session"

# The watcher for the screenshot is in place before the program starts, so
# that it sees the first window appear and get drawn.
mkfifo "$fifos/shown"
"${x11wait[@]}" shown "$shot_timeout" "$shot_quiet" >"$fifos/shown" &
helper_pid=$!
exec 5<"$fifos/shown"
watching=""
read -r -t 15 -u 5 watching
[ "$watching" = bereit ] || fail "Das Bildschirmfoto lässt sich nicht vorbereiten."
(
  exec 5<&- 6<&- # the pipes of x11vnc and the watcher are none of its business
  export QT_QPA_PLATFORM=xcb
  exec setsid "$program" "$@"
) &
prog_pid=$!
started "$(basename "$program")" "$prog_pid"

cat <<EOF
Kein Desktop gefunden (weder DISPLAY noch WAYLAND_DISPLAY ist gesetzt).
Das Programm läuft auf einem virtuellen Bildschirm:
  Bildschirm:    Xvfb $DISPLAY, ${width}x${height} (PID ${pids[0]})
  Fenster:       openbox (PID ${pids[1]})
  Infobereich:   trayer (PID ${pids[2]})
  VNC-Server:    x11vnc auf 127.0.0.1:$port, nur von diesem Rechner aus, ohne Passwort (PID $vnc_pid)
  Programm:      $program (PID $prog_pid)
So erreichen Sie es:
  auf diesem Rechner:         VNC-Viewer mit 127.0.0.1, Port $port verbinden (z. B. vncviewer 127.0.0.1::$port)
  von einem anderen Rechner:  erst den SSH-Tunnel öffnen (HOST ist dieser Rechner, $(hostname 2>/dev/null || echo "sein Name")):
                                ssh -L $port:127.0.0.1:$port HOST
                              dann dort den VNC-Viewer mit 127.0.0.1, Port $port verbinden
Protokolle: $rundir
Beenden: Strg+C hier, oder im Programm "Programm beenden".
EOF

# The screenshot waits for the program's first window and for the screen to
# settle, so that it shows the painted window and not an empty frame; it is
# not taken when the program ends first.
done_pid=""
wait -n -p done_pid "$helper_pid" "$prog_pid"
shown=$?
if [ "$done_pid" = "$helper_pid" ]; then
  ended[$helper_pid]=1
  helper_pid=""
  exec 5<&-
  [ "$shown" -eq 0 ] || echo "Hinweis: Nach $shot_timeout s ist kein Fenster des Programms zu sehen."
  if import -display "$DISPLAY" -window root "$rundir/.screenshot.png" 2>>"$rundir/import.log" &&
    mv -f "$rundir/.screenshot.png" "$rundir/screenshot.png"; then
    echo "Bildschirmfoto: $rundir/screenshot.png"
  else
    echo "Das Bildschirmfoto ist misslungen (siehe $rundir/import.log)."
  fi
elif [ -n "$done_pid" ]; then
  ended[$done_pid]=1
  prog_status=$shown
fi

# Whatever ends first ends the run.
if [ -n "${prog_status:-}" ]; then
  done_pid=$prog_pid
  status=$prog_status
else
  done_pid=""
  wait -n -p done_pid "${pids[@]}"
  status=$?
  [ -n "$done_pid" ] && ended[$done_pid]=1
fi
trap '' INT TERM HUP PIPE
if [ "$done_pid" = "$prog_pid" ]; then
  echo "Das Programm hat sich beendet (Status $status)."
else
  for i in "${!pids[@]}"; do
    [ "${pids[i]}" = "$done_pid" ] && echo "${names[i]} hat sich unerwartet beendet (Status $status)."
  done
  status=1
fi
cleanup
exit "$status"
