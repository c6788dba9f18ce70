#!/usr/bin/env bash
# Runs a program of the Windows build under Wine, for the tests (the build's crossing emulator):
#   wine-run.sh --prefix DIR [--qtest] [--console] [--display] [--bare] [--com N=/dev/pts/M]...
#               PROGRAM.exe [ARGUMENTS...]
#
# - DIR is the test run's own Wine prefix, made once (under a lock, so that tests running side
#   by side wait for it) with Wine's default serial mappings removed: its dosdevices/com* links
#   and the values of HKLM\Software\Wine\Ports.
# - Wine maps every /dev/ttyS*, ttyUSB* and ttyACM* it finds to a COM port again each time it
#   starts, and /dev/ttyS0 may be this machine's console. So every Wine process of the tests
#   runs in a mount namespace of its own whose /dev holds no such device at all, only what
#   Wine needs (null, zero, the random sources, tty, the pseudo-terminals, shm): Wine finds no
#   port to map, and nothing can open one. Only the ports given with --com exist, each mapped
#   to a pseudo-terminal the test made, for as long as the program runs.
# - --qtest: a QtTest program, whose own output does not reach a pipe under Wine; it writes it
#   to a file (-o FILE,txt), shown here afterwards. The exit status is the program's.
# - --console: the program runs with a console (Wine makes one on a pseudo-terminal, through
#   script(1)), so that it and its children can send and take console control events.
# - --display: the program runs on an X server of its own (Xvfb, through xvfb-run), so that the
#   windows platform of Qt has real windows (QT_QPA_PLATFORM=windows). Wine's desktop stays on
#   the display of the first program of a wineserver's session, so such runs need a prefix that
#   no other run uses at the same time; this one waits for the session's end.
# - The Windows programs find Qt's DLLs and plugins and the mingw runtime where qt-mingw keeps
#   them (WINEPATH, QT_PLUGIN_PATH); with --bare they do not: an installed program finds its own.
# Needs root (the mount namespace). Exit status 77 (a skip for CTest) when Wine or root is
# missing.
set -uo pipefail
QT_MINGW=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../../shared/tools/qt-mingw" 2>/dev/null && pwd)/qt-mingw
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

prefix='' qtest=0 console=0 display=0 bare=0 coms=() options=()
while (($#)); do
  case $1 in
    --prefix) prefix=$2; options+=("$1" "$2"); shift 2 ;;
    --qtest) qtest=1; options+=("$1"); shift ;;
    --console) console=1; shift ;;
    --display) display=1; shift ;;
    --bare) bare=1; options+=("$1"); shift ;;
    --com) coms+=("$2"); options+=("$1" "$2"); shift 2 ;;
    *) break ;;
  esac
done
self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
if ((display)); then
  command -v xvfb-run >/dev/null || { echo "wine-run: no xvfb-run (Debian package xvfb)" >&2; exit 77; }
  again=("$self" "${options[@]}")
  ((console)) && again+=(--console)
  xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "${again[@]}" "$@"
  status=$?
  # Wine's desktop (explorer.exe) lives on the display of the run that started it, as long as
  # the prefix's wineserver does: let them end with this display, before the next run's.
  [[ -n $prefix && -x $WINESERVER ]] && WINEPREFIX=$prefix "$WINESERVER" -w
  exit $status
fi
if ((console)); then
  command -v script >/dev/null || { echo "wine-run: no script(1) (Debian package bsdutils)" >&2; exit 77; }
  exec script -qefc "$(printf '%q ' "$self" "${options[@]}" "$@")" /dev/null
fi
(($#)) && [[ -n $prefix ]] || { echo "usage: wine-run.sh --prefix DIR [--qtest] [--com N=PTY]... PROGRAM [ARGS]" >&2; exit 2; }
[[ -x $WINE ]] || { echo "wine-run: no $WINE (qt-mingw prepare installs it)" >&2; exit 77; }
[[ $(id -u) -eq 0 ]] || { echo "wine-run: needs root for the mount namespace that hides the serial devices" >&2; exit 77; }

# A Windows path of a folder on this machine (Wine's drive Z: is /).
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=d}
qt=$("$QT_MINGW" prefix 2>/dev/null) || { echo "wine-run: qt-mingw is not prepared" >&2; exit 77; }
if ((!bare)); then
  path=$(windows_path "$qt/bin")
  for d in $("$QT_MINGW" runtime); do path+=";$(windows_path "$d")"; done
  export WINEPATH="$path${WINEPATH:+;$WINEPATH}" QT_PLUGIN_PATH=$(windows_path "$qt/plugins")
fi

# Runs a command in a mount namespace whose /dev holds no serial device.
without_serial_devices() {
  unshare -m --propagation private sh -c '
    set -e
    dev=$(mktemp -d)
    mount -t tmpfs -o mode=755 none "$dev"
    for node in null zero full random urandom tty ptmx; do
      [ -e /dev/$node ] && touch "$dev/$node" && mount --bind /dev/$node "$dev/$node"
    done
    for dir in pts shm; do
      [ -d /dev/$dir ] && mkdir "$dev/$dir" && mount --rbind /dev/$dir "$dev/$dir"
    done
    ln -s /proc/self/fd "$dev/fd"
    for n in 0 1 2; do ln -s /proc/self/fd/$n "$dev/$(echo stdin stdout stderr | cut -d" " -f$((n + 1)))"; done
    mount --move "$dev" /dev
    rmdir "$dev" 2>/dev/null || true
    exec "$@"' _ "$@"
}

# The prefix, made once.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [[ ! -f $prefix/.vantor-ready ]]; then
  rm -rf "$prefix"
  without_serial_devices "$WINE" wineboot -i >/dev/null 2>&1
  without_serial_devices "$WINE" reg delete 'HKLM\Software\Wine\Ports' /va /f >/dev/null 2>&1
  "$WINESERVER" -w
  rm -f "$prefix"/dosdevices/com*
  [[ -d $prefix/drive_c ]] || { echo "wine-run: the Wine prefix $prefix could not be made" >&2; exit 1; }
  touch "$prefix/.vantor-ready"
fi
# The ports of this run, each to a pseudo-terminal that exists.
links=()
for com in "${coms[@]}"; do
  n=${com%%=*} pty=${com#*=}
  [[ $n =~ ^[0-9]+$ && $pty == /dev/pts/* && -c $pty ]] || { echo "wine-run: --com $com: not N=/dev/pts/M" >&2; exit 2; }
  ln -sfn "$pty" "$prefix/dosdevices/com$n" && links+=("$prefix/dosdevices/com$n")
done
flock -u 9

output=''
args=("$@")
if ((qtest)); then
  output=$(mktemp)
  args+=(-o "$(windows_path "$output"),txt")
fi
without_serial_devices "$WINE" "${args[@]}"
status=$?
((${#links[@]})) && rm -f "${links[@]}"
if [[ -n $output ]]; then
  cat "$output"
  rm -f "$output"
fi
exit $status
