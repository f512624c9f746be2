#!/usr/bin/env bash
# Installs the Debian packages Kestrel builds and tests with. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  liblog4cplus-dev libcjson-dev libminizip-dev zlib1g-dev
  libcurl4-openssl-dev libssl-dev libudev-dev libbluetooth-dev libdbus-1-dev dbus-daemon
  libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  clang libclang-rt-14-dev
  python3 librsvg2-bin fonts-noto-core fonts-noto-cjk groff-base
  # the desktop program: Qt 6 Widgets, Svg, UiTools (whose CMake package needs
  # Qt's OpenGL modules and their headers) and QtTest for the window tests
  qt6-base-dev qt6-tools-dev qt6-svg-dev libqt6opengl6-dev
  # the trust store every HTTPS request to the web services checks against
  ca-certificates
)

# A caller may name more, e.g. the tools a package build needs.
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
