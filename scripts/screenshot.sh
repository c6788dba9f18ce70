#!/usr/bin/env bash
# Takes docs/window.png: the window as an operator sees it after start-up, in a real X server
# (Xvfb), with a contact simulator standing in for the serial port.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages "${PACKAGES[@]}" xvfb imagemagick x11-utils
build

DISPLAY_NUMBER=${DISPLAY_NUMBER:-97}
SIM_PORT=${SIM_PORT:-7391}
OUT=${1:-$ROOT/docs/window.png}
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

Xvfb ":$DISPLAY_NUMBER" -screen 0 800x600x24 -nolisten tcp & pids+=($!)
QT_QPA_PLATFORM=offscreen "$BUILD_DIR/tools/gpi-sim/vantor-gpi-sim" --port "$SIM_PORT" >/dev/null 2>&1 & pids+=($!)
sleep 1
DISPLAY=":$DISPLAY_NUMBER" QT_QPA_PLATFORM=xcb "$BUILD_DIR/vantor-listener" --port "1=rfc2217://127.0.0.1:$SIM_PORT" & pids+=($!)

for _ in $(seq 50); do
  # The top-level window that carries the program's class (Qt also makes a 1x1 helper window).
  id=$(DISPLAY=":$DISPLAY_NUMBER" xwininfo -root -tree 2>/dev/null | awk '/"VANTOR Listener": \("vantor-listener"/ {print $1; exit}' || true)
  [[ -n $id ]] && break
  sleep 0.2
done
[[ -n ${id:-} ]] || { echo "the window did not appear" >&2; exit 1; }
sleep 1.5 # start-up ends at the final size; let it paint
mkdir -p "$(dirname "$OUT")"
DISPLAY=":$DISPLAY_NUMBER" import -window "$id" "$OUT"
echo "wrote $OUT"
