#!/usr/bin/env bash
# End-to-end test that no end of the program loses time or entries: the real
# chronark on the offscreen platform, ended by SIGKILL, SIGINT, SIGQUIT and
# SIGTERM; chronark-cli against a project the program holds; and the rescue
# copy when the project cannot be saved at the session end (as an
# unprivileged user, since root ignores permissions).
# Every process is started here by its PID and ended by it.
set -euo pipefail

program=${1:?usage: keep_e2e.sh path/to/chronark path/to/chronark-cli}
cli=${2:?usage: keep_e2e.sh path/to/chronark path/to/chronark-cli}
here=$(cd "$(dirname "$0")" && pwd)
command -v python3 >/dev/null || { echo "SKIP: python3 is not installed"; exit 77; }

work=$(mktemp -d)
chmod 755 "$work"
app_pid=''

cleanup() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill -9 "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -f "$log" ] && sed 's/^/  program: /' "$log" >&2
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

# prepare FOLDER: a program folder with a project of one entry and its settings.
prepare() {
  local dir=$1
  mkdir -p "$dir/prog" "$dir/home" "$dir/data" "$dir/run"
  chmod 700 "$dir/run"
  cp "$program" "$dir/prog/chronark"
  python3 - "$dir/prog/woche.crf" <<'PY'
import struct, sys
record = struct.pack('<ddii', 46363.375, 46363.5, 3, 0) + bytes([3]) + b'abc' + bytes(252)
open(sys.argv[1], 'wb').write(record)
PY
  printf '[Main]\nProject=woche.crf\n' >"$dir/prog/chronark.ini"
  printf '[Software\\Microsoft\\Windows\\CurrentVersion]\nCommonFilesDir=\n' >"$dir/registry.ini"
}

# The environment of one program folder; "as" runs a command in it.
as() {
  local dir=$1
  shift
  ${exec_in:+exec} env -u DBUS_SESSION_BUS_ADDRESS -u SESSION_MANAGER -u DISPLAY -u WAYLAND_DISPLAY \
    QT_QPA_PLATFORM=offscreen HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" \
    XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/home/.config" \
    REGISTRY_HKLM_FILE="$dir/registry.ini" ${runner[@]+"${runner[@]}"} "$@"
}
runner=()

start_program() {
  local dir=$1
  shift
  log=$dir/app.log
  : >"$log"
  # exec: $! is the program itself, so that signals reach it.
  (exec_in=1 as "$dir" "$dir/prog/chronark" "$@") >"$log" 2>&1 &
  app_pid=$!
}
held() { XDG_RUNTIME_DIR="$1/run" python3 "$here/project_held.py" "$1/prog/woche.crf"; }
state_file() { ls "$1"/prog/chronark-*.running 2>/dev/null | head -n1; }
has_state() { [ -n "$(state_file "$1")" ]; }
size() { stat -c %s "$1/prog/woche.crf"; }
program_ended() { ! kill -0 "$app_pid" 2>/dev/null; }
expect_exit() {
  wait_for 10 program_ended || fail "the program did not end"
  local code=0
  wait "$app_pid" || code=$?
  app_pid=''
  [ "$code" -eq "$1" ] || fail "exit code $code, expected $1"
}
# The start stamp of the last record, as the exact double.
last_start() {
  python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); print(repr(struct.unpack_from("<d", d, len(d)-280)[0]))' "$1/prog/woche.crf"
}
state_start() {
  python3 -c 'import sys; print(repr(float([l.split("=",1)[1] for l in open(sys.argv[1]) if l.startswith("Start=")][0])))' "$(state_file "$1")"
}

dir=$work/a
prepare "$dir"
log=$dir/app.log

# --- 1: SIGKILL while timing; the restart goes on timing from the first start.
echo "== /start, SIGKILL, restart resumes, SIGTERM records from the first start"
before=$(size "$dir")
start_program "$dir" /start
wait_for 15 has_state "$dir" || fail "no state file after /start"
wait_for 10 held "$dir" || fail "the program does not hold the project"
stamp=$(state_start "$dir")
grep -qx "Project=$(realpath "$dir/prog/woche.crf")" "$(state_file "$dir")" || fail "state file names no project"
sleep 1.2
kill -KILL "$app_pid"
wait "$app_pid" 2>/dev/null || true
app_pid=''
has_state "$dir" || fail "the state file went with the killed program"
[ "$(size "$dir")" -eq "$before" ] || fail "the killed program changed the project"
start_program "$dir"
wait_for 10 held "$dir" || fail "the restarted program does not hold the project"
sleep 0.5
has_state "$dir" || fail "the resumed interval lost its state file"
kill -TERM "$app_pid"
expect_exit 0
[ "$(size "$dir")" -eq $((before + 280)) ] || fail "after the resume the file has $(size "$dir") bytes"
[ "$(last_start "$dir")" = "$stamp" ] || fail "the recorded start $(last_start "$dir") is not the first start $stamp"
python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); h,m=struct.unpack_from("<ii", d, len(d)-264); sys.exit(0 if (h,m)==(0,1) else 1)' "$dir/prog/woche.crf" \
  || fail "the resumed interval has the wrong duration"
has_state "$dir" && fail "the state file stayed after the interval was saved"

# --- 2: Ctrl-C and Ctrl-\ end the session like SIGTERM.
for signal in INT QUIT; do
  echo "== /start, SIG$signal"
  before=$(size "$dir")
  start_program "$dir" /start
  wait_for 15 has_state "$dir" || fail "no state file after /start"
  kill -"$signal" "$app_pid"
  expect_exit 0
  [ "$(size "$dir")" -eq $((before + 280)) ] || fail "SIG$signal lost the running interval"
  has_state "$dir" && fail "the state file stayed after SIG$signal"
done

# --- 3: chronark-cli while the program has the project open.
echo "== chronark-cli while the program runs"
start_program "$dir"
wait_for 10 held "$dir" || fail "the program does not hold the project"
before=$(size "$dir")
code=0
as "$dir" "$cli" add "$dir/prog/woche.crf" "2026-01-05 09:00:00" "2026-01-05 10:00:00" x \
  >"$work/cli.out" 2>"$work/cli.err" || code=$?
[ "$code" -eq 1 ] || fail "chronark-cli add exited $code while the program holds the project"
grep -q "woche.crf" "$work/cli.err" && grep -q "Chronark" "$work/cli.err" \
  || fail "chronark-cli's message names neither project nor program: $(cat "$work/cli.err")"
[ "$(size "$dir")" -eq "$before" ] || fail "chronark-cli wrote into the open project"
as "$dir" "$cli" list "$dir/prog/woche.crf" | grep -q '^Gesamt: ' || fail "list does not work beside the program"
as "$dir" "$cli" csv "$dir/prog/woche.crf" | grep -q '^Beginn,' || fail "csv does not work beside the program"
kill -TERM "$app_pid"
expect_exit 0
before=$(size "$dir")
pids=()
for i in 1 2 3 4 5 6; do
  as "$dir" "$cli" add "$dir/prog/woche.crf" "2026-01-0$i 09:00:00" "2026-01-0$i 10:00:00" "n$i" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || fail "a parallel chronark-cli add failed"; done
[ "$(size "$dir")" -eq $((before + 6 * 280)) ] || fail "parallel adds lost entries: $(size "$dir") bytes"

# --- 4: the session end cannot save: a rescue copy, exit 1 within 5 s.
echo "== session end with a read-only project: rescue copy"
dir=$work/b
prepare "$dir"
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null || { echo "SKIP: setpriv is not installed"; exit 77; }
  chown -R nobody "$dir"
  runner=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
fi
before=$(size "$dir")
start_program "$dir" /start
wait_for 15 has_state "$dir" || fail "no state file after /start"
wait_for 10 held "$dir" || fail "the program does not hold the project"
chmod 0444 "$dir/prog/woche.crf"
chmod 0555 "$dir/prog"
started=$(date +%s%N)
kill -TERM "$app_pid"
expect_exit 1
elapsed=$((($(date +%s%N) - started) / 1000000))
[ "$elapsed" -lt 5000 ] || fail "the program took $elapsed ms to end"
rescue=$(ls "$dir"/data/chronark/rescue/woche-*.crf 2>/dev/null | head -n1)
[ -n "$rescue" ] || fail "no rescue file"
[[ "$(basename "$rescue")" =~ ^woche-[0-9]{8}-[0-9]{6}\.crf$ ]] || fail "rescue file name $(basename "$rescue")"
[ "$(stat -c %s "$rescue")" -eq $((before + 280)) ] || fail "the rescue file has $(stat -c %s "$rescue") bytes"
grep -qF "$rescue" "$log" || fail "the rescue file is not named on standard error"
grep -qxF "$rescue" "$dir/data/chronark/rescue/rescued.txt" || fail "the rescue file is not noted for the next start"
[ "$(size "$dir")" -eq "$before" ] || fail "the read-only project changed"
runner=()

echo "PASS"
