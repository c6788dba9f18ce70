#!/bin/sh
# verify-unit.sh UNIT PROGRAM: systemd-analyze verify on UNIT with PROGRAM in place of
# /usr/bin/vantor-listener. Fails on any complaint, also those systemd only warns about
# (an unknown key, a bad value), and on a unit that restarts the close button's end; exit 77
# (skipped) without systemd-analyze.
set -eu
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze not found: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unit="$dir/$(basename "$1")"
sed "s#/usr/bin/vantor-listener#$2#" "$1" >"$unit"
grep -q "^ExecStart=$2 " "$unit" || { echo "no ExecStart with the program in $1"; exit 1; }
# Every end is restarted but the close button's (exit status 3, OperatorClose::ExitStatus),
# which counts as a clean end, not a failure.
grep -qx "Restart=always" "$unit" || { echo "no Restart=always in $1"; exit 1; }
grep -qx "RestartPreventExitStatus=3" "$unit" || { echo "the close button's end (3) is restarted by $1"; exit 1; }
grep -qx "SuccessExitStatus=3" "$unit" || { echo "the close button's end (3) is a failure for $1"; exit 1; }
out=$(systemd-analyze verify --man=no "$unit" 2>&1) || { echo "$out"; exit 1; }
[ -z "$out" ] || { echo "$out"; exit 1; }
echo "$1: verified"
