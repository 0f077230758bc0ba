#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests and the server need
# (an X server, a window manager and the X tools for the window's end-to-end test;
# clang and its runtime for the fuzz targets and the ThreadSanitizer build).
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config \
  libssl-dev openssl ca-certificates \
  qt6-base-dev libgl-dev \
  libgtest-dev libgmock-dev \
  clang libclang-rt-14-dev \
  xvfb xdotool x11-utils openbox >/dev/null
