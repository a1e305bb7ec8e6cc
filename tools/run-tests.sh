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
# QUILMO_IA32_GUEST_TESTS (a CTest regular expression) narrows what the
# guest runs. The last lines name what did not run and why.
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"

tools/bootstrap.sh
if tools/ia32-probe.sh >/dev/null; then ia32=ON; else ia32=OFF; fi
why="$(tools/ia32-probe.sh || true)"

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
# those tests enabled, shared into the guest at the same path.
tools/wine-prefix.sh down "$build/wine"
guest_status=skipped
case "${QUILMO_IA32_GUEST:-on}" in
  off|0|no) ;;
  *)
    configure ON
    selection="${QUILMO_IA32_GUEST_TESTS:+-R $QUILMO_IA32_GUEST_TESTS}"
    started=$(date +%s)
    guest_status=0
    tools/ia32-guest.sh run sh -c "tools/wine-prefix.sh fresh '$build/wine' &&
      ctest --test-dir '$build' --output-on-failure --no-tests=error -L ia32 $selection; rc=\$?;
      tools/wine-prefix.sh down '$build/wine'; exit \$rc" || guest_status=$?
    echo "32-bit suites in the emulated guest: exit $guest_status after $(( $(date +%s) - started )) s"
    configure OFF
    [ $guest_status -eq 0 ] || status=1
    ;;
esac

# Last, so that nobody reads the run as a full pass.
echo "----"
echo "$why"
if [ "$guest_status" = skipped ]; then
  echo "Skipped (need 32-bit x86 code; QUILMO_IA32_GUEST=off): $(ctest --test-dir "$build" -N -L ia32 | sed -n 's/^ *Test *#[0-9]*: //p' | tr '\n' ' ')"
  [ $status -eq 0 ] && echo "Everything else passed; this is not a full pass."
elif [ -n "${QUILMO_IA32_GUEST_TESTS:-}" ]; then
  echo "Ran in the emulated guest only the 32-bit tests matching '$QUILMO_IA32_GUEST_TESTS'; the others were skipped."
else
  echo "The 32-bit suites ran in the emulated guest (tools/ia32-guest.sh)."
fi
exit $status
