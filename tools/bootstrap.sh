#!/bin/sh
# Installs every Debian package the build, the tests and the main job need,
# then says in one line when this machine cannot run 32-bit x86 code (the
# installer and Wine's 32-bit loader need it; see tools/ia32-probe.sh). That is
# not an error here: the build and the tests that need no 32-bit code still run.
# Safe to run again: apt-get skips what is already installed.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"

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
else
  echo "bootstrap: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends $PACKAGES
fi

# Making the emulated guest sets this: the guest's kernel runs i386 programs,
# the machine building it may not.
if [ -z "${QUILMO_NO_IA32_PROBE:-}" ] && ! why="$("$here/ia32-probe.sh")"; then
  echo "bootstrap: $why"
fi
