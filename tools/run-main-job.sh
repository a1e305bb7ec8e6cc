#!/bin/sh
# Sets up this machine, builds the installer and runs it under Wine the way
# the add-in's self-update does ("/silent"), then prints its exit code and log.
# Usage: tools/run-main-job.sh [BUILD_DIR]   (default: build)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"

tools/bootstrap.sh
# Tests and the main job talk only to this machine: the build's download
# server is a local port (nothing listens there unless a test serves it).
cmake -S . -B "$build" -DQUILMO_DOWNLOAD_BASE_URL=https://localhost:9/ -DQUILMO_SIGNATURE_BASE_URL=https://localhost:9
cmake --build "$build" --target QuilmoSetup -j "$(nproc)"

tools/wine-prefix.sh fresh "$build/wine"
trap 'tools/wine-prefix.sh down "$build/wine"' EXIT
trap 'exit 130' INT TERM

set +e
"$build/wine-run" "$build/QuilmoSetup.exe" /silent
code=$?
set -e
echo "QuilmoSetup.exe /silent exit code: $code"

log="$(find "$build/wine/win64/drive_c/users" -path '*QuilmoStudio/Quilmo2025/installer-auto.log' | head -n 1)"
if [ -n "$log" ]; then
  echo "--- $log"
  tr -d '\r' < "$log"
else
  echo "no installer log was written"
fi
