#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  ca-certificates cmake g++ make pkg-config \
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  clang libclang-rt-14-dev \
  libgphoto2-dev gphoto2 libopencv-calib3d-dev \
  xvfb xauth openbox wmctrl xdotool x11-utils \
  dpkg-dev desktop-file-utils man-db >/dev/null
