#!/bin/sh
# Builds the byte-rule tests of tests/native with this machine's compiler and
# runs them; GoogleTest names every failing case.
# Usage: tests/native/run_native_tests.sh BUILD_DIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
out="$1/native"
# The main tree's toolchain is MinGW's; this one must not inherit it.
env -u CMAKE_TOOLCHAIN_FILE cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ >"$1/native-configure.log" 2>&1 || { cat "$1/native-configure.log"; exit 1; }
cmake --build "$out" -j "$(nproc)" >"$1/native-build.log" 2>&1 || { tail -n 60 "$1/native-build.log"; exit 1; }
exec "$out/quilmo_byte_rule_tests"
