#!/usr/bin/env bash
# The Windows edition's libraries from their Debian sources (apt-get source, through deb-src
# entries made from this machine's own package sources, in a list of this script's own): the
# status endpoint's prometheus-cpp (its core) and civetweb, cross-built for 64-bit Windows as
# static libraries into a prefix of their own, and oscpack's OSC parser, whose three files the
# program's build compiles itself (src/onair/oscpack.cmake, from $PREFIX/src/oscpack). Once per
# machine: later runs find them there (the file "built" names the source package of each), and
# a package added here is fetched alone.
#   scripts/windows-deps.sh     prints the prefix ($VANTOR_WINDOWS_DEPS, default
#                               /var/cache/vantor-windows-deps, or ~/.cache/... when not root)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QT_MINGW="$ROOT/../shared/tools/qt-mingw/qt-mingw"
if [[ $(id -u) -eq 0 ]]; then default=/var/cache/vantor-windows-deps; else default=$HOME/.cache/vantor-windows-deps; fi
PREFIX=${VANTOR_WINDOWS_DEPS:-$default}
PACKAGES=(prometheus-cpp civetweb oscpack)

missing=()
for p in "${PACKAGES[@]}"; do
  grep -qs "^\./${p}_.*\.dsc$" "$PREFIX/built" || missing+=("$p")
done
((${#missing[@]})) || { echo "$PREFIX"; exit 0; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/sources" "$work/src"
# The machine's own sources, for their source packages.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -f $f ]] && sed -n 's/^deb \(.*\)$/deb-src \1/p' "$f"
done >"$work/sources/machine.list"
for f in /etc/apt/sources.list.d/*.sources; do
  [[ -f $f ]] && sed 's/^Types:.*$/Types: deb-src/' "$f" >"$work/sources/$(basename "$f")"
done
apt_private=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/sources"
             -o "Dir::State::Lists=$work/lists" -o Debug::NoLocking=1)
apt-get "${apt_private[@]}" -qq update >"$work/update.log" 2>&1 \
  || { echo "windows-deps: the package sources could not be read: $(tail -1 "$work/update.log")" >&2; exit 1; }
(cd "$work/src" && apt-get "${apt_private[@]}" -qq source --download-only "${missing[@]}" >"$work/source.log" 2>&1) \
  || { echo "windows-deps: apt-get source ${missing[*]} failed: $(tail -1 "$work/source.log")" >&2; exit 1; }
for dsc in "$work"/src/*.dsc; do
  (cd "$work/src" && dpkg-source --no-check -x "$dsc" >/dev/null)
done

toolchain=$("$QT_MINGW" toolchain)
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
        -DCMAKE_INSTALL_PREFIX="$PREFIX.tmp")
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
rm -rf "$PREFIX.tmp"
if [[ -d $PREFIX ]]; then cp -a "$PREFIX" "$PREFIX.tmp"; else mkdir -p "$PREFIX.tmp"; fi
mkdir -p "$PREFIX.tmp/share/licenses" # the licence texts, for the installer
build() { # source folder, options...
  local src=$1; shift
  cmake -S "$src" -B "$src/build-windows" "${common[@]}" "${launcher[@]}" "$@" >"$work/cmake.log" 2>&1 \
    && cmake --build "$src/build-windows" --target install -j"$(nproc)" >>"$work/cmake.log" 2>&1 \
    || { echo "windows-deps: $(basename "$src") did not build: $(grep -m1 -i error "$work/cmake.log")" >&2; exit 1; }
}
wanted() { [[ " ${missing[*]} " == *" $1 "* ]]; }
if wanted prometheus-cpp; then
  # One translation unit per folder (CMake's unity build): about half the compile time.
  build "$(echo "$work"/src/prometheus-cpp-*/)" -DENABLE_PULL=OFF -DENABLE_PUSH=OFF -DENABLE_COMPRESSION=OFF \
    -DENABLE_TESTING=OFF -DUSE_THIRDPARTY_LIBRARIES=OFF -DCMAKE_UNITY_BUILD=ON
  cp "$work"/src/prometheus-cpp-*/LICENSE "$PREFIX.tmp/share/licenses/prometheus-cpp.txt"
fi
if wanted civetweb; then
  build "$(echo "$work"/src/civetweb-*/)" -DCIVETWEB_BUILD_TESTING=OFF -DCIVETWEB_ENABLE_CXX=ON \
    -DCIVETWEB_ENABLE_SSL=OFF -DCIVETWEB_ENABLE_SERVER_EXECUTABLE=OFF -DCIVETWEB_INSTALL_EXECUTABLE=OFF
  cp "$work"/src/civetweb-*/LICENSE.md "$PREFIX.tmp/share/licenses/civetweb.txt"
fi
if wanted oscpack; then
  # Only its OSC parser and writer (osc/), compiled by the program's build.
  rm -rf "$PREFIX.tmp/src/oscpack" && mkdir -p "$PREFIX.tmp/src/oscpack"
  cp -r "$(echo "$work"/src/oscpack-*/)osc" "$PREFIX.tmp/src/oscpack/"
  cp "$(echo "$work"/src/oscpack-*/)LICENSE" "$PREFIX.tmp/share/licenses/oscpack.txt"
fi
{ cat "$PREFIX.tmp/built" 2>/dev/null || true; (cd "$work/src" && ls ./*.dsc); } | sort -u >"$PREFIX.tmp/built.new"
mv "$PREFIX.tmp/built.new" "$PREFIX.tmp/built"
rm -rf "$PREFIX" && mv "$PREFIX.tmp" "$PREFIX"
echo "$PREFIX"
