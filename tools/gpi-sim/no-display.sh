#!/bin/sh
# no-display.sh PROGRAM: started without a display, the simulator says so in a line of its own
# and ends with exit status 2, as the listener does (not with Qt's abort).
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$1" 2>&1)
status=$?
echo "$out"
[ "$status" -eq 2 ] || { echo "exit status $status, not 2"; exit 1; }
echo "$out" | grep -q "^vantor-gpi-sim: no display to show the window on" || { echo "no word of the display"; exit 1; }
