#!/bin/sh
# Manages the Wine prefixes that the tests and the main job run in.
#
#   wine-prefix.sh up   ROOT [win64|win32]  boot the prefix (once) and a display
#   wine-prefix.sh down ROOT                stop every prefix's server and the display
#   wine-prefix.sh fresh ROOT               down, then delete the prefixes
#   wine-prefix.sh loader64                 print the 64-bit loader's path
#
# The first Wine process in a prefix starts background services that inherit
# its stdout and stderr; if that were a test, CTest would wait forever for the
# pipe to close. So the prefix is booted here with all output detached and a
# persistent wineserver is kept running until "down".
set -eu

command="${1:-}"
root="${2:-}"
arch="${3:-win64}"
here="$(cd "$(dirname "$0")" && pwd)"

start_display() {
  if [ -f "$root/display" ] && [ -f "$root/xvfb.pid" ] && kill -0 "$(cat "$root/xvfb.pid")" 2>/dev/null; then
    return 0
  fi
  n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  setsid Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 9>&- &
  echo $! > "$root/xvfb.pid"
  i=0
  while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  echo ":$n" > "$root/display"
}

# The 64-bit loader of the Debian package wine64 is not on PATH.
find_wine64() {
  for candidate in "$(command -v wine64 2>/dev/null || true)" /usr/lib/wine/wine64 \
                   $(dpkg -L wine64 2>/dev/null | grep '/wine64$' || true); do
    [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return 0; }
  done
  echo "wine64 (package wine64) is missing: the 64-bit test prefix cannot be prepared" >&2
  return 1
}

boot_prefix() {
  prefix="$root/$arch"
  [ -f "$prefix/.quilmo-ready" ] && return 0
  export WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all DISPLAY="$(cat "$root/display")"
  # Where no 32-bit x86 code runs, the 32-bit loader behind "wine" cannot
  # start; the 64-bit one still boots a 64-bit prefix (its 32-bit side stays
  # empty) for the 64-bit programs among the tests.
  if ! "$here/ia32-probe.sh" >/dev/null; then
    [ "$arch" = win64 ] || { echo "a 32-bit Windows prefix needs a machine that runs 32-bit x86 code" >&2; exit 2; }
    wine_loader="$(find_wine64)"
    wine() { "$wine_loader" "$@"; }
  fi
  # A persistent server first, so that every later Wine process finds it warm.
  setsid wineserver -p </dev/null >/dev/null 2>&1 9>&- &
  sleep 0.2
  # No Mono or Gecko installers: they would ask on screen and are not needed.
  WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot.exe -i </dev/null >/dev/null 2>&1 9>&-
  # Windows 10 unless a test program asks for another version (AppDefaults).
  wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f </dev/null >/dev/null 2>&1 9>&-
  # 64-bit Windows keeps a 32-bit process's view of the user's classes apart
  # from the 64-bit one; Wine does so only once a 64-bit process created this
  # key. Without it the 32-bit and 64-bit InprocServer32 paths of the add-in
  # would overwrite each other.
  if [ "$arch" = win64 ]; then
    wine64_loader="$(find_wine64)"
    "$wine64_loader" reg add 'HKCU\Software\Classes\Wow6432Node' /f </dev/null >/dev/null 2>&1 9>&-
  fi
  # The product's font family is drawn with a free font that has Chinese.
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei' /t REG_SZ \
    /d 'WenQuanYi Micro Hei' /f </dev/null >/dev/null 2>&1 9>&-
  touch "$prefix/.quilmo-ready"
}

stop_all() {
  for prefix in "$root"/win64 "$root"/win32; do
    [ -d "$prefix" ] || continue
    WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 9>&- || true
    rm -f "$prefix/.quilmo-ready"
  done
  if [ -f "$root/xvfb.pid" ]; then
    kill "$(cat "$root/xvfb.pid")" 2>/dev/null || true
    rm -f "$root/xvfb.pid" "$root/display"
  fi
}

[ "$command" = loader64 ] && { find_wine64; exit; }
[ -n "$command" ] && [ -n "$root" ] || { echo "usage: $0 up|down|fresh ROOT [win64|win32] | loader64" >&2; exit 2; }
mkdir -p "$root"
root="$(cd "$root" && pwd)"  # Wine wants an absolute prefix path

case "$command" in
  up)
    case "$arch" in win64|win32) ;; *) echo "unknown prefix kind: $arch" >&2; exit 2 ;; esac
    # Fast path for every test after the first.
    [ -f "$root/$arch/.quilmo-ready" ] && [ -f "$root/display" ] && exit 0
    exec 9>"$root/lock"
    flock 9
    start_display
    boot_prefix
    ;;
  down)
    exec 9>"$root/lock"
    flock 9
    stop_all
    ;;
  fresh)
    exec 9>"$root/lock"
    flock 9
    stop_all
    rm -rf "$root/win64" "$root/win32"
    ;;
  *)
    echo "usage: $0 up|down|fresh ROOT [win64|win32]" >&2
    exit 2
    ;;
esac
