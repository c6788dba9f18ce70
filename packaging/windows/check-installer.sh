#!/usr/bin/env bash
# Tries the Windows edition's installer (made by package.sh) under Wine, in a prefix of its own:
# installed silently with the logon entry (/S /STARTATLOGON), what it put in place is there,
# the installed program answers --version and shows its window with nothing but its own files,
# and the uninstaller leaves nothing behind: the prefix's files (but Wine's own folder) and
# registry lines that name the program are as they were before.
#   xvfb-run -a packaging/windows/check-installer.sh BUILD_DIR VERSION
# Prints the installer's size and how long the installed program took to show its window after
# wine64 was started (the prefix made, no Wine process running).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR=$(cd "${1:?usage: check-installer.sh BUILD_DIR VERSION}" && pwd)
VERSION=${2:?usage: check-installer.sh BUILD_DIR VERSION}
setup=$BUILD_DIR/package/vantor-listener-$VERSION-setup.exe
prefix=$BUILD_DIR/wineprefix-installer
export WINEPREFIX=$prefix
installed='C:\Program Files\VANTOR Listener'
folder="$prefix/drive_c/Program Files/VANTOR Listener"
[[ -f $setup ]] || { echo "check-installer: no $setup (build the target windows-package)" >&2; exit 1; }
[[ -n ${DISPLAY:-} ]] || { echo "check-installer: no X display (run it under xvfb-run)" >&2; exit 1; }

fail() { echo "check-installer: $*" >&2; exit 1; }
run() { "$ROOT/tests/windows/wine-run.sh" --prefix "$prefix" --bare "$@"; }
settle() { /usr/lib/wine/wineserver -w; } # every Wine process of the prefix ended, the registry on disk
# What is in the prefix but Wine's own folder and the temporary files, and the registry lines
# that name the program.
snapshot() {
  (cd "$prefix/drive_c" && find . -path ./windows -prune -o -print | grep -v -i '/temp' | sort)
  grep -i -h 'vantor' "$prefix"/*.reg | sort || true
}

# A run that failed half-way may have left an installation: the prefix is made anew then.
[[ -e $folder ]] && rm -rf "$prefix"
run cmd /c exit 0 # makes the prefix on the first run
settle
before=$(snapshot)

run "Z:${setup//\//\\}" /S /STARTATLOGON || fail "the installer failed ($?)"
settle
for f in vantor-listener.exe vantor-gpi-sim.exe vantor-amcp-monitor.exe Qt6Core.dll Qt6Widgets.dll \
         platforms/qwindows.dll styles/qwindowsvistastyle.dll libstdc++-6.dll fonts/tahoma.ttf \
         README.txt licenses/qt6.txt uninstall.exe; do
  [[ -f $folder/$f ]] || fail "not installed: $f"
done
[[ -f "$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/VANTOR Listener/VANTOR Listener.lnk" ]] \
  || fail "no Start-menu entry"
logon=$(find "$prefix/drive_c/users" -ipath '*/Startup/VANTOR Listener.lnk' | head -1)
[[ -n $logon ]] || fail "no logon entry"
tr -d '\0' <"$logon" | grep -a -q -- '--unattended --restore' || fail "the logon entry does not start unattended with --restore"

answer=$(run "$installed\\vantor-listener.exe" --version | tr -d "\r")
[[ $answer == "vantor-listener $VERSION" ]] || fail "the installed program answered \"$answer\""
settle

started=$(date +%s%N)
program_log=$BUILD_DIR/win_installer-program.log
QT_QPA_PLATFORM=windows run "$installed\\vantor-listener.exe" --unattended >"$program_log" 2>&1 &
program=$!
shown='' deadline=$((SECONDS + 120))
while ((SECONDS < deadline)); do
  if xwininfo -root -tree 2>/dev/null | grep -q '"VANTOR Listener"'; then shown=$(date +%s%N); break; fi
  kill -0 "$program" 2>/dev/null || break # ended before it showed a window
  sleep 0.05
done
if [[ -z $shown ]]; then
  { echo "the windows on the display:"; xwininfo -root -tree; echo "what the program wrote:"; cat "$program_log"; } >&2 || true
  if kill -0 "$program" 2>/dev/null; then
    kill "$program"
    fail "the installed program showed no window within 120 s"
  fi
  status=0
  wait "$program" || status=$?
  fail "the installed program ended with status $status before it showed a window"
fi
run taskkill /IM vantor-listener.exe >/dev/null 2>&1 || true # WM_CLOSE, as the close button
# WM_CLOSE is the close button: the operator's end, status 3 (OperatorClose).
status=0
wait "$program" || status=$?
((status == 3)) || fail "the installed program ended with status $status on WM_CLOSE, not the close button's 3"
settle

run "$installed\\uninstall.exe" /S || fail "the uninstaller failed"
# The uninstaller runs on from a copy of itself in the temporary folder.
for _ in $(seq 600); do [[ -e $folder ]] || break; sleep 0.1; done
settle
after=$(snapshot)
if [[ $before != "$after" ]]; then
  diff <(echo "$before") <(echo "$after") >&2 || true
  fail "the uninstaller left the above behind"
fi
printf 'installer %s: %.1f MB; installed program showed its window %.1f s after wine64 started\n' \
  "$(basename "$setup")" "$(echo "$(stat -c %s "$setup") / 1048576" | bc -l)" \
  "$(echo "($shown - $started) / 1000000000" | bc -l)"
