#!/bin/sh
# Runs a test program in the build's Wine prefix as if on another Windows
# version: Wine reads a per-program "Version" from its AppDefaults.
# Usage: run_as_windows_version.sh WINE_RUN VERSION EXE [ARGS...]
set -eu
wine_run="$1"; version="$2"; exe="$3"; shift 3
name="$(basename "$exe")"
"$wine_run" reg add "HKCU\\Software\\Wine\\AppDefaults\\$name" /v Version /t REG_SZ /d "$version" /f >/dev/null
exec "$wine_run" "$exe" "$@"
