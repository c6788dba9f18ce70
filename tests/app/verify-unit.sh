#!/bin/sh
# verify-unit.sh UNIT PROGRAM: systemd-analyze verify on UNIT with PROGRAM in place of
# /usr/bin/vantor-listener. Fails on any complaint, also those systemd only warns about
# (an unknown key, a bad value); exit 77 (skipped) without systemd-analyze.
set -eu
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze not found: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unit="$dir/$(basename "$1")"
sed "s#/usr/bin/vantor-listener#$2#" "$1" >"$unit"
grep -q "^ExecStart=$2 " "$unit" || { echo "no ExecStart with the program in $1"; exit 1; }
out=$(systemd-analyze verify --man=no "$unit" 2>&1) || { echo "$out"; exit 1; }
[ -z "$out" ] || { echo "$out"; exit 1; }
echo "$1: verified"
