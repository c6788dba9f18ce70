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

source "$HERE/../../tests/support/xvfbdisplay.sh"
start_xvfb 3600 /dev/null

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
