# Shared by run.sh and test.sh: installs what is missing, configures and builds.
# Source it; it leaves BUILD_DIR set.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

# Debian 12 packages the program and its tests need.
PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev
          libsystemd-dev prometheus-cpp-dev fonts-wine fonts-liberation)
# oscpack parses the playout servers' OSC state (src/onair).
PACKAGES+=(liboscpack-dev)
# For the Windows edition (scripts/build-windows.sh): ../shared/tools/qt-mingw installs the cross
# compiler, Wine and NSIS itself; dpkg-source unpacks the status endpoint's library sources, zip
# packs the program's folder; its tests run Wine on Xvfb and look for its window (x11-utils).
WINDOWS_PACKAGES=(cmake ninja-build dpkg-dev zip xvfb x11-utils)
# For the tests as well: clang and its fuzzing runtime for the parser's fuzz run,
# clang-format for the style check, and what builds and checks the Debian package.
TEST_PACKAGES=(clang libclang-rt-14-dev clang-format dpkg-dev file lintian desktop-file-utils man-db)
# systemd-analyze checks the service unit.
TEST_PACKAGES+=(systemd)
# promtool checks the status endpoint's metrics.
TEST_PACKAGES+=(prometheus)
# And an X server, a D-Bus session and the desktop's accessibility bus with its Python bindings,
# for reading the window from outside the process (tests/app/atspi).
TEST_PACKAGES+=(xvfb dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0)
# pyserial's RFC 2217 client against the port server, and systemd-analyze for its unit.
TEST_PACKAGES+=(python3-serial systemd)
# A headless browser and its WebDriver for the status page's test (tests/app/tst_statuspage.cpp).
TEST_PACKAGES+=(chromium chromium-driver)
# The accessibility rules that test checks the page with: axe-core, which Debian does not
# package, from the npm registry with the machine's npm, pinned; the test finds it under the
# build directory (install_axe) and skips that check without it.
AXE_CORE_VERSION=4.10.3

# On a fresh machine's first boot the automatic updates hold the package locks for a while:
# every apt-get of these scripts, and of the tools they run (uart-vm prepare), waits for them,
# up to 15 minutes, rather than fail at once.
APT_CONFIG=${TMPDIR:-/tmp}/vantor-apt-$(id -u).conf
{
  [[ -f /etc/apt/apt.conf ]] && echo '#include "/etc/apt/apt.conf";'
  echo 'DPkg::Lock::Timeout "900";'
} >"$APT_CONFIG"
export APT_CONFIG

install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# install_axe DIR: axe-core at AXE_CORE_VERSION under DIR/node_modules, unless it is there.
install_axe() {
  local dir=$1
  if [[ $(node -p "require('$dir/node_modules/axe-core/package.json').version" 2>/dev/null) == "$AXE_CORE_VERSION" ]]; then
    return 0
  fi
  command -v npm >/dev/null || { echo "npm is missing: the status page's accessibility check will be skipped" >&2; return 0; }
  mkdir -p "$dir"
  npm install --prefix "$dir" --no-save --no-audit --no-fund --no-package-lock "axe-core@$AXE_CORE_VERSION" >/dev/null ||
    echo "axe-core could not be installed: the status page's accessibility check will be skipped" >&2
}

# build [TARGET...]: configures, then builds the targets given, or everything.
build() {
  # A compiler cache, where the machine has one, makes a second build of the same sources quick.
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    # Paths relative to the checkout, so that another clone of it finds the same entries.
    export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
    # Files compiled with a precompiled header are cached only with these.
    export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
  fi
  # A unity build (a few translation units per target instead of one per file) parses Qt's
  # headers once per target rather than once per file: about half the build's time.
  # Debug information as line tables only (-g1): a debugger's backtrace still names functions,
  # files and lines, and each file compiles in about a fifth less time than with all of it.
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo} \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_UNITY_BUILD=ON "${launcher[@]}" >/dev/null
  cmake --build "$BUILD_DIR" -j"$(nproc)" ${1:+--target "$@"}
}
