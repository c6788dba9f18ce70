#!/usr/bin/env bash
# Builds VANTOR Listener and runs every test (installing what a fresh Debian 12 machine lacks).
# The modem-line tests run the real Linux serial driver in a small virtual machine
# (../shared/tools/uart-vm); where that tool is missing they are skipped. The Windows edition's
# tests run under Wine where ../shared/tools/qt-mingw is (below); skipped where it is not.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages "${PACKAGES[@]}" "${TEST_PACKAGES[@]}"

UART_VM="$ROOT/../shared/tools/uart-vm/uart-vm"
if [[ -x $UART_VM ]] && [[ $(id -u) -eq 0 ]]; then
  "$UART_VM" prepare || echo "uart-vm prepare failed: the virtual-machine tests will be skipped" >&2
fi
QT_MINGW="$ROOT/../shared/tools/qt-mingw/qt-mingw"
windows=0
if [[ -x $QT_MINGW ]] && [[ $(id -u) -eq 0 ]]; then
  if "$QT_MINGW" prepare >/dev/null; then windows=1; else echo "qt-mingw prepare failed" >&2; exit 1; fi
fi

# The code keeps one style (.clang-format); a file that strays from it fails the run.
(cd "$ROOT" && git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror) || {
  echo "Style check failed: run clang-format -i on the files above." >&2
  exit 1
}

build
install_axe "$BUILD_DIR/axe"

# The Windows edition, where ../shared/tools/qt-mingw is: cross-built (only what its tests
# need), packed, and its tests run under Wine (tests/windows, the installer); the main road
# under Wine runs with the Linux tests below (windows_mainroad).
WINDOWS_BUILD_DIR=${WINDOWS_BUILD_DIR:-$ROOT/build-windows}
if ((windows)); then
  WINDOWS_BUILD_DIR=$WINDOWS_BUILD_DIR "$ROOT/scripts/build-windows.sh" \
    vantor-listener tst_winfiles tst_winending endingchild windows-package \
    tst_combackend tst_wincomport tst_winportlisting tst_winfaults faultchild tst_winnetwork tst_wincaptions >/dev/null
  (cd "$WINDOWS_BUILD_DIR" && ctest --output-on-failure --timeout 600 -j2)
else
  echo "Windows edition: skipped (no ../shared/tools/qt-mingw, or not root)"
fi

# The Debian package: built, unpacked and checked; its program must answer.
"$ROOT/packaging/check-package.sh" "$BUILD_DIR"

# A short fuzz run of the network serial port parser.
if [[ -x $ROOT/fuzz/run.sh ]]; then
  "$ROOT/fuzz/run.sh" "${FUZZ_SECONDS:-30}"
fi

cd "$BUILD_DIR"
cmake -DVANTOR_WINDOWS_BUILD_DIR="$WINDOWS_BUILD_DIR" . >/dev/null
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j2 "$@"
