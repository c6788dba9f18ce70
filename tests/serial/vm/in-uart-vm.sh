#!/bin/sh
# Runs a program inside the uart-vm virtual machine (a real 16550 under the real 8250 driver).
# usage: in-uart-vm.sh TOOL TIMEOUT PROGRAM [ARGS...]
# Exit status: the program's; 77 (skipped) where the tool is missing or not prepared.
tool=$1
timeout=$2
shift 2
if [ ! -x "$tool" ]; then
    echo "uart-vm not found at $tool: skipped"
    exit 77
fi
exec "$tool" run --timeout "$timeout" "$@"
