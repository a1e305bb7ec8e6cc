#!/bin/sh
# Sets up this machine and runs every test: installs the packages, builds the
# installer and the tests, boots a fresh Wine prefix and runs CTest.
# Usage: tools/run-tests.sh [BUILD_DIR]   (default: build)
#
# On a machine that cannot run 32-bit x86 code (tools/ia32-probe.sh), the
# tests that need none run here as usual (the byte rules built natively, the
# fuzzers, the publishing tool, the server scripts, the AMD64 host probe under
# the 64-bit loader); the 32-bit suites then run in an emulated guest
# (tools/ia32-guest.sh), or are skipped with QUILMO_IA32_GUEST=off.
# QUILMO_IA32_GUEST_TESTS (a CTest regular expression) chooses what the
# guest runs instead of the default below. The last lines name what did not
# run and why.
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"

tools/bootstrap.sh
if why="$(tools/ia32-probe.sh)"; then ia32=ON; else ia32=OFF; fi

# Tests and the main job talk only to this machine: the build's download
# server is a local port (nothing listens there unless a test or the main job serves it).
configure() {
  cmake -S . -B "$build" -DQUILMO_DOWNLOAD_BASE_URL=https://localhost:47391/ \
    -DQUILMO_SIGNATURE_BASE_URL=https://localhost:47391 -DQUILMO_TESTS_RUN_IA32="$1" >/dev/null
}
configure $ia32
cmake --build "$build" -j "$(nproc)"

# A fresh prefix for every run; the last test shuts it down, and so does an
# interrupted run.
tools/wine-prefix.sh fresh "$build/wine"
trap 'tools/wine-prefix.sh down "$build/wine"' EXIT
trap 'exit 130' INT TERM
status=0
ctest --test-dir "$build" --output-on-failure || status=$?
[ $ia32 = ON ] && exit $status

# The 32-bit suites, in the emulated guest: the same build tree, now with
# those tests enabled, shared into the guest at the same path. Emulated, a
# Wine process takes about 10 s to start instead of 50 ms, so the whole
# 32-bit suite would take hours; by default the guest runs the suites that
# start few processes (DEFAULT_GUEST_TESTS), which fits well inside an hour.
DEFAULT_GUEST_TESTS='^(unit[.]|pipeline[.]|net[.]|probe[.]|platform_win64$|process[.]Cases/EndlessBodies$)'
# Removed on this side: a guest that was stopped half way can leave files that
# the guest's cached view of the share cannot delete.
tools/wine-prefix.sh fresh "$build/wine"
guest_status=skipped
selection="${QUILMO_IA32_GUEST_TESTS:-$DEFAULT_GUEST_TESTS}"
case "${QUILMO_IA32_GUEST:-on}" in
  off|0|no) ;;
  *)
    configure ON
    started=$(date +%s)
    guest_status=0
    tools/ia32-guest.sh run sh -c "ctest --test-dir '$build' --output-on-failure --no-tests=error -L ia32 -R '$selection'; rc=\$?;
      tools/wine-prefix.sh down '$build/wine'; exit \$rc" || guest_status=$?
    guest_seconds=$(( $(date +%s) - started ))
    configure OFF
    [ $guest_status -eq 0 ] || status=1
    ;;
esac

# Last, so that nobody reads the run as a full pass.
echo "----"
echo "$why"
set -f  # names such as "unit.*" are not patterns here
ia32_tests="$(ctest --test-dir "$build" -N -L ia32 | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*/\1/p' | tr '\n' ' ')"
if [ "$guest_status" = skipped ]; then
  echo "Skipped (they need 32-bit x86 code; QUILMO_IA32_GUEST=off): $ia32_tests"
else
  echo "In the emulated guest, the 32-bit tests matching '$selection' ended with exit $guest_status after $guest_seconds s."
  skipped="$(printf '%s\n' $ia32_tests | grep -Ev "$selection" | tr '\n' ' ')"
  echo "Skipped, as they need 32-bit x86 code and are not in that selection (QUILMO_IA32_GUEST_TESTS=. runs all, for hours): $skipped(of process.*, all but those matching)"
fi
[ $status -eq 0 ] && echo "Everything that ran passed; this is not a full pass."
exit $status
