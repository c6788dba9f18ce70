#!/usr/bin/env bash
# Packs the Windows edition (built in BUILD_DIR by scripts/build-windows.sh) for a station:
#   packaging/windows/package.sh BUILD_DIR VERSION
# makes, in BUILD_DIR/package/:
#   vantor-listener-VERSION-windows-x64/       the program's folder: the three programs, the Qt
#                                              DLLs and plugins they load (found from their
#                                              imports, nothing more), the mingw runtime DLLs,
#                                              the fonts, README and the licence texts
#   vantor-listener-VERSION-windows-x64.zip    that folder, for those who do not install
#   vantor-listener-VERSION-setup.exe          the NSIS installer of the same files
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD_DIR=$(cd "${1:?usage: package.sh BUILD_DIR VERSION}" && pwd)
VERSION=${2:?usage: package.sh BUILD_DIR VERSION}
QT_MINGW="$ROOT/../shared/tools/qt-mingw/qt-mingw"
QT=$("$QT_MINGW" prefix)
DEPS=${VANTOR_WINDOWS_DEPS:-$("$ROOT/scripts/windows-deps.sh")}
OBJDUMP=x86_64-w64-mingw32-objdump
STRIP=x86_64-w64-mingw32-strip

name=vantor-listener-$VERSION-windows-x64
out=$BUILD_DIR/package
folder=$out/$name
rm -rf "$folder" "$out/$name.zip" "$out/vantor-listener-$VERSION-setup.exe"
mkdir -p "$folder/platforms" "$folder/styles" "$folder/fonts" "$folder/licenses"

programs=("$BUILD_DIR/vantor-listener.exe" "$BUILD_DIR/tools/gpi-sim/vantor-gpi-sim.exe"
          "$BUILD_DIR/tools/amcp-monitor/vantor-amcp-monitor.exe")
# The plugins Qt loads for these programs: the windows platform and the native style.
plugins=("$QT/plugins/platforms/qwindows.dll:platforms" "$QT/plugins/styles/qwindowsvistastyle.dll:styles")
for p in "${programs[@]}"; do cp "$p" "$folder/"; done
for p in "${plugins[@]}"; do cp "${p%%:*}" "$folder/${p##*:}/"; done

# The DLLs they import, and those those import, from Qt's and the mingw runtime's folders; the
# system's own DLLs (KERNEL32, USER32, ...) are not ours to ship.
search=("$QT/bin" $("$QT_MINGW" runtime))
find_dll() {
  local d
  for d in "${search[@]}"; do [[ -f $d/$1 ]] && { echo "$d/$1"; return 0; }; done
  return 0
}
queue=("$folder"/*.exe "$folder"/platforms/*.dll "$folder"/styles/*.dll)
declare -A shipped=()
while ((${#queue[@]})); do
  file=${queue[0]}; queue=("${queue[@]:1}")
  while read -r dll; do
    [[ -n ${shipped[${dll,,}]:-} ]] && continue
    found=$(find_dll "$dll")
    [[ -n $found ]] || continue
    shipped[${dll,,}]=1
    cp "$found" "$folder/"
    queue+=("$folder/$dll")
  done < <("$OBJDUMP" -p "$file" | sed -n 's/^\s*DLL Name: //p')
done
"$STRIP" --strip-unneeded "$folder"/*.exe "$folder"/*.dll "$folder"/platforms/*.dll "$folder"/styles/*.dll

# The faces the Linux package asks for (fonts-wine's Tahoma, fonts-liberation's Sans Narrow).
cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf "$folder/fonts/"
cp /usr/share/fonts/truetype/liberation/LiberationSansNarrow-Regular.ttf \
   /usr/share/fonts/truetype/liberation/LiberationSansNarrow-Bold.ttf "$folder/fonts/"

# README and the licence texts, with Windows line ends.
crlf() { sed 's/$/\r/' "$1" >"$2"; }
crlf "$ROOT/README.md" "$folder/README.txt"
crlf "$ROOT/packaging/copyright" "$folder/licenses/vantor-listener.txt"
crlf /usr/share/doc/libqt6core6/copyright "$folder/licenses/qt6.txt"
crlf /usr/share/common-licenses/LGPL-3 "$folder/licenses/LGPL-3.txt"
crlf /usr/share/common-licenses/GPL-3 "$folder/licenses/GPL-3.txt"
crlf /usr/share/doc/gcc-mingw-w64-base/copyright "$folder/licenses/gcc-runtime.txt"
crlf /usr/share/doc/mingw-w64-common/copyright "$folder/licenses/mingw-w64.txt"
crlf "$DEPS/share/licenses/prometheus-cpp.txt" "$folder/licenses/prometheus-cpp.txt"
crlf "$DEPS/share/licenses/civetweb.txt" "$folder/licenses/civetweb.txt"
crlf "$DEPS/share/licenses/oscpack.txt" "$folder/licenses/oscpack.txt"
crlf /usr/share/doc/fonts-wine/copyright "$folder/licenses/fonts-wine.txt"
crlf /usr/share/common-licenses/LGPL-2.1 "$folder/licenses/LGPL-2.1.txt"
crlf /usr/share/doc/fonts-liberation/copyright "$folder/licenses/fonts-liberation.txt"

(cd "$out" && zip -qr9X "$name.zip" "$name")
# What the installer puts in place, file by file, and what its uninstaller removes: the same.
windows() { local p=${1//\//\\}; echo "$p"; }
(
  cd "$folder"
  for dir in . $(find . -mindepth 1 -type d | sort); do
    echo "SetOutPath \"\$INSTDIR$(windows "${dir#.}")\""
    find "$dir" -maxdepth 1 -type f | sort | while read -r f; do echo "File \"$folder/${f#./}\""; done
  done
) >"$out/install.nsh"
(
  cd "$folder"
  find . -type f | sort | while read -r f; do echo "Delete \"\$INSTDIR$(windows "${f#.}")\""; done
  find . -mindepth 1 -type d | sort -r | while read -r d; do echo "RMDir \"\$INSTDIR$(windows "${d#.}")\""; done
) >"$out/uninstall.nsh"
makensis -V2 -DVERSION="$VERSION" -DLISTS="$out" -DOUTFILE="$out/vantor-listener-$VERSION-setup.exe" \
  "$HERE/vantor-listener.nsi" >"$out/makensis.log" || { cat "$out/makensis.log" >&2; exit 1; }
echo "$out/vantor-listener-$VERSION-setup.exe"
