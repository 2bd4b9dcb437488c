#!/usr/bin/env bash
# Installs the Debian packages Tessiv needs to build, run and test. Safe to run again.
set -euo pipefail

build_packages=(
  cmake g++ pkgconf ninja-build
  qt6-base-dev qt6-multimedia-dev libqt6opengl6-dev qt6-wayland
  libcurl4-openssl-dev libcpp-httplib-dev libgtest-dev libbenchmark-dev prometheus-cpp-dev libsqlite3-dev libsystemd-dev
)
test_packages=(
  xvfb xauth x11-utils xdotool imagemagick fonts-wqy-microhei
  clang libclang-rt-14-dev lldb
  qt6-qpa-plugins gstreamer1.0-plugins-base prometheus
  desktop-file-utils appstream man-db groff-base
  qt6-wayland weston dbus-daemon python3 python3-dbusmock gdb pulseaudio libxcb1-dev
  systemd prometheus-alertmanager
  chromium python3-websocket
)
# What scripts/package.sh needs beyond the build: dpkg-shlibdeps and the file utility CPack runs.
package_packages=(dpkg-dev file)

want=("${build_packages[@]}")
[[ "${1:-}" == "--test" ]] && want+=("${test_packages[@]}" "${package_packages[@]}")
[[ "${1:-}" == "--package" ]] && want+=("${package_packages[@]}")

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
