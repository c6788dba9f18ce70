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

# The Windows edition, where ../shared/tools/qt-mingw is: cross-built (only what its tests
# need), packed, and its tests run under Wine (tests/windows, the installer), in the background
# beside the Linux build, checks and tests below: their waits (the package sources, Wine's, the
# virtual machine's) leave the two cores to the other side. Its output is shown when it ends.
# The main road through it (windows_mainroad, in the Linux build) runs last.
WINDOWS_BUILD_DIR=${WINDOWS_BUILD_DIR:-$ROOT/build-windows}
windows_pid=''
if ((windows)); then
  mkdir -p "$BUILD_DIR"
  windows_log=$BUILD_DIR/windows-edition.log
  set -m # a process group of its own, so that an early end of this script ends all of it
  (
    WINDOWS_BUILD_DIR=$WINDOWS_BUILD_DIR "$ROOT/scripts/build-windows.sh" \
      vantor-listener tst_winfiles tst_winending endingchild windows-package \
      tst_combackend tst_wincomport tst_winportlisting tst_winfaults faultchild tst_winnetwork tst_wincaptions \
      >/dev/null
    cd "$WINDOWS_BUILD_DIR" && ctest --output-on-failure --timeout 600 -j2
  ) </dev/null >"$windows_log" 2>&1 &
  windows_pid=$!
  set +m
  trap 'kill -- "-$windows_pid" 2>/dev/null || true' EXIT
else
  echo "Windows edition: skipped (no ../shared/tools/qt-mingw, or not root)"
fi

build
install_axe "$BUILD_DIR/axe"

# The Debian package: built, unpacked and checked; its program must answer.
"$ROOT/packaging/check-package.sh" "$BUILD_DIR"

# A short fuzz run of the network serial port parser.
if [[ -x $ROOT/fuzz/run.sh ]]; then
  "$ROOT/fuzz/run.sh" "${FUZZ_SECONDS:-30}"
fi

cd "$BUILD_DIR"
cmake -DVANTOR_WINDOWS_BUILD_DIR="$WINDOWS_BUILD_DIR" . >/dev/null
failed=0
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j2 -E '^windows_mainroad$' "$@" || failed=1
if [[ -n $windows_pid ]]; then
  windows_status=0
  wait "$windows_pid" || windows_status=$?
  trap - EXIT
  echo "Windows edition (build-windows.sh and its tests under Wine):"
  cat "$windows_log"
  if ((windows_status)); then
    echo "Windows edition: failed (exit status $windows_status)" >&2
    failed=1
  else
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -R '^windows_mainroad$' || failed=1
  fi
fi
exit $failed
