#!/usr/bin/env bash
# Reads the window from outside the process, as a screen reader or a station's monitoring
# script does: the program runs in a real X server (Xvfb) with Qt's accessibility bridge on,
# in a D-Bus session of its own with the desktop's accessibility bus (AT-SPI), and a contact
# simulator on 127.0.0.1 stands in for the serial port. The reading is done by reader.py.
#
#   run.sh LISTENER GPI_SIM
#
# Exits 77 (skipped) where Xvfb, D-Bus or the AT-SPI bindings are missing. Everything it
# starts is ended when it ends, and each of them ends by itself within 90 s in any case.
set -euo pipefail

LISTENER=$1
GPI_SIM=$2
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PYTHON=/usr/bin/python3 # the system's Python, which holds the GObject bindings

skip() {
  echo "skipped: $*"
  exit 77
}

if [[ -z ${VANTOR_ATSPI_SESSION:-} ]]; then
  for tool in Xvfb dbus-run-session dbus-daemon /usr/libexec/at-spi-bus-launcher; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
  done
  "$PYTHON" -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null || skip "the AT-SPI bindings are missing"
  # A session bus of our own; it ends when this script's second run ends.
  export VANTOR_ATSPI_SESSION=1
  exec dbus-run-session -- "$0" "$@"
fi

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [[ -n ${work:-} ]] && rm -rf "$work"
}
trap cleanup EXIT
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work

# An X display nobody uses (from :142 upward).
source "$HERE/../../support/xvfbdisplay.sh"
start_xvfb 90 "$work/xvfb.log"

echo "X display $display"
export DISPLAY=$display QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

# The contact simulator on a free port of 127.0.0.1.
port=
for _ in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 30000))
  timeout 90 "$GPI_SIM" --port "$candidate" >"$work/sim.out" 2>&1 &
  spid=$!
  for _ in $(seq 50); do
    grep -q serving "$work/sim.out" && break
    kill -0 "$spid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q serving "$work/sim.out" && kill -0 "$spid" 2>/dev/null; then
    pids+=("$spid")
    port=$candidate
    break
  fi
  kill "$spid" 2>/dev/null || true
done
[[ -n $port ]] || { echo "the contact simulator did not start" >&2; cat "$work/sim.out" >&2; exit 1; }

timeout 90 "$LISTENER" --port "1=rfc2217://127.0.0.1:$port" >"$work/listener.out" 2>&1 &
pids+=($!)

if ! timeout 60 "$PYTHON" "$HERE/reader.py"; then
  echo "--- listener output" >&2
  cat "$work/listener.out" >&2
  exit 1
fi
