#!/bin/sh
# Builds a delay-load import library for one system DLL from MinGW's ordinary
# import library, so that the DLL stays out of the executable's import table
# and is loaded (from the system directory) on first use.
# Usage: make-delay-import.sh NM DLLTOOL IMPORT_LIB DLL_NAME OUTPUT_LIB
set -eu
nm="$1"; dlltool="$2"; import_lib="$3"; dll_name="$4"; output="$5"
def="$output.def"
{
  printf 'LIBRARY "%s"\nEXPORTS\n' "$dll_name"
  # 32-bit imports keep their stdcall decoration ("GdiplusStartup@12");
  # --kill-at below makes them import the undecorated name the DLL exports.
  "$nm" -g "$import_lib" | sed -n 's/^.* I __imp__\(.*\)$/\1/p' | sort -u
} > "$def"
"$dlltool" --kill-at --input-def "$def" --dllname "$dll_name" --output-delaylib "$output"
