#!/bin/sh
# Sets up this machine and runs every test: installs the packages, builds the
# installer and the tests, boots a fresh Wine prefix and runs CTest.
# Usage: tools/run-tests.sh [BUILD_DIR]   (default: build)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"

tools/bootstrap.sh
# Tests and the main job talk only to this machine: the build's download
# server is a local port (nothing listens there unless a test or the main job serves it).
cmake -S . -B "$build" -DQUILMO_DOWNLOAD_BASE_URL=https://localhost:47391/ -DQUILMO_SIGNATURE_BASE_URL=https://localhost:47391
cmake --build "$build" -j "$(nproc)"

# A fresh prefix for every run; the last test shuts it down, and so does an
# interrupted run.
tools/wine-prefix.sh fresh "$build/wine"
trap 'tools/wine-prefix.sh down "$build/wine"' EXIT
trap 'exit 130' INT TERM
ctest --test-dir "$build" --output-on-failure
