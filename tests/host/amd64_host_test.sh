#!/bin/sh
# What a 64-bit Office or WPS would load, with 64-bit programs only: the AMD64
# host probe looks a per-user add-in up as the hosts do and creates it from the
# AMD64 COM server. Runs through the 64-bit loader, so it also runs on machines
# that cannot run 32-bit x86 code; on the others it runs beside the 32-bit suites.
# Usage: tests/host/amd64_host_test.sh WINE_ROOT HOST_DIR   (WINE_ROOT: a folder for its own prefix)
set -eu
[ $# -eq 2 ] || { echo "usage: $0 WINE_ROOT HOST_DIR" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
root="$1"
host="$(cd "$2" && pwd)"
# A fresh prefix of its own, stopped again at the end.
"$here/../../tools/wine-prefix.sh" fresh "$root"
"$here/../../tools/wine-prefix.sh" up "$root" win64
WINEPREFIX="$root/win64" WINEARCH=win64 WINEDEBUG=-all DISPLAY="$(cat "$root/display")"
export WINEPREFIX WINEARCH WINEDEBUG DISPLAY
wine64="$("$here/../../tools/wine-prefix.sh" loader64)"

clsid='{B4C10001-6B4F-4E2A-9D31-8A7F2E10C001}'
reg() { "$wine64" reg "$@" </dev/null >/dev/null 2>&1; }
register_class() {  # $1 = server DLL
  reg add 'HKCU\Software\Classes\Quilmo2027.Word\CLSID' /ve /d "$clsid" /f
  # Drive Z: is the Linux root in every prefix.
  reg add "HKCU\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /ve /d "Z:$(printf '%s' "$1" | tr / '\\\\')" /f
}
trap '"$here/../../tools/wine-prefix.sh" down "$root"' EXIT

failures=0
# expect CODE TEXT-PREFIX HOST-ARGS...: runs the probe and compares.
expect() {
  code="$1"; text="$2"; shift 2
  got=0
  "$wine64" "$host/host_probe64.exe" "$@" >"$root/amd64-probe.out" 2>/dev/null </dev/null || got=$?
  line="$(tr -d '\r' < "$root/amd64-probe.out")"
  case "$line" in
    "$text"*) [ "$got" -eq "$code" ] && { printf 'ok: %s -> %s\n' "$*" "$line"; return 0; } ;;
  esac
  printf 'FAILED: %s -> exit %s "%s", expected exit %s "%s..."\n' "$*" "$got" "$line" "$code" "$text"
  failures=$((failures + 1))
}

# The fresh prefix holds no registration yet.
expect 2 "not listed" office Word Quilmo2027.Word
reg add 'HKCU\Software\Microsoft\Office\Word\Addins\Quilmo2027.Word' /v LoadBehavior /t REG_DWORD /d 2 /f
register_class "$host/REDero64.dll"
expect 2 "not listed" office Word Quilmo2027.Word
reg add 'HKCU\Software\Microsoft\Office\Word\Addins\Quilmo2027.Word' /v LoadBehavior /t REG_DWORD /d 3 /f
expect 0 "loaded " office Word Quilmo2027.Word
expect 2 "not listed" wps WPS Quilmo2027.Word
reg add 'HKCU\Software\Kingsoft\Office\WPS\AddinsWL' /v Quilmo2027.Word /d '' /f
expect 0 "loaded " wps WPS Quilmo2027.Word
# A 64-bit host cannot load the i386 server: the bitness check of every switch-over rests on this.
register_class "$host/ZUDodi32.dll"
expect 5 "load failed" office Word Quilmo2027.Word
reg delete 'HKCU\Software\Classes\Quilmo2027.Word' /f
expect 3 "no clsid" office Word Quilmo2027.Word
[ "$failures" -eq 0 ]
