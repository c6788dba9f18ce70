#!/usr/bin/env bash
# Takes docs/window-windows.png: the Windows edition's window as an operator sees it after
# start-up, under Wine in a real X server (Xvfb), with the contact simulator standing in for
# the serial port (a network serial port).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages "${PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" imagemagick
build vantor-gpi-sim
WINDOWS_BUILD_DIR=${WINDOWS_BUILD_DIR:-$ROOT/build-windows}
WINDOWS_BUILD_DIR=$WINDOWS_BUILD_DIR "$ROOT/scripts/build-windows.sh" vantor-listener

DISPLAY_NUMBER=${DISPLAY_NUMBER:-96}
SIM_PORT=${SIM_PORT:-7392}
OUT=${1:-$ROOT/docs/window-windows.png}
run() { "$ROOT/tests/windows/wine-run.sh" --prefix "$WINDOWS_BUILD_DIR/wineprefix" "$@"; }
pids=()
cleanup() {
  run taskkill /IM vantor-listener.exe >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

Xvfb ":$DISPLAY_NUMBER" -screen 0 800x600x24 -nolisten tcp & pids+=($!)
QT_QPA_PLATFORM=offscreen "$BUILD_DIR/tools/gpi-sim/vantor-gpi-sim" --port "$SIM_PORT" >/dev/null 2>&1 & pids+=($!)
DISPLAY=":$DISPLAY_NUMBER" QT_QPA_PLATFORM=windows run "$WINDOWS_BUILD_DIR/vantor-listener.exe" \
  --port "1=rfc2217://127.0.0.1:$SIM_PORT" >/dev/null 2>&1 & pids+=($!)

for _ in $(seq 600); do
  id=$(DISPLAY=":$DISPLAY_NUMBER" xwininfo -root -tree 2>/dev/null | awk '/"VANTOR Listener":/ {print $1; exit}' || true)
  [[ -n $id ]] && break
  sleep 0.1
done
[[ -n ${id:-} ]] || { echo "the window did not appear" >&2; exit 1; }
sleep 1.5 # start-up ends at the final size; let it paint
mkdir -p "$(dirname "$OUT")"
DISPLAY=":$DISPLAY_NUMBER" import -window "$id" "$OUT"
echo "wrote $OUT"
