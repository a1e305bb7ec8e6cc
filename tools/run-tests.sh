#!/bin/sh
# Sets up this machine and runs every test: installs the packages, builds the
# installer and the tests, boots a fresh Wine prefix and runs CTest.
# Usage: tools/run-tests.sh [BUILD_DIR]   (default: build)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"

tools/bootstrap.sh
cmake -S . -B "$build"
cmake --build "$build" -j "$(nproc)"

# A fresh prefix for every run; the last test shuts it down, and so does an
# interrupted run.
tools/wine-prefix.sh fresh "$build/wine"
trap 'tools/wine-prefix.sh down "$build/wine"' EXIT
trap 'exit 130' INT TERM
ctest --test-dir "$build" --output-on-failure
