#!/bin/sh
# Installs every Debian package the build, the tests and the main job need.
# Safe to run again: apt-get skips what is already installed.
set -eu

PACKAGES="cmake make g++-mingw-w64-i686 mingw-w64-i686-dev googletest \
  wine wine32:i386 wine64 xvfb xauth x11-apps xdotool imagemagick fonts-wqy-microhei \
  openssl osslsigncode python3 clang libclang-rt-dev binutils-mingw-w64-i686 curl \
  g++-mingw-w64-x86-64"

SUDO=""
if [ "$(id -u)" != "0" ]; then SUDO="sudo"; fi

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  echo "bootstrap: all packages present"
  exit 0
fi

echo "bootstrap: installing$missing"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends $PACKAGES
