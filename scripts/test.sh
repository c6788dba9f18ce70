#!/usr/bin/env bash
# Builds VANTOR Listener and runs every test (installing what a fresh Debian 12 machine lacks).
# The modem-line tests run the real Linux serial driver in a small virtual machine
# (../shared/tools/uart-vm); where that tool is missing they are skipped.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages "${PACKAGES[@]}" "${TEST_PACKAGES[@]}"

UART_VM="$ROOT/../shared/tools/uart-vm/uart-vm"
if [[ -x $UART_VM ]] && [[ $(id -u) -eq 0 ]]; then
  "$UART_VM" prepare || echo "uart-vm prepare failed: the virtual-machine tests will be skipped" >&2
fi

# The code keeps one style (.clang-format); a file that strays from it fails the run.
(cd "$ROOT" && git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror) || {
  echo "Style check failed: run clang-format -i on the files above." >&2
  exit 1
}

build
install_axe "$BUILD_DIR/axe"

# The Debian package: built, unpacked and checked; its program must answer.
"$ROOT/packaging/check-package.sh" "$BUILD_DIR"

# A short fuzz run of the network serial port parser.
if [[ -x $ROOT/fuzz/run.sh ]]; then
  "$ROOT/fuzz/run.sh" "${FUZZ_SECONDS:-30}"
fi

cd "$BUILD_DIR"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j2 "$@"
