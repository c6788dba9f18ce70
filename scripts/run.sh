#!/usr/bin/env bash
# Builds VANTOR Listener (installing what a fresh Debian 12 machine lacks) and starts it.
# Arguments go to the program, e.g. scripts/run.sh --port 1=/dev/serial/by-id/usb-FTDI...
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages "${PACKAGES[@]}"
build vantor-listener vantor-gpi-sim vantor-amcp-monitor # not the tests and benchmarks
exec "$BUILD_DIR/vantor-listener" "$@"
