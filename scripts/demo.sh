#!/usr/bin/env bash
# The demo camera online against a local cloud, on one machine.
#
#   scripts/demo.sh [--seconds N] [--no-streams] [--pictures|--no-pictures]
#
# Installs what is missing, builds kestrel_demo, starts a throwaway local cloud
# (TLS broker + platform agent) with a demo device identity, starts the camera
# against it, shows what the platform receives, round-trips a property set,
# and runs until Ctrl-C (or for N seconds). Everything it started is stopped
# on the way out. Exit status: 0 when the device came online and answered the
# property set (and, unless --no-streams or KESTREL_DEMO_STREAMS=0, recorded a live
# stream, a playback with pause and seek and a voice round trip); non-zero
# otherwise. A picture round trip (TriggerPicCapture, the JPEG's path in the
# local store) runs when kestrel_demo -h offers a storage trust anchor, or
# with --pictures (KESTREL_DEMO_PICTURES=1; =0 skips). The state directory
# with the camera's log is kept and named.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY=/usr/bin/python3
DEVCLOUD=("$PY" "$ROOT/devcloud/devcloud")

PK="kDemoProduct"
DN="demo_camera_01"
DS="9f3c1b7e52a04d8e8c6b2f1a7d3e5c90"
ONLINE_TIMEOUT_S=30
STOP_TIMEOUT_S=15

run_seconds=""
log_level=4
# Streaming steps run unless turned off.
streams="${KESTREL_DEMO_STREAMS:-1}"
# Pictures: "auto" runs them once the camera takes a storage trust anchor.
pictures="${KESTREL_DEMO_PICTURES:-auto}"

usage() {
  sed -n '2,16p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
  case "$1" in
    --seconds)
      [ $# -ge 2 ] || { echo "demo.sh: --seconds needs a value" >&2; exit 2; }
      run_seconds="$2"; shift 2 ;;
    --seconds=*) run_seconds="${1#*=}"; shift ;;
    --streams) streams=1; shift ;;
    --no-streams) streams=0; shift ;;
    --pictures) pictures=1; shift ;;
    --no-pictures) pictures=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done
if [ -n "$run_seconds" ] && ! [[ "$run_seconds" =~ ^[0-9]+$ && "$run_seconds" -gt 0 ]]; then
  echo "demo.sh: --seconds takes a positive whole number, not '$run_seconds'" >&2
  exit 2
fi

say() { printf '\033[1m[demo] %s\033[0m\n' "$*"; }

# ---- install and build ------------------------------------------------------
say "checking packages"
bash "$ROOT/scripts/deps.sh"

# KESTREL_BUILD_DIR picks another build tree (default: build/).
BUILD="${KESTREL_BUILD_DIR:-$ROOT/build}"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
say "building kestrel_demo"
cmake --build "$BUILD" -j"$(nproc)" --target kestrel_demo
DEMO_BIN="$BUILD/demo/app/kestrel_demo"
[ -x "$DEMO_BIN" ] || { echo "demo.sh: $DEMO_BIN was not built" >&2; exit 1; }

# ---- state, clean-up --------------------------------------------------------
STATE="$(mktemp -d "${TMPDIR:-/tmp}/kestrel-demo.XXXXXX")"
export DEVCLOUD_HOME="$STATE/cloud"
DEMO_LOG="$STATE/kestrel_demo.log"
WATCH_LOG="$STATE/platform.log"
demo_pid=""
watch_pid=""
show_pid=""
cloud_up=0
online=0
round_trip=0
streams_ok=1
pictures_ok=1
finished=0
steps_done=""  # what succeeded, in order, for the closing line

step_done() {
  steps_done="${steps_done:+$steps_done, }$1"
}

# Waits on the file and the process, not on the clock (devcloud's waits):
# wait_line FILE SECONDS REGEX [PID] succeeds once a line of FILE matches and
# fails at the deadline or once PID has ended; wait_gone PID SECONDS succeeds
# once PID has ended. Each runs in the background under the wait builtin, so
# a TERM's trap runs at once.
wait_line() {
  PYTHONPATH="$ROOT/devcloud" "$PY" -B - "$@" <<'PY' &
import os, re, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)  # Ctrl-C: the script's own trap reports
from devcloud_lib.procs import WaitFailed, pid_alive, wait_for
path, limit, pattern = sys.argv[1], float(sys.argv[2]), re.compile(sys.argv[3])
class Pid(object):  # what wait_for needs of a process it did not start
    def __init__(self, pid):
        self.pid, self.returncode = pid, "?"
    def poll(self):
        return None if pid_alive(self.pid) else "?"
def seen():
    with open(path, errors="replace") as f:
        return any(pattern.search(line) for line in f)
try:
    wait_for(path, seen, limit, proc=Pid(int(sys.argv[4])) if len(sys.argv) > 4 else None,
             directory=os.path.dirname(os.path.abspath(path)))
except WaitFailed:
    sys.exit(1)
PY
  wait $!
}
wait_gone() {
  PYTHONPATH="$ROOT/devcloud" "$PY" -B -c 'import signal, sys; from devcloud_lib.procs import wait_exit
signal.signal(signal.SIGINT, signal.SIG_DFL)
sys.exit(0 if wait_exit(int(sys.argv[1]), float(sys.argv[2])) else 1)' "$@" &
  wait $!
}

stop_pid() {  # pid, seconds: TERM, wait, then KILL
  local pid="$1" limit="$2"
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  if ! wait_gone "$pid" "$limit"; then
    say "process $pid did not stop in ${limit}s, killing it"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null
}

cleanup() {
  local status=$?
  [ "$finished" = 1 ] && return
  finished=1
  trap '' INT TERM
  say "stopping"
  if [ -n "$demo_pid" ]; then
    local demo_status=0
    stop_pid "$demo_pid" "$STOP_TIMEOUT_S" || demo_status=$?
    [ "$demo_status" = 0 ] || say "kestrel_demo ended with status $demo_status"
  fi
  stop_pid "$watch_pid" 5 || true
  stop_pid "$show_pid" 5 || true
  if [ "$cloud_up" = 1 ]; then
    "${DEVCLOUD[@]}" down >/dev/null || say "devcloud down failed"
  fi
  say "camera log: $DEMO_LOG"
  if [ "$online" = 1 ] && [ "$round_trip" = 1 ] && [ "$streams_ok" = 1 ] && [ "$pictures_ok" = 1 ]; then
    say "done: $steps_done (state kept in $STATE)"
    exit 0
  fi
  say "FAILED (online=$online, property round trip=$round_trip, streams=$streams_ok, pictures=$pictures_ok; succeeded: ${steps_done:-nothing}); logs kept in $STATE"
  [ "$status" = 0 ] && status=1
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- local cloud ------------------------------------------------------------
say "starting the local cloud in $DEVCLOUD_HOME"
up_out="$("${DEVCLOUD[@]}" up --port 0)"
cloud_up=1
port="$(sed -n 's/^port=//p' <<<"$up_out")"
ca="$(sed -n 's/^ca=//p' <<<"$up_out")"
[ -n "$port" ] && [ -f "$ca" ] || { echo "demo.sh: devcloud up gave no port or CA:" >&2; echo "$up_out" >&2; exit 1; }
"${DEVCLOUD[@]}" device add "$PK" "$DN" "$DS" >/dev/null
say "broker on 127.0.0.1:$port, device $PK/$DN registered"
web_url="$(sed -n 's/^web_url=//p' <<<"$up_out")"
if [ -n "$web_url" ]; then
  say "web console: $web_url (devices, events, live, snapshot, recordings)"
else
  say "the web console did not start (see $DEVCLOUD_HOME/web.log)"
fi

# What the platform receives, one message a line.
: >"$WATCH_LOG"
setsid "${DEVCLOUD[@]}" watch "$PK" "$DN" >"$WATCH_LOG" 2>&1 &
watch_pid=$!
wait_line "$WATCH_LOG" 10 "watching" "$watch_pid" || { cat "$WATCH_LOG" >&2; exit 1; }
# tail ends with the watch, and sed with tail.
tail -n +1 -f --pid="$watch_pid" "$WATCH_LOG" 2>/dev/null | sed -u 's/^/  platform | /' &
show_pid=$!

# ---- the camera -------------------------------------------------------------
# The option that takes the storage trust anchor, from the camera's own help.
storage_opt="$({ "$DEMO_BIN" -h 2>&1 || true; } | sed -n 's/^ *-\([A-Za-z]\) [A-Z_]*FILE .*[Ss]torage.*/\1/p' | head -n 1)" || storage_opt=""
storage_args=()
if [ -n "$storage_opt" ]; then
  storage_args=("-$storage_opt" "$ca")
  [ "$pictures" = auto ] && pictures=1
fi
[ "$pictures" = auto ] && pictures=0
say "starting kestrel_demo (full output: $DEMO_LOG)"
(cd "$STATE" && exec setsid "$DEMO_BIN" -p "$PK" -n "$DN" -s "$DS" -l "$log_level" \
  -H 127.0.0.1 -P "$port" -C "$ca" "${storage_args[@]}" -m "$ROOT/demo/media" >"$DEMO_LOG" 2>&1) &
demo_pid=$!
started=$SECONDS

wait_line "$WATCH_LOG" "$ONLINE_TIMEOUT_S" "IpcNvrSDKVersion" "$demo_pid" && online=1
if [ "$online" != 1 ]; then
  say "the device did not come online; last lines of its output:"
  tail -n 30 "$DEMO_LOG" >&2
  exit 1
fi
say "device online after $((SECONDS - started)) s"
step_done "online"

say "property set {\"MicSwitch\":1} from the platform"
if reply="$("${DEVCLOUD[@]}" set "$PK" "$DN" '{"MicSwitch":1}')"; then
  say "set reply: $reply"
  wait_line "$WATCH_LOG" 5 'property\.post.*params=\{"MicSwitch":1\}' && round_trip=1
fi
if [ "$round_trip" = 1 ]; then
  say "the camera reported MicSwitch 1"
  step_done "property set"
else
  say "no property post of MicSwitch 1 came back"
  exit 1
fi

# ---- picture: TriggerPicCapture, the camera's JPEG in the local store ---------
picture_step() {
  local out path
  say "picture: TriggerPicCapture with a signed upload URL of the local store"
  out="$("${DEVCLOUD[@]}" picture "$PK" "$DN" --timeout 30)" || return 1
  sed 's/^/  picture | /' <<<"$out"
  path="$(sed -n 's/^path=//p' <<<"$out")"
  if ! cmp -s "$path" "$ROOT/demo/media/1.jpg"; then
    say "the stored picture differs from demo/media/1.jpg"
    return 1
  fi
  say "the camera's JPEG is in storage: $path"
  step_done "picture"
}
if [ "$pictures" = 1 ]; then
  pictures_ok=0
  picture_step && pictures_ok=1
  [ "$pictures_ok" = 1 ] || { say "the picture step failed (see 'devcloud store log' in $DEVCLOUD_HOME)"; exit 1; }
fi

# ---- streams: live, playback with pause and seek, voice ----------------------
stream_steps() {
  local out wav
  say "live stream, 10 s"
  out="$("${DEVCLOUD[@]}" live "$PK" "$DN" --seconds 10)" || return 1
  sed 's/^/  live | /' <<<"$out"
  step_done "live"
  say "recording: $(sed -n 's/^file=//p' <<<"$out"); play it with: $(sed -n 's/^play=//p' <<<"$out")"
  say "playback with a pause at 2 s, resume at 3 s and a seek at 4 s to 30 s"
  out="$("${DEVCLOUD[@]}" vod "$PK" "$DN" --begin "$(($(date +%s) - 3600))" --end "$(date +%s)" \
    --pause-at 2 --resume-at 3 --seek-at 4:30000 --seconds 15)" || return 1
  sed 's/^/  vod | /' <<<"$out"
  step_done "playback"
  wav="$STATE/hello.wav"
  ffmpeg -v error -y -f lavfi -i "sine=f=440:r=8000" -t 2 "$wav" || return 1
  say "voice session: $wav goes down"
  out="$("${DEVCLOUD[@]}" talk "$PK" "$DN" --audio "$wav")" || return 1
  sed 's/^/  talk | /' <<<"$out"
  step_done "voice"
  say "audio the camera sent up: $(sed -n 's/^file=//p' <<<"$out")"
}
if [ "$streams" = 1 ]; then
  streams_ok=0
  stream_steps && streams_ok=1
  [ "$streams_ok" = 1 ] || { say "a stream step failed (see 'devcloud relay-log' in $DEVCLOUD_HOME)"; exit 1; }
fi

if [ -n "$run_seconds" ]; then
  say "running until $run_seconds s have passed (Ctrl-C stops earlier)"
  left=$((run_seconds - (SECONDS - started)))
  if [ "$left" -gt 0 ] && wait_gone "$demo_pid" "$left"; then
    say "kestrel_demo ended by itself"
    exit 1
  fi
  kill -0 "$demo_pid" 2>/dev/null || { say "kestrel_demo ended by itself"; exit 1; }
else
  say "running; Ctrl-C stops"
  wait "$demo_pid" || true
  say "kestrel_demo ended by itself"
  exit 1
fi
exit 0
