#!/bin/sh
# Installs the Debian 12 packages that building, running and testing kelvox
# need. Run as root; does nothing that asks questions.
set -eu
PKGS="build-essential ccache cmake ninja-build pkg-config git ca-certificates
  qt6-base-dev qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev libgl-dev libxcb1-dev
  libcpp-httplib-dev mosquitto libmosquitto-dev libcurl4-openssl-dev
  victoria-metrics influxdb
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth openbox trayer xdotool x11-utils imagemagick dunst
  python3 python3-serial python3-gi dbus fonts-dejavu-core procps openssl
  dpkg-dev file gzip librsvg2-bin lintian desktop-file-utils appstream man-db systemd
  clang libclang-rt-14-dev"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends $missing </dev/null
fi
