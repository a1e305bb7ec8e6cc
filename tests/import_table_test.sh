#!/bin/sh
# Fails, naming the DLL, when the executable imports a DLL that is not on the
# list of KnownDLLs it may import directly (delay-loaded ones are fine: they
# are resolved from the system directory after start-up).
# Usage: import_table_test.sh OBJDUMP EXE ALLOWED_DLL...
set -eu
objdump="$1"; exe="$2"; shift 2
imports="$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')"
[ -n "$imports" ] || { echo "FAIL: no import directory read from $exe"; exit 1; }
status=0
for dll in $imports; do
  allowed=no
  for known in "$@"; do
    [ "$dll" = "$known.dll" ] && allowed=yes
  done
  if [ "$allowed" = yes ]; then
    echo "ok: $dll"
  else
    echo "FAIL: $exe imports $dll, which is not a KnownDLL: delay-load it or load it from the system directory"
    status=1
  fi
done
exit $status
