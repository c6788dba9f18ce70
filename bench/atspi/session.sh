#!/usr/bin/env bash
# Runs a benchmark with assistive technology listening, as a screen reader would: a real X
# server (Xvfb), a D-Bus session of its own with the desktop's accessibility bus, Qt's
# accessibility bridge on, and a listener (listener.py) that reads every line the logs
# announce. Everything it starts ends when the benchmark ends.
#
#   bench/atspi/session.sh [--no-reader | --no-bridge] BENCHMARK [ARGUMENTS...]
#
# --no-reader: the bridge on, but nothing listens (the bridge sends no notices then).
# --no-bridge: the same X server without the bridge, for comparison.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [[ -z ${VANTOR_ATSPI_SESSION:-} ]]; then
  export VANTOR_ATSPI_SESSION=1
  exec dbus-run-session -- "$0" "$@"
fi

MODE=reader
case ${1:-} in
--no-reader) MODE=bridge && shift ;;
--no-bridge) MODE=none && shift ;;
esac

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# Whether the X server on display $1 is ours: its lock file names a child of process $2 (the
# time limit that runs it), and its socket is there.
owns_display() {
  local owner
  owner=$(tr -d ' ' 2>/dev/null <"/tmp/.X$1-lock") || return 1
  [[ -n $owner && $(ps -o ppid= -p "$owner" | tr -d ' ') == "$2" && -S /tmp/.X11-unix/X$1 ]]
}

display=
for n in $(seq 142 160); do
  [[ -e /tmp/.X$n-lock ]] && continue
  timeout 3600 Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xpid=$!
  for _ in $(seq 50); do
    owns_display "$n" "$xpid" && break
    kill -0 "$xpid" 2>/dev/null || break
    sleep 0.1
  done
  if owns_display "$n" "$xpid"; then
    pids+=("$xpid")
    display=:$n
    break
  fi
  kill "$xpid" 2>/dev/null || true
done
[[ -n $display ]] || { echo "no X display could be started" >&2; exit 1; }

if [[ $MODE == reader ]]; then
  /usr/bin/python3 "$HERE/listener.py" &
  pids+=($!)
  sleep 2 # the listener registers with the accessibility bus
fi
if [[ $MODE == none ]]; then
  DISPLAY=$display QT_QPA_PLATFORM=xcb "$@"
else
  DISPLAY=$display QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$@"
fi
