#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests and the server need
# (an X server, a window manager and the X tools for the window's end-to-end test;
# clang and its runtime for the fuzz targets and the ThreadSanitizer build; the
# locale data and the de_DE.UTF-8 locale for the tests of locale-independent number
# texts).
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
  xvfb xdotool x11-utils openbox \
  locales >/dev/null

# The package brings the locale sources only: make de_DE.UTF-8 (kept in
# /etc/locale.gen, so that a later locale-gen keeps it too).
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  $SUDO sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
  if ! grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen; then
    echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  fi
  $SUDO locale-gen >/dev/null
fi
