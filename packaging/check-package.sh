#!/usr/bin/env bash
# Builds the Debian package in a build directory (the program and the tools must be built),
# unpacks it, checks what it holds, runs the unpacked program and has lintian look at it.
#   packaging/check-package.sh BUILD_DIR
set -euo pipefail
BUILD_DIR=$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)
cd "$BUILD_DIR"

arch=$(dpkg --print-architecture)
rm -f vantor-listener_*.deb
cpack -G DEB >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' CMakeCache.txt)
deb=vantor-listener_${version}_${arch}.deb
[[ -f $deb ]] || { echo "check-package: no $deb in $BUILD_DIR" >&2; ls ./*.deb >&2; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
expected=(
  usr/bin/vantor-listener usr/bin/vantor-gpi-sim usr/bin/vantor-amcp-monitor usr/bin/vantor-port-server
  lib/systemd/system/vantor-port-server@.service usr/share/man/man1/vantor-port-server.1.gz
  usr/share/applications/vantor-listener.desktop
  usr/share/icons/hicolor/scalable/apps/vantor-listener.svg
  usr/share/man/man1/vantor-listener.1.gz usr/share/man/man1/vantor-gpi-sim.1.gz
  usr/share/man/man1/vantor-amcp-monitor.1.gz
  usr/share/doc/vantor-listener/copyright usr/share/doc/vantor-listener/changelog.gz
  usr/share/doc/vantor-listener/examples/vantor-listener-autostart.desktop
  usr/lib/systemd/user/vantor-listener.service
  usr/share/doc/vantor-listener/docs/architecture.md usr/share/doc/vantor-listener/bench/RESULTS.md
  usr/share/vantor-listener/vantor-listener-dashboard.json usr/share/vantor-listener/vantor-listener.rules.yml
)
# Every page the installed README links to is installed beside it.
for link in $(grep -o '](\(docs\|bench\)/[^)#]*' "$root/usr/share/doc/vantor-listener/README.md" | cut -c3-); do
  [[ -f $root/usr/share/doc/vantor-listener/$link ]] || { echo "check-package: README links to $link, not installed" >&2; exit 1; }
done
for file in "${expected[@]}"; do
  [[ -f $root/$file ]] || { echo "check-package: $deb lacks /$file" >&2; exit 1; }
done
# The autostart entry is an example only: nothing is started at login unless asked for.
if [[ -d $root/etc ]]; then
  echo "check-package: $deb installs into /etc" >&2
  exit 1
fi
desktop-file-validate "$root/usr/share/applications/vantor-listener.desktop" \
  "$root/usr/share/doc/vantor-listener/examples/vantor-listener-autostart.desktop"
grep -qx 'Categories=AudioVideo;Video;' "$root/usr/share/applications/vantor-listener.desktop"
# It starts unattended, as the unit does: no box of the start waits at login for a person.
grep -q -- '--unattended --restore .* --log-dir ' "$root/usr/share/doc/vantor-listener/examples/vantor-listener-autostart.desktop"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || { echo "check-package: no Qt in Depends" >&2; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q 'libsystemd0' || { echo "check-package: no libsystemd0 in Depends" >&2; exit 1; }
# The status endpoint's HTTP server and text format.
for lib in libcivetweb1 libprometheus-cpp-core; do
  dpkg-deb -f "$deb" Depends | grep -q "$lib" || { echo "check-package: no $lib in Depends" >&2; exit 1; }
done
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 man --warnings -l -Tutf8 "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || { echo "check-package: $page: $warnings" >&2; exit 1; }
done

# The listener's manual page names every option its --help names, and the package's server.
page=$(zcat "$root/usr/share/man/man1/vantor-listener.1.gz" | sed 's/\\-/-/g')
for option in $(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/vantor-listener" --help |
  grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -q -- "$option" <<<"$page" || { echo "check-package: man vantor-listener lacks $option" >&2; exit 1; }
done
grep -q 'vantor-port-server (1)' <<<"$page" || { echo "check-package: man vantor-listener lacks vantor-port-server(1)" >&2; exit 1; }

answer=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/vantor-listener" --version)
[[ $answer == "vantor-listener $version" ]] || { echo "check-package: --version said '$answer'" >&2; exit 1; }
"$root/usr/bin/vantor-amcp-monitor" --version >/dev/null
"$root/usr/bin/vantor-port-server" --version >/dev/null
env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/vantor-gpi-sim" --version >/dev/null

lintian --fail-on error "$deb"
echo "check-package: $deb is complete, its program answers '$answer', lintian finds no error"
