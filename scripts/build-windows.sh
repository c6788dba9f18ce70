#!/usr/bin/env bash
# Builds the Windows edition (64-bit, mingw-w64) from this CMake project, with the Qt of
# ../shared/tools/qt-mingw (prepared here when it is not yet: that needs root) and the libraries
# of scripts/windows-deps.sh (the status endpoint's, and oscpack's sources).
#   scripts/build-windows.sh [TARGET...]   default: vantor-listener vantor-gpi-sim vantor-amcp-monitor
# The build folder is $WINDOWS_BUILD_DIR, default build-windows/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages "${WINDOWS_PACKAGES[@]}"
QT_MINGW="$ROOT/../shared/tools/qt-mingw/qt-mingw"
WINDOWS_BUILD_DIR=${WINDOWS_BUILD_DIR:-$ROOT/build-windows}
[[ -x $QT_MINGW ]] || { echo "build-windows: no $QT_MINGW" >&2; exit 1; }
"$QT_MINGW" status >/dev/null || "$QT_MINGW" prepare
deps=$("$ROOT/scripts/windows-deps.sh")

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
  # Files compiled with a precompiled header are cached only with these.
  export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
fi
# A unity build (a few translation units per target instead of one per file) takes about half
# the time of one file at a time, as on Linux (scripts/common.sh).
cmake -S "$ROOT" -B "$WINDOWS_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-Release} \
  -DCMAKE_TOOLCHAIN_FILE="$("$QT_MINGW" toolchain)" "${launcher[@]}" -DCMAKE_UNITY_BUILD=ON \
  -Dprometheus-cpp_DIR="$deps/lib/cmake/prometheus-cpp" -Dcivetweb_DIR="$deps/lib/cmake/civetweb" \
  -DOSCPACK_SOURCE_DIR="$deps/src/oscpack" >/dev/null
targets=("$@")
((${#targets[@]})) || targets=(vantor-listener vantor-gpi-sim vantor-amcp-monitor)
cmake --build "$WINDOWS_BUILD_DIR" -j"$(nproc)" --target "${targets[@]}"
