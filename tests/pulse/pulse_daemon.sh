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
#       16000) with CHANNELS (default 1).
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
      die "pulseaudio exited while starting; its log is $dir/daemon.log: $(tail -n 3 "$dir/daemon.log")"
    fi
    tries=$((tries + 1))
    [ $tries -lt 200 ] || die "pulseaudio did not answer within 10 s; its log is $dir/daemon.log"
    sleep 0.05
  done
  if [ "$source" = 1 ]; then
    pactl set-default-sink mic
    pactl set-default-source mic.monitor
  fi
  printf 'PULSE_SERVER=%q\nPULSE_DIR=%q\nPULSE_SINK_NAME=mic\n' "unix:$dir/native" "$dir"
  printf 'export PULSE_SERVER PULSE_DIR PULSE_SINK_NAME\n'
}

cmd_play() {
  [ $# -ge 2 ] || die "usage: play DIR FILE [RATE CHANNELS]"
  local dir=$1 file=$2 rate=${3:-16000} channels=${4:-1}
  [ -r "$file" ] || die "cannot read $file"
  use_dir "$dir"
  case $file in
    *.wav | *.WAV) paplay --device=mic "$file" ;;
    *) pacat --playback --device=mic --raw --format=s16le --rate="$rate" --channels="$channels" \
      "$file" ;;
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
}

cmd_stop() {
  [ $# -eq 1 ] || die "usage: stop DIR"
  local dir=$1 pid
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
