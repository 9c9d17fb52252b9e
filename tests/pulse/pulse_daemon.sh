#!/usr/bin/env bash
# A private PulseAudio daemon that stands in for the desktop's audio server during a test run.
#
# Usage:
#   eval "$(tests/pulse/pulse_daemon.sh start [--dir DIR] [--rate HZ] [--channels N] [--no-source])"
#       Starts a daemon in its own runtime directory (a new temp dir, or DIR to reuse one, so a
#       restarted daemon listens on the same socket) and prints shell assignments to eval:
#         PULSE_SERVER=unix:DIR/native     the server that clients (vorlin-wake) must use
#         PULSE_DIR=DIR                    the daemon's directory, for stop/kill/play
#         PULSE_SINK_NAME=mic              the null sink; its monitor is the default source
#       Returns once the daemon answers clients. The null sink runs at --rate (default 48000 Hz)
#       with --channels (default 2). With --no-source the daemon has no sink and no source at all.
#   tests/pulse/pulse_daemon.sh play DIR FILE [RATE CHANNELS]
#       Plays FILE into the null sink in real time and returns when it has been played. A WAV
#       file carries its own format; anything else is read as raw s16le at RATE Hz (default
#       16000) with CHANNELS (default 1). FILE "-" is raw audio on standard input. Between
#       plays the microphone hears silence.
#   tests/pulse/pulse_daemon.sh kill DIR
#       Kills the daemon at once (SIGKILL), as a crash would, and keeps DIR for a restart with
#       `start --dir DIR`.
#   tests/pulse/pulse_daemon.sh stop DIR
#       Stops the daemon and removes DIR.
#
# The daemon reads no configuration from the machine (-n, modules loaded on the command line),
# never exits by itself, and runs as root too (as CI does) without --system: it only warns.
# Its log is DIR/daemon.log. Nothing is written on stdout but the assignments of `start`.
set -euo pipefail

die() {
  echo "pulse_daemon.sh: $*" >&2
  exit 1
}

# Everything libpulse and pulseaudio look at, pointed inside DIR, so neither the machine's nor
# the user's settings, cookies or sockets are used or touched.
use_dir() {
  local dir=$1
  export HOME="$dir/home" XDG_RUNTIME_DIR="$dir" PULSE_RUNTIME_PATH="$dir/runtime"
  export PULSE_STATE_PATH="$dir/state" PULSE_CLIENTCONFIG=/dev/null
  export PULSE_COOKIE="$dir/cookie" PULSE_SERVER="unix:$dir/native"
  unset PULSE_SINK PULSE_SOURCE DISPLAY DBUS_SESSION_BUS_ADDRESS
}

# A zombie counts as gone: in a container nobody may reap the daemon after its SIGKILL.
alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

daemon_pid() {
  local dir=$1
  [ -s "$dir/daemon.pid" ] || return 1
  local pid
  pid=$(cat "$dir/daemon.pid")
  alive "$pid" || return 1
  echo "$pid"
}

# The null sink renders in blocks as long as the shortest latency any client asks for, and two
# seconds when nobody asks, so a recorder that arrives later (a client reconnecting after a
# restart) would wait up to two seconds for its first audio, which no real microphone does. A
# silent recorder that asks for 20 ms keeps the blocks short; the daemon is ready once that
# recorder has had audio. It ends by itself with the daemon.
start_keeper() {
  local dir=$1 rate=$2
  rm -f "$dir/keeper.ready"
  # shellcheck disable=SC2016 # $1 and $2 are the inner shell's arguments.
  setsid bash -c 'parec --device=mic.monitor --latency-msec=20 --raw --format=s16le \
      --channels=1 --rate="$2" 2>/dev/null |
      { head -c 2 >"$1/keeper.ready"; exec cat >/dev/null; }' \
    keeper "$dir" "$rate" </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/keeper.pid"
  # Suspending and resuming the sink ends the long block it is in, so the short ones start now
  # instead of up to two seconds later.
  local tries=0
  until [ -s "$dir/keeper.ready" ] || pactl list short source-outputs | grep -q .; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || die "the recorder that keeps the null sink quick did not connect"
    sleep 0.02
  done
  pactl suspend-sink mic 1
  pactl suspend-sink mic 0
  tries=0
  until [ -s "$dir/keeper.ready" ]; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || die "the null sink's monitor gave no audio within 5 s ($dir/daemon.log)"
    sleep 0.05
  done
}

stop_keeper() {
  local dir=$1 pid
  [ -s "$dir/keeper.pid" ] || return 0
  pid=$(cat "$dir/keeper.pid")
  rm -f "$dir/keeper.pid"
  # setsid made the keeper's shell the leader of its own group: parec, head and cat with it.
  kill -TERM -- "-$pid" 2>/dev/null || true
}

cmd_start() {
  local dir="" rate=48000 channels=2 source=1
  while [ $# -gt 0 ]; do
    case $1 in
      --dir) dir=$2; shift 2 ;;
      --rate) rate=$2; shift 2 ;;
      --channels) channels=$2; shift 2 ;;
      --no-source) source=0; shift ;;
      *) die "unknown option for start: $1" ;;
    esac
  done
  command -v pulseaudio >/dev/null || die "pulseaudio is not installed"
  command -v pactl >/dev/null || die "pactl (pulseaudio-utils) is not installed"
  if [ -z "$dir" ]; then
    dir=$(mktemp -d "${TMPDIR:-/tmp}/vorlin-pulse.XXXXXX")
  fi
  mkdir -p "$dir/home" "$dir/runtime" "$dir/state"
  chmod 700 "$dir" "$dir/runtime"
  if daemon_pid "$dir" >/dev/null; then
    die "a daemon already runs in $dir"
  fi
  use_dir "$dir"
  # A daemon that failed to come up whole is not left behind.
  failed_start_dir=$dir
  trap 'cmd_stop "$failed_start_dir"' EXIT

  # The sink is loaded before the protocol so that a client which sees the socket also finds
  # the default source: a restarted daemon is either absent or complete.
  local modules=()
  if [ "$source" = 1 ]; then
    modules+=(-L "module-null-sink sink_name=mic rate=$rate channels=$channels")
  fi
  modules+=(-L "module-native-protocol-unix socket=$dir/native auth-anonymous=1")

  # setsid: the daemon must not die with the test's process group or terminal.
  setsid pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disallow-exit \
    --realtime=no --high-priority=no --log-target=stderr \
    "${modules[@]}" </dev/null >"$dir/daemon.log" 2>&1 &
  echo $! >"$dir/daemon.pid"

  local tries=0
  until pactl info >/dev/null 2>&1; do
    if ! daemon_pid "$dir" >/dev/null; then
      die "pulseaudio exited while starting: $(tail -n 3 "$dir/daemon.log")"
    fi
    tries=$((tries + 1))
    [ $tries -lt 200 ] || die "pulseaudio did not answer within 10 s; its log is $dir/daemon.log"
    sleep 0.05
  done
  if [ "$source" = 1 ]; then
    pactl list short sinks | grep -q '^[0-9]*[[:space:]]mic[[:space:]]' ||
      die "pulseaudio has no null sink: $(grep -m 3 '^E:' "$dir/daemon.log" || true)"
    pactl set-default-sink mic
    pactl set-default-source mic.monitor
    start_keeper "$dir" "$rate"
  fi
  trap - EXIT
  printf 'PULSE_SERVER=%q\nPULSE_DIR=%q\nPULSE_SINK_NAME=mic\n' "unix:$dir/native" "$dir"
  printf 'export PULSE_SERVER PULSE_DIR PULSE_SINK_NAME\n'
}

cmd_play() {
  [ $# -ge 2 ] || die "usage: play DIR FILE [RATE CHANNELS]"
  local dir=$1 file=$2 rate=${3:-16000} channels=${4:-1}
  [ "$file" = - ] || [ -r "$file" ] || die "cannot read $file"
  use_dir "$dir"
  # A short latency makes the player start at once and keep pace with the clock: by default it
  # buffers two seconds before the first sample is heard.
  local raw=(pacat --playback --device=mic --latency-msec=50 --raw --format=s16le --rate="$rate"
    --channels="$channels")
  case $file in
    -) "${raw[@]}" ;;
    *.wav | *.WAV) paplay --device=mic --latency-msec=50 "$file" ;;
    *) "${raw[@]}" "$file" ;;
  esac
}

cmd_kill() {
  [ $# -eq 1 ] || die "usage: kill DIR"
  local pid
  if pid=$(daemon_pid "$1"); then
    kill -KILL "$pid"
    while alive "$pid"; do sleep 0.02; done
  fi
  rm -f "$1/daemon.pid"
  stop_keeper "$1"
}

cmd_stop() {
  [ $# -eq 1 ] || die "usage: stop DIR"
  local dir=$1 pid
  stop_keeper "$dir"
  if pid=$(daemon_pid "$dir"); then
    kill -TERM "$pid"
    local tries=0
    while alive "$pid"; do
      tries=$((tries + 1))
      if [ $tries -ge 100 ]; then
        kill -KILL "$pid" 2>/dev/null || true
      fi
      sleep 0.05
    done
  fi
  # Only a directory this script made: it holds daemon.log.
  if [ -f "$dir/daemon.log" ]; then
    rm -rf "$dir"
  fi
}

[ $# -ge 1 ] || die "usage: start|play|kill|stop ... (see the top of this script)"
command=$1
shift
case $command in
  start) cmd_start "$@" ;;
  play) cmd_play "$@" ;;
  kill) cmd_kill "$@" ;;
  stop) cmd_stop "$@" ;;
  *) die "unknown command: $command" ;;
esac
