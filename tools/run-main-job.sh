#!/bin/sh
# Sets up this machine, builds the installer for a local release server,
# publishes a COM release (the test COM servers as ZUDodi32.dll and
# REDero64.dll) signed with a key made for this run only, serves it on
# 127.0.0.1 and installs it under Wine the way the add-in's self-update does
# ("/silent"); then prints the exit code, the log, what Office and WPS would
# load (the host probes, one line per host and bitness) and the installed
# files. Ends with the installer's exit code.
# Usage: tools/run-main-job.sh [BUILD_DIR]   (default: build-main)
#
# On a machine that cannot run 32-bit x86 code (tools/ia32-probe.sh),
# everything is built and published here and the Wine part (the prefix, the
# server, the installer and the probes) runs in an emulated guest
# (tools/ia32-guest.sh). With QUILMO_IA32_GUEST=off it stops before that with
# exit code 69 and a line saying why.
set -eu
cd "$(dirname "$0")/.."
wine_part_only=no
if [ "${1:-}" = "--wine-part" ]; then wine_part_only=yes; shift; fi
build="${1:-build-main}"
port="${QUILMO_MAIN_JOB_PORT:-47391}"  # another free port when 47391 is taken
job="$build/main-job"

prepare() {
tools/bootstrap.sh
rm -rf "$job"
mkdir -p "$job/signing" "$job/payload/bin" "$job/www/install"

# A throw-away publisher: self-signed, trusted by the build through its pinned
# key alone. Nothing of it outlives this build directory.
( cd "$job/signing"
  openssl genrsa -out publisher.key 2048 2>/dev/null
  openssl req -x509 -new -utf8 -key publisher.key -days 2 -subj "/CN=奎墨软件有限公司" \
    -addext "extendedKeyUsage=codeSigning" -out publisher.crt 2>/dev/null
  openssl rsa -in publisher.key -RSAPublicKey_out -outform DER 2>/dev/null | sha256sum | cut -c1-64 > pin.txt )
tests/server/make_test_pki.sh "$job/tls" >/dev/null

cmake -S . -B "$build" -DQUILMO_BUILD_TESTS=OFF -DQUILMO_DOWNLOAD_BASE_URL=https://localhost:$port/ \
  -DQUILMO_SIGNATURE_BASE_URL=https://localhost:$port -DQUILMO_PINNED_KEY_SHA256="$(cat "$job/signing/pin.txt")"
cmake --build "$build" --target QuilmoSetup -j "$(nproc)"

# The COM servers and the host probes, for both bitnesses (the test
# fixtures of tests/host, built here without the test suite).
mkdir -p "$job/host"
for bits in 32 64; do
  if [ $bits = 32 ]; then cxx=i686-w64-mingw32-g++-posix; server=ZUDodi32.dll; else cxx=x86_64-w64-mingw32-g++-posix; server=REDero64.dll; fi
  flags="-std=c++17 -O2 -DUNICODE -D_UNICODE -static -s"
  # shellcheck disable=SC2086
  $cxx $flags -shared -Wl,--kill-at -o "$job/host/$server" tests/host/com_server.cpp -luuid
  # shellcheck disable=SC2086
  $cxx $flags -municode -o "$job/host/host_probe$bits.exe" tests/host/host_probe.cpp -lole32 -luuid
done

# The release: the add-in's core files and a few others.
cp "$job/host/ZUDodi32.dll" "$job/host/REDero64.dll" "$job/payload/"
head -c 65536 /dev/urandom > "$job/payload/Quilmo.Core.dll"
printf '<configuration />\r\n' > "$job/payload/Quilmo.Core.dll.config"
head -c 32768 /dev/urandom > "$job/payload/Library.dll"
head -c 16384 /dev/urandom > "$job/payload/bin/helper.dll"
printf '[settings]\r\ntheme=light\r\n' > "$job/payload/config.default.ini"
printf '2026.1.0\r\n' > "$job/payload/app.version"
python3 tools/publish_release.py --payload "$job/payload" --version 2026.1.0 --app-name "奎墨" \
  --cert "$job/signing/publisher.crt" --key "$job/signing/publisher.key" --out "$job/www/install/sample"

}

wine_part() {
tools/wine-prefix.sh fresh "$build/wine"
python3 tools/trust_root_in_prefix.py "$job/tls/root.der" "$job/trust-root.reg"
WINEPREFIX="$(cd "$build/wine" && pwd)/win64" WINEDEBUG=-all DISPLAY="$(cat "$build/wine/display")" \
  wine reg import "$(winepath -w "$job/trust-root.reg" 2>/dev/null || echo "Z:$(pwd)/$job/trust-root.reg")" \
  </dev/null >/dev/null 2>&1

# Wine has no .NET Framework; the installer only reads its "Release" value,
# which is set here as an installed 4.8 would (the installer never runs
# the .NET installer unattended: without it the run would end with code 2).
for view in 32 64; do
  WINEPREFIX="$(cd "$build/wine" && pwd)/win64" WINEDEBUG=-all wine reg add \
    'HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full' /v Release /t REG_DWORD /d 528040 /f /reg:$view \
    </dev/null >/dev/null 2>&1
done

echo sample > "$job/release_case"
setsid python3 tests/server/release_server.py --dir "$job" --cert "$job/tls/server.crt" --key "$job/tls/server.key" \
  --untrusted-cert "$job/tls/untrusted.crt" --untrusted-key "$job/tls/untrusted.key" --release-port $port \
  </dev/null >"$job/server.out" 2>&1 &
echo $! > "$job/server.pid"
trap 'kill "$(cat "$job/server.pid")" 2>/dev/null; tools/wine-prefix.sh down "$build/wine"' EXIT
trap 'exit 130' INT TERM
i=0
while [ ! -f "$job/http_port" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
echo "release server on https://localhost:$port/"

set +e
"$build/wine-run" "$build/QuilmoSetup.exe" /silent
code=$?
set -e
echo "QuilmoSetup.exe /silent exit code: $code"

base="$(find "$build/wine/win64/drive_c/users" -type d -path '*QuilmoStudio/Quilmo2025' | head -n 1)"
if [ -f "$base/installer-auto.log" ]; then
  echo "--- $base/installer-auto.log"
  tr -d '\r' < "$base/installer-auto.log"
else
  echo "no installer log was written"
fi
echo "--- what Office and WPS would load (host probes)"
for bits in 32 64; do
  for row in "office Word Quilmo2027.Word" "office Excel Quilmo2027.Excel" "office PowerPoint Quilmo2027.PPT" \
             "wps WPS Quilmo2027.Word" "wps ET Quilmo2027.Excel" "wps WPP Quilmo2027.PPT"; do
    # shellcheck disable=SC2086
    set -- $row
    line="$("$build/wine-run" "$job/host/host_probe$bits.exe" "$1" "$2" "$3" 2>/dev/null | tr -d '\r')" || true
    printf '%s-bit %s %s: %s\n' "$bits" "$1" "$2" "$line"
  done
done
echo "--- the release's manifest"
cat "$job/www/install/sample/install.json"
echo "--- installed files under $base (SHA-256)"
[ -n "$base" ] && (cd "$base" && find . -type f ! -name installer-auto.log ! -name .qm_gc.lock -exec sha256sum {} + | sort -k2)
echo "--- requests the release server answered"
cut -c1-200 "$job/requests.log" 2>/dev/null || true
return "$code"
}

if [ $wine_part_only = yes ]; then
  wine_part
  exit
fi
prepare
if why="$(tools/ia32-probe.sh)"; then
  wine_part
  exit
fi
case "${QUILMO_IA32_GUEST:-on}" in
  off|0|no)
    echo "main job: not run: $why (QUILMO_IA32_GUEST=off); exit code 69"
    exit 69 ;;
esac
echo "main job: $why; the installer runs in the emulated guest"
code=0
tools/ia32-guest.sh run tools/run-main-job.sh --wine-part "$build" || code=$?
exit $code
